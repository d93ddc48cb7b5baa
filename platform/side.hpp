// What each side of the platform layer (posix/, win32/) gives the code shared by both.
#pragma once

#include "platform/platform.hpp"

namespace qx::platform::side {

// The process's real console objects; created on first use and never destroyed,
// so that exit-time handlers can still use them.
ConsoleOutput& real_console_output();
ConsoleInput& real_console_input();

}  // namespace qx::platform::side
