// Decoding of the bytes a terminal sends for key presses into the keyboard's key codes.
#include "platform/posix/terminal_keys.hpp"

namespace qx::platform {

namespace {

constexpr int esc = 27;
constexpr size_t max_sequence = 32;  // a longer CSI is no key sequence

// The PC extended codes of a key: plain, with Shift, with Ctrl, with Alt.
struct ExtendedKey {
    unsigned char plain[2];
    unsigned char shift[2];
    unsigned char ctrl[2];
    unsigned char alt[2];
};

// The cursor-control block (enhanced keys).
enum CursorKey { home, up, page_up, left, right, end, down, page_down, insert, del };
constexpr ExtendedKey cursor_keys[] = {
    {{224, 71}, {224, 71}, {224, 119}, {0, 151}},  // Home
    {{224, 72}, {224, 72}, {224, 141}, {0, 152}},  // Up
    {{224, 73}, {224, 73}, {224, 132}, {0, 153}},  // Page Up
    {{224, 75}, {224, 75}, {224, 115}, {0, 155}},  // Left
    {{224, 77}, {224, 77}, {224, 116}, {0, 157}},  // Right
    {{224, 79}, {224, 79}, {224, 117}, {0, 159}},  // End
    {{224, 80}, {224, 80}, {224, 145}, {0, 160}},  // Down
    {{224, 81}, {224, 81}, {224, 118}, {0, 161}},  // Page Down
    {{224, 82}, {224, 82}, {224, 146}, {0, 162}},  // Insert
    {{224, 83}, {224, 83}, {224, 147}, {0, 163}},  // Delete
};

// Function keys F1..F12 (index 0..11).
ExtendedKey function_key(int index) {
    if (index < 10) {
        auto c = [&](int base) { return static_cast<unsigned char>(base + index); };
        return {{0, c(59)}, {0, c(84)}, {0, c(94)}, {0, c(104)}};
    }
    auto c = [&](int base) { return static_cast<unsigned char>(base + index - 10); };
    return {{0, c(133)}, {0, c(135)}, {0, c(137)}, {0, c(139)}};
}

// Picks the codes for an xterm modifier parameter (1 + bits: 1 Shift, 2 Alt, 4 Ctrl);
// Alt goes before Ctrl before Shift.
DecodedKey extended(const ExtendedKey& key, int modifier, size_t length) {
    int bits = modifier >= 1 ? modifier - 1 : 0;
    const unsigned char* codes = key.plain;
    if (bits & 2) {
        codes = key.alt;
    } else if (bits & 4) {
        codes = key.ctrl;
    } else if (bits & 1) {
        codes = key.shift;
    }
    DecodedKey d;
    d.result = KeyDecode::key;
    d.length = length;
    d.key.prefix = codes[0];
    d.key.code = codes[1];
    return d;
}

DecodedKey character(int code, size_t length) {
    DecodedKey d;
    d.result = KeyDecode::key;
    d.length = length;
    d.key.character = code;
    return d;
}

DecodedKey ignored(size_t length) {
    DecodedKey d;
    d.result = KeyDecode::ignored;
    d.length = length;
    return d;
}

DecodedKey incomplete() { return DecodedKey{}; }

// The key of a letter that ends a CSI or SS3 sequence, or -1.
int cursor_key_of_letter(unsigned char c) {
    switch (c) {
        case 'A': return up;
        case 'B': return down;
        case 'C': return right;
        case 'D': return left;
        case 'H': return home;
        case 'F': return end;
        default: return -1;
    }
}

// A complete CSI sequence: `params` holds its parameter bytes, `final_byte` its last byte.
DecodedKey csi_key(const unsigned char* params, size_t count, bool has_intermediate,
                   unsigned char final_byte, size_t length) {
    // Parameters: up to two decimal numbers separated by ';'. A private marker
    // (<, =, >, ?) or anything else makes it a report, not a key.
    int numbers[2] = {-1, -1};
    int index = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = params[i];
        if (c >= '0' && c <= '9') {
            if (numbers[index] < 0) numbers[index] = 0;
            if (numbers[index] < 10000) numbers[index] = numbers[index] * 10 + (c - '0');
        } else if (c == ';' && index == 0) {
            index = 1;
        } else {
            return ignored(length);
        }
    }
    if (has_intermediate) return ignored(length);
    int first = numbers[0] < 0 ? 1 : numbers[0];
    int modifier = numbers[1] < 0 ? 1 : numbers[1];

