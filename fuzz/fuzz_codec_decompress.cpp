// Fuzz target: decompressing arbitrary bytes stays in bounds, never produces more
// than the length header says, and fails cleanly on streams that run out. The
// streaming decode, fed in small blocks, gives the same result, and so does the
// decoder's walk down the tree without its table of paths.
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/codec.hpp"
#include "codec/state.hpp"

namespace {

// Hands out the input `block` bytes at a time.
class Blocks : public qx::codec::ByteSource {
public:
    Blocks(const uint8_t* data, size_t size, size_t block) : data_(data), left_(size), block_(block) {}
    long long next(const uint8_t*& data) override {
        const size_t n = left_ < block_ ? left_ : block_;
        data = data_;
        data_ += n;
        left_ -= n;
        return static_cast<long long>(n);
    }

private:
    const uint8_t* data_;
    size_t left_, block_;
};

class Collect : public qx::codec::ByteSink {
public:
    bool put(const uint8_t* data, size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One state each for the whole run, as in the program; both see the same
    // inputs in the same order, so their carried windows stay alike.
    static qx::codec::Codec codec, streaming;
    std::vector<uint8_t> out;
    qx::codec::Failure why = qx::codec::Failure::none;
    const int ok = codec.decompress(data, size, out, &why);
    if (ok) {
        const uint32_t length = size < 4 ? 0 : data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        if (out.size() != length || why != qx::codec::Failure::none) __builtin_trap();
        // Every bit of input yields at most six bytes of output.
        if (out.size() > (size - 4) * 48 + 60) __builtin_trap();
    } else if (!out.empty() || why == qx::codec::Failure::none) {
        __builtin_trap();
    }
    Blocks source(data, size, size % 13 + 1);
    Collect sink;
    qx::codec::Failure streaming_why = qx::codec::Failure::none;
    const int streaming_ok = streaming.decompress(source, sink, &streaming_why);
    if (streaming_ok != ok || streaming_why != why || (ok && sink.bytes != out)) __builtin_trap();
    static const std::unique_ptr<qx::codec::CodecState> walker = [] {
        auto state = std::make_unique<qx::codec::CodecState>();
        state->walk_only = true;
        return state;
    }();
    std::vector<uint8_t> walked;
    const qx::codec::Failure walked_why = qx::codec::decode_stream(*walker, data, size, walked);
    if (walked_why != why || (ok && walked != out)) __builtin_trap();
    return 0;
}
