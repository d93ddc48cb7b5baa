// The fixed prefix code for the upper 6 bits of a match offset.
#pragma once

#include <array>
#include <cstdint>

namespace qx::codec {

// Code lengths 3..8 by the upper six bits of the offset; codes are assigned in
// value order, each one the previous plus one unit in its own last place.
struct OffsetCode {
    std::array<uint8_t, 64> length{};       // offset_code_length
    std::array<uint8_t, 64> code{};         // offset_code: the code left-aligned in a byte
    std::array<uint8_t, 256> decode_high{};  // offset_decode_high: value whose code leads byte b
    std::array<uint8_t, 256> decode_length{};

    constexpr OffsetCode() {
        constexpr uint8_t counts[6] = {1, 3, 8, 12, 24, 16};  // values with lengths 3..8
        unsigned v = 0, c = 0;
        for (unsigned k = 0; k < 6; ++k) {
            for (unsigned j = 0; j < counts[k]; ++j, ++v) {
                const unsigned len = 3 + k;
                length[v] = static_cast<uint8_t>(len);
                code[v] = static_cast<uint8_t>(c);
                for (unsigned b = c; b < c + (1u << (8 - len)); ++b) {
                    decode_high[b] = static_cast<uint8_t>(v);
                    decode_length[b] = static_cast<uint8_t>(len);
                }
                c += 1u << (8 - len);
            }
        }
    }
};

inline constexpr OffsetCode offset_code{};

}  // namespace qx::codec
