// Test sources and sinks for the codec's incremental calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/codec.hpp"

namespace qx::codec {

using Bytes = std::vector<uint8_t>;

// Hands out a buffer `block` bytes at a time; fails (-1) instead of handing out
// block number `fail_at`, and ends early after `end_at` bytes.
class Blocks : public ByteSource {
public:
    Blocks(const Bytes& data, size_t block, size_t fail_at = SIZE_MAX, size_t end_at = SIZE_MAX)
        : data_(data), block_(block), fail_at_(fail_at), end_at_(end_at < data.size() ? end_at : data.size()) {}
    long long next(const uint8_t*& data) override {
        if (calls_++ == fail_at_) return -1;
        const size_t n = end_at_ - at_ < block_ ? end_at_ - at_ : block_;
        data = data_.data() + at_;
        at_ += n;
        return static_cast<long long>(n);
    }

private:
    const Bytes& data_;
    size_t block_, fail_at_, end_at_, at_ = 0, calls_ = 0;
};

// Collects what it is given, checking that each piece is of a sensible size;
// refuses piece number `refuse_at`.
class Collect : public ByteSink {
public:
    explicit Collect(size_t refuse_at = SIZE_MAX) : refuse_at_(refuse_at) {}
    bool put(const uint8_t* data, size_t size) override {
        EXPECT_GT(size, 0u);
        EXPECT_LE(size, (size_t{1} << 20) + 4096);
        if (pieces_++ == refuse_at_) return false;
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    Bytes bytes;

private:
    size_t refuse_at_, pieces_ = 0;
};

}  // namespace qx::codec
