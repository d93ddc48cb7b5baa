// The codec object and the file-to-file operations around the incremental core.
#include "codec/codec.hpp"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "codec/state.hpp"

namespace qx::codec {

Codec::Codec() : state_(new CodecState()) {}
Codec::~Codec() = default;

void Codec::set_progress(Progress progress) { state_->progress = progress; }

void Codec::set_search_threads(unsigned count) {
    state_->search_threads = count > max_search_threads ? max_search_threads : count;
}

void Codec::copy_carried_state(const Codec& other) {
    std::memcpy(state_->window, other.state_->window, sizeof state_->window);
}

static_assert(Codec::carried_size == window_bytes - window_start);

void Codec::carried_bytes(uint8_t bytes[carried_size]) const {
    std::memcpy(bytes, state_->window + window_start, carried_size);
}

void Codec::set_carried_bytes(const uint8_t* bytes, size_t count) {
    std::memcpy(state_->window + window_start, bytes, count < carried_size ? count : carried_size);
}

bool Codec::last_read_carried() const { return state_->read_carried; }

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

int Codec::compress(ByteSource& source, uint64_t size, ByteSink& sink, Failure* why) {
    Failure result = Failure::none;
    try {
        if (size == 0) {
            static constexpr uint8_t empty_header[4] = {0, 0, 0, 0};
            result = sink.put(empty_header, 4) ? Failure::empty_input : Failure::cant_write;
        } else if (size > 0xFFFFFFFFu) {
            result = Failure::too_large;
        } else {
            result = encode_stream(*state_, source, static_cast<size_t>(size), sink);
        }
    } catch (const std::bad_alloc&) {
        result = Failure::no_memory;
    }
    if (why) *why = result;
    return result == Failure::none ? 1 : 0;
}

int Codec::decompress(ByteSource& source, ByteSink& sink, Failure* why) {
    Failure result;
    try {
        result = decode_stream(*state_, source, sink);
    } catch (const std::bad_alloc&) {
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

// Reads a whole file that cannot be measured first (a pipe) block by block.
// False on any read error.
bool read_whole(std::FILE* f, Input& data) {
    data.clear();
    uint8_t block[1 << 16];
    for (;;) {
        const size_t got = std::fread(block, 1, sizeof block, f);
        data.insert(data.end(), block, block + got);
        if (got < sizeof block) return std::ferror(f) == 0;
    }
}

// How much of a file is read at a time.
constexpr size_t file_block = size_t{1} << 20;

// Reads a file a block at a time into one buffer of a fixed size.
class FileSource : public ByteSource {
public:
    explicit FileSource(std::FILE* f) : f_(f), block_(file_block) {}
    long long next(const uint8_t*& data) override {
        const size_t got = std::fread(block_.data(), 1, block_.size(), f_);
        if (got == 0) return std::ferror(f_) ? -1 : 0;
        data = block_.data();
        return static_cast<long long>(got);
    }

private:
    std::FILE* f_;
    Input block_;
};

class FileSink : public ByteSink {
public:
    explicit FileSink(std::FILE* f) : f_(f) {}
    bool put(const uint8_t* data, size_t size) override { return std::fwrite(data, 1, size, f_) == size; }

private:
    std::FILE* f_;
};

// Opens `to` for writing (created or truncated), then `from` for reading. On
// failure both are closed, with the reason in `why`.
bool open_pair(const std::string& from, const std::string& to, std::FILE*& in, std::FILE*& out, Failure* why) {
    out = std::fopen(to.c_str(), "wb");
    if (!out) {
        if (why) *why = Failure::cant_open;
        return false;
    }
    in = std::fopen(from.c_str(), "rb");
    if (!in) {
        std::fclose(out);
        if (why) *why = Failure::cant_open;
        return false;
    }
    return true;
}

// Closes both files after an operation; a failed close of `out` is a failed
// write. When the operation failed, `to` is truncated again so that no partial
// result is left behind (compressing an empty file leaves its four-byte header).
int finish(std::FILE* in, std::FILE* out, const std::string& to, int ok, Failure reason, Failure* why) {
    std::fclose(in);
    if (std::fclose(out) != 0 && (ok || reason == Failure::empty_input)) {
        ok = 0;
        reason = Failure::cant_write;
    }
    if (!ok && reason != Failure::empty_input) {
        if (std::FILE* again = std::fopen(to.c_str(), "wb")) std::fclose(again);
    }
    if (why) *why = reason;
    return ok;
}

// The size of a seekable file, leaving it at its start; -1 when it cannot be told.
long long file_size(std::FILE* f) {
#ifdef _WIN32
    // long is 32 bits there: files of 2 GiB or more need the 64-bit calls.
    if (::_fseeki64(f, 0, SEEK_END) != 0) return -1;
    const long long size = ::_ftelli64(f);
#else
    if (::fseeko(f, 0, SEEK_END) != 0) return -1;
    const long long size = ::ftello(f);
#endif
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::clearerr(f);
        std::rewind(f);
        return -1;
    }
    return size;
}

}  // namespace

int compress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    std::FILE *in, *out;
    if (!open_pair(from, to, in, out, why)) return 0;
    FileSink sink(out);
    Failure reason = Failure::none;
    int ok = 0;
    try {
        const long long size = file_size(in);
        if (size > 0) {
            FileSource source(in);
            ok = codec.compress(source, static_cast<uint64_t>(size), sink, &reason);
        } else {
            // A pipe, or a file that reports no size but may have contents (as
            // the kernel's own files do): the length goes first in the stream,
            // so the input is read whole.
            Input input;
            std::vector<uint8_t> output;
            if (!read_whole(in, input)) {
                reason = Failure::cant_read;
            } else {
                ok = codec.compress(input.data(), input.size(), output, &reason);
                if ((ok || reason == Failure::empty_input) && !sink.put(output.data(), output.size())) {
                    ok = 0;
                    reason = Failure::cant_write;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        ok = 0;
        reason = Failure::no_memory;
    }
    return finish(in, out, to, ok, reason, why);
}

int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why) {
    std::FILE *in, *out;
    if (!open_pair(from, to, in, out, why)) return 0;
    FileSink sink(out);
    Failure reason = Failure::none;
    int ok = 0;
    try {
        FileSource source(in);
        ok = codec.decompress(source, sink, &reason);
    } catch (const std::bad_alloc&) {
        reason = Failure::no_memory;
    }
    return finish(in, out, to, ok, reason, why);
}

}  // namespace qx::codec
