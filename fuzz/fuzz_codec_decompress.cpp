// Fuzz target: decompressing arbitrary bytes stays in bounds, never produces more
// than the length header says, and fails cleanly on streams that run out.
#include <cstdint>
#include <vector>

#include "codec/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qx::codec::Codec codec;  // one state for the whole run, as in the program
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
    return 0;
}
