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

    // Sets what later operations report their progress to (nothing by default).
    void set_progress(Progress progress);

private:
    friend int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why);
    std::unique_ptr<CodecState> state_;
};

// File to file: reads `from` whole, writes the result to `to` (created or
// truncated). Results and reasons as the memory operations, plus cant_open,
// cant_read and cant_write for the files. On failure `to` is left empty, except
// that compressing an empty file leaves the four zero bytes of the header.
int compress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why = nullptr);
int decompress_file(Codec& codec, const std::string& from, const std::string& to, Failure* why = nullptr);

}  // namespace qx::codec
