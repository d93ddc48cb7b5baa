// The console writer's scratch state, shared by the messages and the password field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace qx::console {

// One process-wide instance. buffer_info and saved_position are rewritten at the
// start of every message and every password field.
struct ConsoleWriter {
    uint32_t cells_filled = 0;          // cells reported by the last attribute fill
    platform::ScreenBufferInfo buffer_info;
    platform::Coord saved_position;     // first cell of the message or field being drawn
    std::string row_text;               // what out() wrote since the last row began (a prompt)
};

extern ConsoleWriter writer;

// GetConsoleScreenBufferInfo into `info`; a failed query (no console) leaves it all
// zero, so that nothing another screen reported is taken for this one.
void query_screen(platform::ConsoleOutput& output, platform::ScreenBufferInfo& info);

// Where the password field is drawn: the prompt screen when there is one, else standard output.
platform::ConsoleOutput& field_output();

// Writes text on `output` and flushes it; on standard output this is out().
void write_on(platform::ConsoleOutput& output, std::string_view text);

// What read_key_event gives when the screen is to be drawn again: the job was
// stopped and continued, and the shell has written meanwhile.
inline constexpr int key_redraw = -2;

// read_key, but a redraw request ends the wait with key_redraw (read_key skips it).
int read_key_event();

// Keeps the keyboard in raw mode from one read_key to the next while it lives,
// so that keys typed between two reads are neither echoed nor translated by the
// terminal; the mode is restored when the last hold ends.
class RawModeHold {
public:
    RawModeHold();
    ~RawModeHold();
    RawModeHold(const RawModeHold&) = delete;
    RawModeHold& operator=(const RawModeHold&) = delete;
};

}  // namespace qx::console
