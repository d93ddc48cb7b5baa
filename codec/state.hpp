// The codec state shared by compression and decompression, and the operations on it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/codec.hpp"
#include "codec/model.hpp"

namespace qx::codec {

constexpr unsigned window_size = 4096;
constexpr unsigned lookahead_size = 60;
constexpr unsigned min_match = 3;
constexpr unsigned window_start = window_size - lookahead_size;  // 4036: first position coded
constexpr unsigned no_node = window_size;                         // the empty tree link
constexpr unsigned tree_root = window_size + 1;                   // right link of tree_root + b: tree of byte b

// Window bytes 4096..4154 repeat bytes 0..58 so that a 60-byte string can be
// read without wrapping; the rest is slack for 8-byte loads near the end.
constexpr unsigned window_bytes = window_size + lookahead_size - 1;
constexpr unsigned window_alloc = window_bytes + 16;

// Eight bytes as a big-endian number: the first byte is the most significant,
// so such numbers compare like the bytes they hold.
inline uint64_t load_be64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Everything that lives for the whole run. Value-initialised: the window starts
// out zero, and what an operation leaves in bytes 4036..4154 is seen by the next.
struct CodecState {
    Model model;
    uint16_t jumps[node_count * 4];  // the decoder's two-level steps through the model's tree
    // The decoder's table of paths, indexed by the next 8 bits of the stream:
    // the weights' byte offsets of the nodes at depths 2..8 on the way down
    // those bits, then a tag (the symbol | its code length << 12, or 0 for a
    // longer code). Below a leaf the path goes on through spare slots.
    struct Lead {
        uint16_t path[7];
        uint16_t tag;
    };
    alignas(64) Lead leads[256];
    uint16_t lead_at[node_count];  // a position's depth << 8 | code, for depths 1..8; 0 below
    ExchangeSpan span;             // the model's exchanges since its last rebuild, while decoding
    uint8_t window[window_alloc];
    // Match tree: links[2 * p] is p's left link, links[2 * p + 1] its right link,
    // so that the side taken is an index rather than a branch. Positions 0..4095,
    // the empty link, then the 256 tree roots (right links only). Links, and the
    // parents in up_link (indexed by position), hold 4 * p: the byte offset of
    // p's pair of links.
    uint16_t links[2 * (window_size + 1 + 256)];
    uint16_t up_link[window_size + 1];
    // keys[p]: bytes 1..4 of the string at position p, as a big-endian number,
    // set when p goes into a tree (the string stays as it is while there):
    // a tree step reads them at the offset the links hold, with no scaling and
    // no byte swap. Entry no_node is only ever read through an empty link.
    uint32_t keys[window_size + 1];
    unsigned longest_code = 0;  // longest symbol code written since construction (for tests)
    bool walk_only = false;     // decoding never takes up the table of paths (for tests and fuzzing)
    unsigned table_changes = 0;  // times decoding took up or left the table of paths (for tests)
    bool read_carried = false;  // the last decoding copied bytes the operation before had left
    unsigned search_threads = 0;  // threads of their own for the match search of a long compression
    Progress progress;          // what operations report how far they have come to
};

// Writes the complete stream for `size` (> 0, < 2^32) bytes into `out`.
void encode_stream(CodecState& st, const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// The same for `size` bytes taken from `source`, handed to `sink` in pieces.
// Returns Failure::none, cant_read or cant_write.
Failure encode_stream(CodecState& st, ByteSource& source, size_t size, ByteSink& sink);

// Writes a stream that codes every byte as a literal (no matches): a valid
// stream for the decoder, with exact control over the symbols that are coded.
void encode_literals(CodecState& st, const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// A source that hands out one buffer as a single block.
class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    long long next(const uint8_t*& data) override {
        data = data_;
        const size_t size = size_;
        size_ = 0;
        return static_cast<long long>(size);
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// Decodes a complete stream into `out`. Returns Failure::none on success.
Failure decode_stream(CodecState& st, const uint8_t* stream, size_t size, std::vector<uint8_t>& out);

// The same, handing the output to `sink` in chunks as it is decoded, so that it
// is never held whole. On failure some chunks may have gone to the sink already.
Failure decode_stream(CodecState& st, const uint8_t* stream, size_t size, ByteSink& sink);

// The same with the stream taken from `source` a block at a time.
Failure decode_stream(CodecState& st, ByteSource& source, ByteSink& sink);

}  // namespace qx::codec
