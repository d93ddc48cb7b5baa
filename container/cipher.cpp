// The password-driven byte transforms of the data region and the password check block.
#include "container/cipher.hpp"

#include <algorithm>
#include <cstring>

namespace qx::container {

namespace {

void notify(const Tick& tick) {
    if (tick) tick();
}

// Exchanges every complete pair; an odd last byte stays.
void pair_swap(uint8_t* b, size_t size) {
    for (size_t i = 0; i + 1 < size; i += 2) std::swap(b[i], b[i + 1]);
}

// Two's-complement negation of every byte but the last.
void negate(uint8_t* b, size_t size) {
    for (size_t i = 0; i + 1 < size; ++i) b[i] = static_cast<uint8_t>(0u - b[i]);
}

// One shuffle step at position i: exchange with i + x, clamped to the last byte.
inline void shuffle_step(uint8_t* b, size_t i, size_t x, size_t last) {
    size_t partner = i + x <= last ? i + x : last;
    std::swap(b[i], b[partner]);
}

}  // namespace

CheckBlock make_check_block(std::string_view password) {
    const auto* p = reinterpret_cast<const uint8_t*>(password.data());
    const size_t n = password.size();
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + p[i]);
    uint32_t mirrored = 0;
    // Pairs from both ends toward the middle; an odd middle byte pairs with itself.
    for (size_t i = 0; 2 * i + 1 <= n; ++i) mirrored += static_cast<uint32_t>(p[i]) * p[n - 1 - i];
    return CheckBlock{static_cast<uint8_t>(n),
                      static_cast<uint8_t>(sum),
                      static_cast<uint8_t>(sum >> 8),
                      static_cast<uint8_t>(mirrored),
                      static_cast<uint8_t>(mirrored >> 8),
                      static_cast<uint8_t>(mirrored >> 16),
                      static_cast<uint8_t>(mirrored >> 24),
                      n > 0 ? p[0] : uint8_t{0}};
}

int encipher_data(uint8_t* b, size_t size, std::string_view password, const Tick& tick) {
    const auto* p = reinterpret_cast<const uint8_t*>(password.data());
    const size_t n = password.size();
    pair_swap(b, size);
    negate(b, size);
    notify(tick);
    size_t k = 0;
    if (size >= 2) {
        const size_t last = size - 1;
        // Below `clear`, a partner (at most 255 bytes on) never needs clamping,
        // and the password's bytes are taken in runs rather than one index at a time.
        const size_t clear = last >= 255 ? last - 254 : 0;
        size_t i = 0;
        while (i < clear) {
            const size_t run = std::min(n - k, clear - i);
            const uint8_t* const x = p + k;
            for (size_t j = 0; j < run; ++j, ++i) std::swap(b[i], b[i + x[j]]);
            k += run;
            if (k == n) k = 0;
        }
        for (; i < last; ++i) {
            shuffle_step(b, i, p[k], last);
            if (++k >= n) k = 0;
        }
    }
    notify(tick);
    std::reverse(b, b + size);
    return static_cast<int>(k == 0 ? n - 1 : k - 1);
}

bool decipher_data(uint8_t* b, size_t size, std::string_view password, int key_index, const Tick& tick) {
    const auto* p = reinterpret_cast<const uint8_t*>(password.data());
    const size_t n = password.size();
    std::reverse(b, b + size);
    notify(tick);
    // An index past the password cannot come from enciphering with it.
    if (n == 0 || key_index < 0 || static_cast<size_t>(key_index) >= n) {
        notify(tick);
        return false;
    }
    size_t k = static_cast<size_t>(key_index);
    if (size >= 2) {
        const size_t last = size - 1;
        // The steps of encipher_data in reverse order: those that may clamp first,
        // then the rest with the password's bytes taken in runs.
        const size_t clear = last >= 255 ? last - 254 : 0;
        size_t i = last;  // the next step is at i - 1
        for (; i > clear; k = k == 0 ? n - 1 : k - 1) {
            --i;
            shuffle_step(b, i, p[k], last);
        }
        while (i > 0) {
            const size_t run = std::min(k + 1, i);
            const uint8_t* const x = p + k;
            for (size_t j = 0; j < run; ++j) {
                --i;
                std::swap(b[i], b[i + *(x - j)]);
            }
            k = run == k + 1 ? n - 1 : k - run;
        }
    }
    notify(tick);
    // Holds exactly when the length matches the enciphered one modulo the password length.
    if (k != n - 1) return false;
    negate(b, size);
    pair_swap(b, size);
    notify(tick);
    return true;
}

void assemble_plaintext(uint8_t* data) {
    std::memcpy(data, identification_text.data(), identification_text.size());
    data[identification_text.size()] = esc_byte;
}

bool split_plaintext(const uint8_t* data, size_t size, size_t& text_size) {
    const void* esc = size > 0 ? std::memchr(data, esc_byte, size) : nullptr;
    if (esc == nullptr) return false;
    text_size = static_cast<size_t>(static_cast<const uint8_t*>(esc) - data);
    return true;
}

}  // namespace qx::container
