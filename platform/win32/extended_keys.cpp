// The PC keyboard's extended key codes of the Win32 console's key events, by scan code.
#include "platform/win32/extended_keys.hpp"

namespace qx::platform::win32 {

namespace {

// Codes of one key: plain, with Shift, with Ctrl, with Alt. {0, 0} is no entry.
struct Entry {
    uint8_t scan;
    uint8_t plain[2];
    uint8_t shift[2];
    uint8_t ctrl[2];
    uint8_t alt[2];
};

// Keys of the main block and the keypad (numeric lock off) that can arrive
// without a character code.
constexpr Entry normal_keys[] = {
    {0x01, {0, 0}, {0, 0}, {0, 0}, {0, 1}},          // Esc
    {0x02, {0, 0}, {0, 0}, {0, 0}, {0, 120}},        // 1
    {0x03, {0, 0}, {0, 0}, {0, 3}, {0, 121}},        // 2 (Ctrl+2 is NUL)
    {0x04, {0, 0}, {0, 0}, {0, 0}, {0, 122}},        // 3
    {0x05, {0, 0}, {0, 0}, {0, 0}, {0, 123}},        // 4
    {0x06, {0, 0}, {0, 0}, {0, 0}, {0, 124}},        // 5
    {0x07, {0, 0}, {0, 0}, {0, 0}, {0, 125}},        // 6
    {0x08, {0, 0}, {0, 0}, {0, 0}, {0, 126}},        // 7
    {0x09, {0, 0}, {0, 0}, {0, 0}, {0, 127}},        // 8
    {0x0A, {0, 0}, {0, 0}, {0, 0}, {0, 128}},        // 9
    {0x0B, {0, 0}, {0, 0}, {0, 0}, {0, 129}},        // 0
    {0x0C, {0, 0}, {0, 0}, {0, 0}, {0, 130}},        // -
    {0x0D, {0, 0}, {0, 0}, {0, 0}, {0, 131}},        // =
    {0x0E, {0, 0}, {0, 0}, {0, 0}, {0, 14}},         // Backspace
    {0x0F, {0, 0}, {0, 15}, {0, 148}, {0, 165}},     // Tab
    {0x1A, {0, 0}, {0, 0}, {0, 0}, {0, 26}},         // [
    {0x1B, {0, 0}, {0, 0}, {0, 0}, {0, 27}},         // ]
    {0x1C, {0, 0}, {0, 0}, {0, 0}, {0, 28}},         // Enter
    {0x27, {0, 0}, {0, 0}, {0, 0}, {0, 39}},         // ;
    {0x28, {0, 0}, {0, 0}, {0, 0}, {0, 40}},         // '
    {0x29, {0, 0}, {0, 0}, {0, 0}, {0, 41}},         // `
    {0x2B, {0, 0}, {0, 0}, {0, 0}, {0, 43}},         // backslash
    {0x33, {0, 0}, {0, 0}, {0, 0}, {0, 51}},         // ,
    {0x34, {0, 0}, {0, 0}, {0, 0}, {0, 52}},         // .
    {0x35, {0, 0}, {0, 0}, {0, 0}, {0, 53}},         // /
    {0x37, {0, 0}, {0, 0}, {0, 150}, {0, 55}},       // keypad *
    {0x47, {0, 71}, {0, 71}, {0, 119}, {0, 0}},      // keypad Home
    {0x48, {0, 72}, {0, 72}, {0, 141}, {0, 0}},      // keypad Up
    {0x49, {0, 73}, {0, 73}, {0, 132}, {0, 0}},      // keypad Page Up
    {0x4A, {0, 0}, {0, 0}, {0, 142}, {0, 74}},       // keypad -
    {0x4B, {0, 75}, {0, 75}, {0, 115}, {0, 0}},      // keypad Left
    {0x4C, {0, 76}, {0, 76}, {0, 143}, {0, 0}},      // keypad 5
    {0x4D, {0, 77}, {0, 77}, {0, 116}, {0, 0}},      // keypad Right
    {0x4E, {0, 0}, {0, 0}, {0, 144}, {0, 78}},       // keypad +
    {0x4F, {0, 79}, {0, 79}, {0, 117}, {0, 0}},      // keypad End
    {0x50, {0, 80}, {0, 80}, {0, 145}, {0, 0}},      // keypad Down
    {0x51, {0, 81}, {0, 81}, {0, 118}, {0, 0}},      // keypad Page Down
    {0x52, {0, 82}, {0, 82}, {0, 146}, {0, 0}},      // keypad Insert
    {0x53, {0, 83}, {0, 83}, {0, 147}, {0, 0}},      // keypad Delete
    {0x57, {0, 133}, {0, 135}, {0, 137}, {0, 139}},  // F11
    {0x58, {0, 134}, {0, 136}, {0, 138}, {0, 140}},  // F12
};

// The cursor-control block and the keypad's Enter and "/".
constexpr Entry enhanced_keys[] = {
    {0x1C, {0, 0}, {0, 0}, {0, 0}, {0, 166}},           // keypad Enter
    {0x35, {0, 0}, {0, 0}, {0, 149}, {0, 164}},         // keypad /
    {0x47, {224, 71}, {224, 71}, {224, 119}, {0, 151}},  // Home
    {0x48, {224, 72}, {224, 72}, {224, 141}, {0, 152}},  // Up
    {0x49, {224, 73}, {224, 73}, {224, 132}, {0, 153}},  // Page Up
    {0x4B, {224, 75}, {224, 75}, {224, 115}, {0, 155}},  // Left
    {0x4D, {224, 77}, {224, 77}, {224, 116}, {0, 157}},  // Right
    {0x4F, {224, 79}, {224, 79}, {224, 117}, {0, 159}},  // End
    {0x50, {224, 80}, {224, 80}, {224, 145}, {0, 160}},  // Down
    {0x51, {224, 81}, {224, 81}, {224, 118}, {0, 161}},  // Page Down
    {0x52, {224, 82}, {224, 82}, {224, 146}, {0, 162}},  // Insert
    {0x53, {224, 83}, {224, 83}, {224, 147}, {0, 163}},  // Delete
};

bool pick(const Entry& entry, Modifiers modifiers, KeyPress& key) {
    const uint8_t* codes = modifiers.alt ? entry.alt : modifiers.ctrl ? entry.ctrl : modifiers.shift ? entry.shift
                                                                                                       : entry.plain;
    if (codes[0] == 0 && codes[1] == 0) return false;
    key = KeyPress{};
    key.prefix = codes[0];
    key.code = codes[1];
    return true;
}

}  // namespace

bool extended_key(unsigned scan_code, bool enhanced, Modifiers modifiers, KeyPress& key) {
    // Function keys F1 to F10 follow one another in every column.
    if (!enhanced && scan_code >= 0x3B && scan_code <= 0x44) {
        int index = static_cast<int>(scan_code) - 0x3B;
        int base = modifiers.alt ? 104 : modifiers.ctrl ? 94 : modifiers.shift ? 84 : 59;
        key = KeyPress{};
        key.code = base + index;
        return true;
    }
    // Alt with a letter: the letter's scan code is its extended code.
    if (!enhanced && modifiers.alt &&
        ((scan_code >= 0x10 && scan_code <= 0x19) || (scan_code >= 0x1E && scan_code <= 0x26) ||
         (scan_code >= 0x2C && scan_code <= 0x32))) {
        key = KeyPress{};
        key.code = static_cast<int>(scan_code);
        return true;
    }
    if (enhanced) {
        for (const Entry& entry : enhanced_keys)
            if (entry.scan == scan_code) return pick(entry, modifiers, key);
        return false;
    }
    for (const Entry& entry : normal_keys)
        if (entry.scan == scan_code) return pick(entry, modifiers, key);
    return false;
}

}  // namespace qx::platform::win32
