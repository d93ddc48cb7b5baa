// The password-driven byte transforms of the data region and the password check block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace qx::container {

// Called at the fixed progress points of the transforms (the pipelines print ".").
using Tick = std::function<void()>;

// The text placed before the contents of every encrypted file: the program name,
// " v" and the version 2.1 as a stream prints a single-precision value.
inline constexpr std::string_view identification_text = "Quillex v2.1";
inline constexpr uint8_t esc_byte = 27;

// The four password check values in their file order: length (1 byte), 16-bit sum,
// 32-bit mirrored product sum, first character; little-endian. Needs a password of
// at least one character.
using CheckBlock = std::array<uint8_t, 8>;
CheckBlock make_check_block(std::string_view password);

// The forward chain over `size` bytes in place: pair swap, negation (tick), key
// shuffle (tick), reversal. Returns the key index of the last shuffle step, the
// value the header stores. Needs a non-empty password.
int encipher_data(uint8_t* data, size_t size, std::string_view password, const Tick& tick = {});

// The inverse chain with the key index from the header: reversal (tick), backward
// key shuffle (tick), consistency test, negation and pair swap (tick). False when
// the consistency test fails (the bytes are then of no use); an index at or past
// the password's length fails before any shuffle step.
bool decipher_data(uint8_t* data, size_t size, std::string_view password, int key_index, const Tick& tick = {});

// Places the identification text and the ESC byte in front of contents that the
// caller has already put at position identification_text.size() + 1.
void assemble_plaintext(uint8_t* data);

// Splits a deciphered plaintext at its first ESC byte: the identification text is
// [0, text_size), the contents [text_size + 1, size). False when there is no ESC.
bool split_plaintext(const uint8_t* data, size_t size, size_t& text_size);

}  // namespace qx::container
