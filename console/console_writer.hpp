// The console writer's scratch state, shared by the messages and the password field.
#pragma once

#include <cstdint>

#include "platform/platform.hpp"

namespace qx::console {

// One process-wide instance. buffer_info and saved_position are rewritten at the
// start of every message and every password field.
struct ConsoleWriter {
    uint32_t cells_filled = 0;          // cells reported by the last attribute fill
    platform::ScreenBufferInfo buffer_info;
    platform::Coord saved_position;     // first cell of the message or field being drawn
};

extern ConsoleWriter writer;

}  // namespace qx::console
