// Standard output as a console screen buffer on POSIX: a terminal, or a file or pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace qx::platform {

// The SGR escape sequence that shows a console colour attribute on a terminal:
// foreground bits 1 blue, 2 green, 4 red, 8 intensity; the same times 16 for the
// background. A black background (no background bits) is the terminal's own.
std::string sgr_for_attribute(uint16_t attribute);

// Follows everything written to standard output so that the cursor is always
// known, as the Win32 screen-buffer query reports it: a terminal `width` columns
// wide wraps long rows, output to a file never wraps.
//
// Rows are buffer rows, counted from where the program started, as in a console
// screen buffer of buffer_rows rows: when the terminal's screen (`height` rows)
// scrolls, the text keeps its row numbers and the screen's top moves down, so a
// position taken before the scroll still names the same cell. Only at the
// buffer's last row does the buffer scroll, one row per new row, as a full
// console buffer does. A move to a row that has scrolled off the screen goes to
// its top row instead.
//
// On a terminal the colours are escape sequences written with the text
// (begin_paint, end_paint), set_cursor_position moves the cursor and
// fill_attribute has nothing left to do. On a file or pipe no escape sequence
// is ever written and only the cursor is followed. On both, control characters
// other than newline, carriage return, tab and backspace (which could act as
// terminal commands when a file name carries them) show as '?'.
class TerminalOutput : public ConsoleOutput {
public:
    struct Settings {
        bool terminal = false;  // standard output is a terminal
        bool utf8 = false;      // text is UTF-8 (a character's continuation bytes take no column)
        int width = 80;         // terminal columns
        int height = 24;        // terminal rows
    };
    using Sink = std::function<void(std::string_view)>;

    TerminalOutput(Settings settings, Sink sink);

    void write(std::string_view text) override;
    void flush() override;
    bool get_screen_buffer_info(ScreenBufferInfo& info) override;
    bool set_cursor_position(Coord position) override;
    bool fill_attribute(uint16_t attribute, uint32_t count, Coord start, uint32_t& filled) override;
    void begin_paint(uint16_t attribute) override;
    void end_paint() override;
    void write_code_page_char(unsigned char byte) override;

    bool is_terminal() const { return settings_.terminal; }

    // The rows of the buffer (ScreenBufferInfo::size.y), the most its 16-bit coordinates hold.
    static constexpr int buffer_rows = 0x7FFF;

protected:
    // Asks for the current terminal size; keeps the old one when it is unknown.
    virtual void refresh_size(int& width, int& height) { (void)width, (void)height; }

private:
    void clamp_size();  // keeps the size within 1..unbounded both ways
    void advance_row();
    void follow_screen();  // the screen's top after a new row or a size change
    void put(char c);  // appends one byte that takes a column

    Settings settings_;
    Sink sink_;
    std::string pending_;
    int column_ = 0;
    int row_ = 0;     // the cursor's buffer row
    // The lowest row the cursor has reached, and the top-most row surely still on the
    // screen: the rows from top_ to bottom_ are reached with relative cursor moves.
    int bottom_ = 0;
    int top_ = 0;
    bool wrap_pending_ = false;  // the last column was written: the next character starts a new row
    bool painting_ = false;
    // The colours were reset before a newline, so that a row the newline scrolls in
    // takes no paint; the paint's colours are set again before the next output.
    bool paint_suspended_ = false;
    std::string paint_sgr_;
    void resume_paint();
};

// The UTF-8 form of a code-page 437 byte, for the characters the console shows (176, 177, 178).
std::string_view code_page_char_utf8(unsigned char byte);

}  // namespace qx::platform
