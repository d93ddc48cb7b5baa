// The codec object and the file-to-file operations around the memory core.
#include "codec/codec.hpp"

#include <cstdio>
#include <new>

#include "codec/state.hpp"

namespace qx::codec {

Codec::Codec() : state_(new CodecState()) {}
Codec::~Codec() = default;

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

// Reads a whole file. False on any open or read error.
bool read_whole(std::FILE* f, std::vector<uint8_t>& data) {
    data.clear();
    uint8_t block[1 << 16];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, f);
        data.insert(data.end(), block, block + got);
        if (got < sizeof block) return std::ferror(f) == 0;
    }
}

// Runs one operation from file to file. `to` is created (or truncated) first and
// receives the result only when the operation succeeds; the one exception is an
// empty input to compression, which leaves its four-byte header, as callers expect.
template <typename Operation>
int file_to_file(const std::string& from, const std::string& to, Failure* why, Operation operation) {
    auto fail = [why](Failure reason) {
        if (why) *why = reason;
        return 0;
    };
    std::FILE* out = std::fopen(to.c_str(), "wb");
    if (!out) return fail(Failure::cant_open);
    std::FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) {
        std::fclose(out);
        return fail(Failure::cant_open);
    }
    std::vector<uint8_t> input, output;
    Failure reason = Failure::none;
    bool read_ok;
    try {
        read_ok = read_whole(in, input);
    } catch (const std::bad_alloc&) {
        read_ok = false;
    }
    std::fclose(in);
    if (!read_ok) {
        std::fclose(out);
        return fail(Failure::cant_read);
    }
    const int ok = operation(input, output, &reason);
    bool written = std::fwrite(output.data(), 1, output.size(), out) == output.size();
    written = std::fclose(out) == 0 && written;
    if (!written) return fail(Failure::cant_write);
    if (why) *why = reason;
    return ok;
}

}  // namespace

int compress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    return file_to_file(from, to, why, [&codec](const std::vector<uint8_t>& in, std::vector<uint8_t>& out, Failure* reason) {
        return codec.compress(in.data(), in.size(), out, reason);
    });
}

int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    return file_to_file(from, to, why, [&codec](const std::vector<uint8_t>& in, std::vector<uint8_t>& out, Failure* reason) {
        return codec.decompress(in.data(), in.size(), out, reason);
    });
}

}  // namespace qx::codec
