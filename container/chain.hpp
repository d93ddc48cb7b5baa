// The forward and inverse chains of cipher.hpp a block at a time, with the same
// bytes as the whole-buffer transforms and memory that does not grow with the data.
//
// Both rest on one property of the key shuffle: a step exchanges a byte with one
// at most 255 places on (or with the last byte), so a byte is final once the
// shuffle has moved 255 places past it. The reversal at the end of the forward
// chain (and at the start of the inverse one) becomes a matter of where the bytes
// go: the forward chain hands out its result from the region's end towards its
// start, the inverse chain takes the region from its start and hands out the
// plaintext from its end towards its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace qx::container {

// Receives finished bytes: `count` bytes that belong at [offset, offset + count)
// of the result, in ascending order within the call. False stops the chain.
using Emit = std::function<bool(uint64_t offset, const uint8_t* data, size_t count)>;

// The forward chain (pair swap, negation, key shuffle, reversal) over a plaintext
// of `size` bytes given in order. The region comes out from its end towards its
// start, in pieces of at most about `block` bytes.
class ForwardChain {
public:
    ForwardChain(uint64_t size, std::string_view password, size_t block = size_t{1} << 20);

    // Takes the next plaintext bytes. False when `emit` refused, or more than
    // `size` bytes were given.
    bool push(const uint8_t* data, size_t count, const Emit& emit);
    // Once all `size` bytes are in: hands out the rest. False when `emit` refused or
    // bytes are missing.
    bool finish(const Emit& emit);
    // After finish(): the key index of the last shuffle step, as encipher_data returns it.
    int key_index() const;

private:
    bool run(bool at_end, const Emit& emit);
    bool hand_out(uint64_t upto, const Emit& emit);

    const uint8_t* password_;
    size_t n_;
    uint64_t size_, last_;
    size_t block_;
    std::vector<uint8_t> buffer_;  // positions [start_, filled_) of the chain's working array
    std::vector<uint8_t> out_;
    std::vector<uint32_t> span_;  // the key bytes of whole passes, from key index 0
    uint64_t start_ = 0, filled_ = 0, prepared_ = 0, step_ = 0;
    size_t k_ = 0;
};

// Reads the `count` plaintext bytes at `offset` into `data`; false when they cannot be had.
using ReadPlain = std::function<bool(uint64_t offset, uint8_t* data, size_t count)>;

// The forward chain's result in the order of the result itself, from its start:
// what the codec reads first, the plaintext's end, comes first. It reads the
// plaintext a segment at a time from the end towards the start. What a segment
// needs from before it is the 255 bytes that the shuffle has carried to its start,
// and those are known without running the shuffle on the data before it: which
// position's byte ends up where does not depend on the bytes, and away from the
// plaintext's end every segment moves them alike. So the carried bytes of every
// segment are read first, from a few places before each segment start.
class OrderedForwardChain {
public:
    // `segment`: about how many bytes each segment holds.
    OrderedForwardChain(uint64_t size, std::string_view password, size_t segment = size_t{1} << 20);

    // Works out the next segment and hands it to `emit`: the result's next bytes,
    // from offset 0 on. The first call also reads the carried bytes of every
    // segment. False when `read` or `emit` failed; the chain then stops.
    bool next(const ReadPlain& read, const Emit& emit);
    bool done() const { return remaining_ == 0; }
    // The key index of the last shuffle step, as encipher_data returns it.
    int key_index() const;

private:
    bool read_prepared(const ReadPlain& read, uint64_t from, uint64_t to, uint8_t* into);
    bool find_carried(const ReadPlain& read);

    const uint8_t* password_;
    size_t n_;
    uint64_t size_, last_;
    uint64_t length_ = 0;       // of every segment but the last
    uint64_t interior_ = 0;     // segments before the last, which are all moved alike
    uint64_t remaining_ = 0;    // segments not handed out yet
    bool carried_found_ = false;
    std::vector<uint32_t> span_;
    std::vector<uint8_t> carried_;  // per segment, the 255 bytes at its start as its first step finds them
    std::vector<uint8_t> buffer_, read_, out_;
};

// The inverse chain (reversal, backward key shuffle, negation, pair swap) over a
// region of `size` bytes given in order, with the key index from the header. The
// plaintext comes out from its end towards its start.
class InverseChain {
public:
    InverseChain(uint64_t size, std::string_view password, int key_index, size_t block = size_t{1} << 20);

    // False when the key index or the consistency test rules the region out, as
    // decipher_data would find after its shuffle: the chain then emits nothing.
    bool consistent() const { return consistent_; }
    bool push(const uint8_t* data, size_t count, const Emit& emit);
    bool finish(const Emit& emit);

private:
    bool run(bool at_end, const Emit& emit);
    bool hand_out(uint64_t upto, const Emit& emit);

    const uint8_t* password_;
    size_t n_;
    uint64_t size_;
    size_t block_;
    bool consistent_ = false;
    std::vector<uint8_t> buffer_;  // region positions [start_, filled_), as the shuffle leaves them
    std::vector<uint8_t> out_;
    uint64_t start_ = 0, filled_ = 0, step_ = 1;
    size_t k_ = 0;
};

}  // namespace qx::container
