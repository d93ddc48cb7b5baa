// A slow, step-by-step encoder kept as an independent check on the fast one.
#pragma once

#include <cstdint>
#include <vector>

namespace qx::codec::testing {

// Its own window (carried over between calls like the real codec state) and a
// byte-by-byte match tree and 16-bit bit writer.
struct ReferenceEncoder {
    uint8_t window[4096 + 59] = {};

    std::vector<uint8_t> compress(const std::vector<uint8_t>& data);
    // What a decompression producing `data` leaves in the window.
    void after_decompress(const std::vector<uint8_t>& data);
};

}  // namespace qx::codec::testing
