// Fuzz target: decoding terminal key bytes never reads out of bounds, always makes progress
// once no more bytes can come, and only yields valid key codes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/posix/terminal_keys.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool utf8 = (data[0] & 1) != 0;
    ++data;
    --size;
    size_t at = 0;
    while (at < size) {
        qx::platform::DecodedKey partial = qx::platform::decode_terminal_key(data + at, size - at, utf8, false);
        qx::platform::DecodedKey d = qx::platform::decode_terminal_key(data + at, size - at, utf8, true);
        if (partial.result != qx::platform::KeyDecode::incomplete &&
            (partial.result != d.result || partial.length != d.length)) {
            std::abort();  // more bytes to come may only matter when the bytes are incomplete
        }
        if (d.result == qx::platform::KeyDecode::incomplete || d.length == 0 || d.length > size - at) std::abort();
        if (d.result == qx::platform::KeyDecode::key) {
            const qx::platform::KeyPress& k = d.key;
            bool is_character = k.character >= 1 && k.character <= 255 && k.character != 127;
            bool is_extended = k.character == 0 && (k.prefix == 0 || k.prefix == 224) && k.code > 0 && k.code <= 255;
            if (!is_character && !is_extended) std::abort();
        }
        at += d.length;
    }
    return 0;
}
