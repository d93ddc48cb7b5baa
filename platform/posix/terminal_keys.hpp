// Decoding of the bytes a terminal sends for key presses into the keyboard's key codes.
#pragma once

#include <cstddef>

#include "platform/platform.hpp"

namespace qx::platform {

enum class KeyDecode {
    key,         // `key` holds one key press
    ignored,     // a complete sequence of a key that has no code (consume and read on)
    incomplete,  // the bytes may be the start of a longer sequence: read more, or decode again as final
};

struct DecodedKey {
    KeyDecode result = KeyDecode::incomplete;
    size_t length = 0;  // bytes consumed (0 only for incomplete)
    KeyPress key;
};

// Decodes the first key press in `bytes` (`size` bytes read from the terminal in raw mode).
//
// Printable and control bytes are their own character codes, except DEL (127, the
// Backspace key of most terminals) which arrives as 8 and NUL which is ignored.
// The escape sequences of the arrow, navigation and function keys (CSI and SS3
// forms, with xterm modifiers) become PC extended codes: prefix 224 for the
// cursor block, 0 for function keys and Alt combinations. A well-formed
// sequence of a key without a code is ignored whole. An Esc that is not followed
// by the rest of a sequence is the Esc key (27), so Esc then another key, even
// in one read, gives the two keys. With `utf8`, a multi-byte character is one
// key press whose code is its lead byte (never a printable ASCII code).
//
// With `final` false, bytes that could still grow into a longer sequence give
// `incomplete`; with `final` true (no more bytes came), they decode as they stand.
// Safe on any input.
DecodedKey decode_terminal_key(const unsigned char* bytes, size_t size, bool utf8, bool final);

}  // namespace qx::platform
