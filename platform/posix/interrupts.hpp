// Holding back the interrupt signals while a fresh file is created and tracked.
#pragma once

#include <signal.h>

namespace qx::platform::posix {

// Blocks the signals the interrupt handler catches for its lifetime. A signal that
// arrives meanwhile is delivered when the holder ends, by which time a file created
// inside is tracked and the handler deletes it.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace qx::platform::posix