    int cursor = cursor_key_of_letter(final_byte);
    if (cursor >= 0) return extended(cursor_keys[cursor], modifier, length);
    if (final_byte >= 'P' && final_byte <= 'S') return extended(function_key(final_byte - 'P'), modifier, length);
    if (final_byte == 'Z') return character(9, length);  // Shift+Tab gives the Tab character
    if (final_byte != '~') return ignored(length);
    switch (first) {
        case 1: case 7: return extended(cursor_keys[home], modifier, length);
        case 2: return extended(cursor_keys[insert], modifier, length);
        case 3: return extended(cursor_keys[del], modifier, length);
        case 4: case 8: return extended(cursor_keys[end], modifier, length);
        case 5: return extended(cursor_keys[page_up], modifier, length);
        case 6: return extended(cursor_keys[page_down], modifier, length);
        case 11: case 12: case 13: case 14: case 15:
            return extended(function_key(first - 11), modifier, length);
        case 17: case 18: case 19: case 20: case 21:
            return extended(function_key(first - 12), modifier, length);
        case 23: case 24:
            return extended(function_key(first - 13), modifier, length);
        default: return ignored(length);
    }
}

// Bytes from an Esc (bytes[0] == 27).
DecodedKey decode_escape(const unsigned char* bytes, size_t size, bool final) {
    DecodedKey lone_esc = character(esc, 1);
    if (size == 1) return final ? lone_esc : incomplete();
    if (bytes[1] == 'O') {  // SS3: a letter, after a modifier digit on some terminals
        size_t i = 2;
        int modifier = 1;
        if (i < size && bytes[i] >= '1' && bytes[i] <= '9') modifier = bytes[i++] - '0';
        if (i == size && i == 2 && final) return character('O', 2);  // Alt+O, nothing after it
        if (i == size) return final ? lone_esc : incomplete();
        unsigned char c = bytes[i];
        size_t length = i + 1;
        int cursor = cursor_key_of_letter(c);
        if (cursor >= 0) return extended(cursor_keys[cursor], modifier, length);
        if (c >= 'P' && c <= 'S') return extended(function_key(c - 'P'), modifier, length);
        if (c == 'M') return character(13, length);  // keypad Enter in application mode
        if (c >= 0x40 && c <= 0x7E) return ignored(length);
        return lone_esc;
    }
    if (bytes[1] != '[') return lone_esc;
    // The Linux console's F1..F5: ESC [ [ A..E.
    if (size >= 3 && bytes[2] == '[') {
        if (size == 3) return final ? lone_esc : incomplete();
        if (bytes[3] >= 'A' && bytes[3] <= 'E') return extended(function_key(bytes[3] - 'A'), 1, 4);
        return lone_esc;
    }
    // CSI: parameter bytes 0x30-0x3F, intermediate bytes 0x20-0x2F, one final byte 0x40-0x7E.
    size_t i = 2;
    while (i < size && i < max_sequence && bytes[i] >= 0x30 && bytes[i] <= 0x3F) ++i;
    size_t params_end = i;
    while (i < size && i < max_sequence && bytes[i] >= 0x20 && bytes[i] <= 0x2F) ++i;
    if (i >= max_sequence) return lone_esc;
    if (i == size && i == 2 && final) return character('[', 2);  // Alt+[, nothing after it
    if (i == size) return final ? lone_esc : incomplete();
    if (bytes[i] < 0x40 || bytes[i] > 0x7E) return lone_esc;
    return csi_key(bytes + 2, params_end - 2, i > params_end, bytes[i], i + 1);
}

// The length of a UTF-8 sequence from its lead byte, or 1 for a byte that leads none.
size_t utf8_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

}  // namespace

DecodedKey decode_terminal_key(const unsigned char* bytes, size_t size, bool utf8, bool final) {
    if (size == 0) return incomplete();
    unsigned char b = bytes[0];
    if (b == esc && size >= 2 && bytes[1] != '[' && bytes[1] != 'O' && bytes[1] >= 0x20) {
        // Alt with a character key: the terminal sends Esc and the key's own bytes,
        // where the console gives the key alone. Only a lone Esc is the Esc key.
        DecodedKey alt = decode_terminal_key(bytes + 1, size - 1, utf8, final);
        if (alt.result != KeyDecode::incomplete) alt.length += 1;
        return alt;
    }
    if (b == esc) return decode_escape(bytes, size, final);
    if (b == 0) return ignored(1);
    if (b == 127) return character(8, 1);
    if (b < 0x80 || !utf8) return character(b, 1);
    size_t length = utf8_length(b);
    size_t i = 1;
    while (i < length && i < size && (bytes[i] & 0xC0) == 0x80) ++i;
    if (i == length) return character(b, length);
    if (i == size && !final) return incomplete();
    return character(b, 1);  // a broken sequence: its bytes one at a time
}

}  // namespace qx::platform
