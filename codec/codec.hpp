// The compression codec: a 4096-byte sliding window, a binary-tree match finder
// and an adaptive Huffman code, working on memory buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx::codec {

// Why an operation failed. The caller decides what to show; the codec prints nothing.
enum class Failure {
    none,
    empty_input,   // nothing to compress (the stream would be its 4-byte header alone)
    zero_length,   // the stream's length header is 0
    cant_read,     // the stream is shorter than its 4-byte length header, or a file read failed
    cant_write,    // an output file could not be written
    cant_open,     // an input or output file could not be opened
    corrupt,       // the stream ends before the length in its header has been decoded
    too_large,     // the input has 2^32 bytes or more, beyond what the length header can hold
    no_memory,     // the buffers for the data could not be allocated
};

struct CodecState;  // model, window, bit reader and writer, match tree

// Takes output a piece at a time, in order. False when it cannot (the operation
// then fails with cant_write).
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool put(const uint8_t* data, size_t size) = 0;
};

// Hands the codec its input a block at a time, in order.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Sets `data` to the next bytes of the input and returns how many there are
    // (at least 1), 0 at the end of the input, or -1 when a read failed. The
    // bytes stay valid until the next call.
    virtual long long next(const uint8_t*& data) = 0;
};

// Told how far an operation has come: `done` of `total` bytes of input taken
// (compressing) or of output made (decompressing). An operation calls it about
// every progress_interval bytes and at no other time, so that it costs the
// codec's loops one comparison per item.
struct Progress {
    void (*report)(void* context, uint64_t done, uint64_t total) = nullptr;
    void* context = nullptr;
};
inline constexpr size_t progress_interval = 256 * 1024;

// The codec state of a run. Operations reuse it one after another; as the stream
// format requires, window bytes past the initial spaces carry over from one
// operation to the next. Not reentrant; not copyable.
class Codec {
public:
    Codec();
    ~Codec();
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;

    // Compresses `size` bytes into a complete stream (length header and bit
    // stream), replacing `out`. Returns 1, or 0 with `why` set (empty input:
    // `out` then holds the four zero bytes of the header).
    int compress(const uint8_t* data, size_t size, std::vector<uint8_t>& out, Failure* why = nullptr);

    // Decodes a complete stream into `out`, replacing it. Returns 1 when the whole
    // length has been decoded, or 0 with `why` set. Never writes more than the
    // header's length, and fails instead of reading past the end of the stream.
    // On failure `out` is left empty.
    int decompress(const uint8_t* stream, size_t size, std::vector<uint8_t>& out, Failure* why = nullptr);

    // Compresses exactly `size` bytes taken from `source` into a complete stream
    // (length header first) handed to `sink` in pieces of at most about 1 MiB:
    // the same stream, carried window state and progress reports as compress()
    // on the same bytes, in a fixed amount of memory. Returns 1, or 0 with `why`:
    // empty_input (size 0; the sink then got the four zero bytes), too_large,
    // cant_read (the source failed or ended before `size` bytes), cant_write
    // (the sink refused), no_memory. On failure the sink may have had pieces.
    int compress(ByteSource& source, uint64_t size, ByteSink& sink, Failure* why = nullptr);

    // Decodes a complete stream taken from `source` into `sink`, in pieces of
    // at most about 1 MiB: the same results, failures and carried window state
    // as decompress() on the same bytes (cant_read also when the source fails).
    // On failure the sink may already have had pieces.
    int decompress(ByteSource& source, ByteSink& sink, Failure* why = nullptr);

    // Copies the window bytes that `other` carries into its next operation, so
    // that this state's next operation starts from the same window (a check
    // of a stream `other` is writing then sees exactly what it sees).
    void copy_carried_state(const Codec& other);

    // The window bytes that carry over into the next operation (positions 4036
    // to 4154). An operation on independent_size bytes or more (its input
    // compressing, its output decoding) neither depends on them nor
    // leaves anything in them but what its own data puts there; a decoding sets
    // only the first 60 of them (when it makes at least 60 bytes), and depends on
    // them only when last_read_carried() says so.
    static constexpr size_t carried_size = 119;
    static constexpr size_t independent_size = 4155;
    static constexpr size_t carried_by_decoding = 60;
    void carried_bytes(uint8_t bytes[carried_size]) const;
    // Sets the first `count` (at most carried_size) carried bytes.
    void set_carried_bytes(const uint8_t* bytes, size_t count);
    // True when the last decoding copied bytes that the operation before it had
    // left in the window, so that its output depends on that operation.
    bool last_read_carried() const;

    // Sets what later operations report their progress to (nothing by default).
    void set_progress(Progress progress);

    // Gives the match search of later compressions of a megabyte or more
    // `count` threads of their own (0, the default: none; at most 8), which
    // share it out, while the calling thread reads the input and codes the
    // items. The streams, the carried window and the progress reports stay
    // exactly those of one thread; when no thread can be had, the calling
    // thread does it all. One thread takes the search off the calling thread;
    // more share it, each one at some cost of its own, so they pay only where
    // there are processors to spare.
    static constexpr unsigned max_search_threads = 8;
    void set_search_threads(unsigned count);

private:
    std::unique_ptr<CodecState> state_;
};

// File to file: reads `from` a block at a time, writes the result to `to`
// (created or truncated) as it is made, in a fixed amount of memory. Results and reasons as the memory operations, plus cant_open,
// cant_read and cant_write for the files. On failure `to` is left empty, except
// that compressing an empty file leaves the four zero bytes of the header.
int compress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why = nullptr);
int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why = nullptr);

}  // namespace qx::codec
