// The PC keyboard's extended key codes of the Win32 console's key events, by scan code.
#pragma once

#include <cstdint>

#include "platform/platform.hpp"

namespace qx::platform::win32 {

// Modifier state of a key event, as far as the extended codes depend on it.
struct Modifiers {
    bool alt = false;
    bool ctrl = false;
    bool shift = false;
};

// Looks up a key that carries no character code. `enhanced` says the key is one of
// the separate cursor block or the keypad's Enter and "/" (ENHANCED_KEY), which
// have a table of their own. Alt goes before Ctrl before Shift. Fills `key`
// (prefix 0 or 224 and the extended code) and returns true when the key has an
// entry; false for keys without one (Shift, Ctrl, Alt or a lock key alone).
bool extended_key(unsigned scan_code, bool enhanced, Modifiers modifiers, KeyPress& key);

}  // namespace qx::platform::win32
