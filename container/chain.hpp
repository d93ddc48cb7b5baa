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
