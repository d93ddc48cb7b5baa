// The codec object and the file-to-file operations around the memory core.
#include "codec/codec.hpp"

#include <cstdio>
#include <memory>
#include <new>

#include "codec/state.hpp"

namespace qx::codec {

Codec::Codec() : state_(new CodecState()) {}
Codec::~Codec() = default;

void Codec::set_progress(Progress progress) { state_->progress = progress; }

int Codec::compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out, Failure* why) {
    Failure result = Failure::none;
    try {
        if (size == 0) {
            out.assign(4, 0);
            result = Failure::empty_input;
        } else if (size > 0xFFFFFFFFu) {
            out.clear();
            result = Failure::too_large;
        } else {
            encode_stream(*state_, data, size, out);
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        result = Failure::no_memory;
    }
    if (why) *why = result;
    return result == Failure::none ? 1 : 0;
}

int Codec::decompress(const uint8_t* stream, size_t size, std::vector<uint8_t>& out, Failure* why) {
    Failure result;
    try {
        result = decode_stream(*state_, stream, size, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        result = Failure::no_memory;
    }
    if (why) *why = result;
    return result == Failure::none ? 1 : 0;
}

namespace {

// An allocator that leaves new bytes uninitialised: a file's contents are read
// straight over them, so zeroing them first would only cost a pass over memory.
template <class T>
struct Uninitialised : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <class U>
    Uninitialised(const Uninitialised<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
};
using Input = std::vector<uint8_t, Uninitialised<uint8_t>>;

// Reads a whole file: in one piece when its size is known, else block by block.
// False on any read error.
bool read_whole(std::FILE* f, Input& data) {
    data.clear();
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
            data.resize(static_cast<size_t>(size));
            data.resize(std::fread(data.data(), 1, data.size(), f));
            if (std::ferror(f)) return false;
        } else {
            std::rewind(f);
        }
    }
    uint8_t block[1 << 16];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, f);
        data.insert(data.end(), block, block + got);
        if (got < sizeof block) return std::ferror(f) == 0;
    }
}

class FileSink : public ByteSink {
public:
    explicit FileSink(std::FILE* f) : f_(f) {}
    bool put(const uint8_t* data, size_t size) override { return std::fwrite(data, 1, size, f_) == size; }

private:
    std::FILE* f_;
};

int fail(Failure* why, Failure reason) {
    if (why) *why = reason;
    return 0;
}

// Opens `to` for writing (created or truncated), then `from` for reading, and
// reads `from` whole. On failure both are closed, with the reason in `why`.
bool open_pair(const std::string& from, const std::string& to, Input& input, std::FILE*& out, Failure* why) {
    out = std::fopen(to.c_str(), "wb");
    if (!out) return fail(why, Failure::cant_open);
    std::FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) {
        std::fclose(out);
        return fail(why, Failure::cant_open);
    }
    bool read_ok;
    try {
        read_ok = read_whole(in, input);
    } catch (const std::bad_alloc&) {
        read_ok = false;
    }
    std::fclose(in);
    if (!read_ok) {
        std::fclose(out);
        return fail(why, Failure::cant_read);
    }
    return true;
}

// Closes `out` after writing; a failed close is a failed write.
int finish(std::FILE* out, bool written, int ok, Failure reason, Failure* why) {
    written = std::fclose(out) == 0 && written;
    if (!written) return fail(why, Failure::cant_write);
    if (why) *why = reason;
    return ok;
}

}  // namespace

int compress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    Input input;
    std::vector<uint8_t> output;
    std::FILE* out;
    if (!open_pair(from, to, input, out, why)) return 0;
    Failure reason = Failure::none;
    const int ok = codec.compress(input.data(), input.size(), output, &reason);
    const bool written = std::fwrite(output.data(), 1, output.size(), out) == output.size();
    return finish(out, written, ok, reason, why);
}

// The output goes to `to` as it is decoded; when decoding fails, `to` is
// truncated again so that no partial result is left behind.
int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    Input input;
    std::FILE* out;
    if (!open_pair(from, to, input, out, why)) return 0;
    FileSink sink(out);
    Failure reason;
    try {
        reason = decode_stream(*codec.state_, input.data(), input.size(), sink);
    } catch (const std::bad_alloc&) {
        reason = Failure::no_memory;
    }
    if (reason == Failure::none) return finish(out, true, 1, reason, why);
    std::fclose(out);
    if (std::FILE* again = std::fopen(to.c_str(), "wb")) std::fclose(again);
    return fail(why, reason);
}

}  // namespace qx::codec
