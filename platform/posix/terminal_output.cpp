// Standard output as a console screen buffer on POSIX: a terminal, or a file or pipe.
#include "platform/posix/terminal_output.hpp"

#include <algorithm>

namespace qx::platform {

namespace {
constexpr int unbounded = 0x7FFF;  // the width and height reported for a file or pipe
}

std::string sgr_for_attribute(uint16_t attribute) {
    // Win32 bit order is blue, green, red; the terminal's colour index is red, green, blue.
    auto index = [](int bits) { return ((bits & 4) ? 1 : 0) | ((bits & 2) ? 2 : 0) | ((bits & 1) ? 4 : 0); };
    int fg = attribute & 0x0F;
    int bg = (attribute >> 4) & 0x0F;
    std::string s = "\x1b[0;";
    s += std::to_string(((fg & 8) ? 90 : 30) + index(fg));
    if (bg == 0) {
        s += ";49";
    } else {
        s += ';';
        s += std::to_string(((bg & 8) ? 100 : 40) + index(bg));
    }
    s += 'm';
    return s;
}

std::string_view code_page_char_utf8(unsigned char byte) {
    switch (byte) {
        case 176: return "\u2591";
        case 177: return "\u2592";
        case 178: return "\u2593";
        default: return {};
    }
}

TerminalOutput::TerminalOutput(Settings settings, Sink sink) : settings_(settings), sink_(std::move(sink)) {
    if (!settings_.terminal) {
        settings_.width = unbounded;
        settings_.height = unbounded;
    }
    clamp_size();
}

void TerminalOutput::clamp_size() {
    settings_.width = std::clamp(settings_.width, 1, unbounded);
    settings_.height = std::clamp(settings_.height, 1, unbounded);
}

void TerminalOutput::advance_row() {
    if (row_ < buffer_rows - 1) ++row_;  // on the buffer's last row the buffer scrolls instead
    bottom_ = std::max(bottom_, row_);
    follow_screen();
}

void TerminalOutput::follow_screen() {
    // Wherever the program started on the screen, the `height` rows up to the lowest
    // one reached are on it; a smaller window has pushed the rows above them off.
    top_ = std::max(top_, bottom_ - (settings_.height - 1));
    row_ = std::max(row_, top_);
}

void TerminalOutput::resume_paint() {
    if (!paint_suspended_) return;
    pending_ += paint_sgr_;
    paint_suspended_ = false;
}

void TerminalOutput::put(char c) {
    resume_paint();
    if (wrap_pending_) {
        wrap_pending_ = false;
        column_ = 0;
        advance_row();
    }
    pending_ += c;
    if (column_ + 1 >= settings_.width) {
        wrap_pending_ = true;  // a terminal holds the cursor on the last column until the next character
    } else {
        ++column_;
    }
}

void TerminalOutput::write(std::string_view text) {
    const bool terminal = settings_.terminal;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            // Erasing to the end of the row gives the rest of it the paint colour; after
            // the last column was written the row is full and the erase would hit that cell.
            // The colours are reset before the newline: where it scrolls the screen, the
            // terminal fills the new row with the current background.
            if (terminal && painting_) {
                resume_paint();
                if (!wrap_pending_) pending_ += "\x1b[K";
                pending_ += "\x1b[0m";
                paint_suspended_ = true;
            }
            pending_ += '\n';
            column_ = 0;
            wrap_pending_ = false;
            advance_row();
        } else if (c == '\r') {
            pending_ += '\r';
            column_ = 0;
            wrap_pending_ = false;
        } else if (c == '\t') {
            if (wrap_pending_) {
                pending_ += '\t';  // a tab at the row's end moves nowhere
                continue;
            }
            int stop = std::min((column_ / 8 + 1) * 8, settings_.width - 1);
            if (terminal && painting_) {
                resume_paint();
                pending_.append(static_cast<size_t>(std::max(stop - column_, 0)), ' ');  // spaces take the colour
            } else {
                pending_ += '\t';
            }
            column_ = std::max(stop, column_);
        } else if (c == '\b') {
            pending_ += '\b';
            wrap_pending_ = false;
            if (column_ > 0) --column_;
        } else if (c < 0x20 || c == 0x7F) {
            // A control character from a file name must not act on a terminal,
            // nor on one that shows the file later.
            put('?');
        } else if (settings_.utf8 && (c & 0xC0) == 0x80) {
            pending_ += ch;  // continuation byte of a UTF-8 character: no column of its own
        } else {
            put(ch);
        }
    }
}

void TerminalOutput::write_code_page_char(unsigned char byte) {
    std::string_view text = settings_.utf8 ? code_page_char_utf8(byte) : std::string_view{};
    if (text.empty()) {
        put(static_cast<char>(byte));
        return;
    }
    put(text[0]);
    pending_.append(text.substr(1));
}

void TerminalOutput::flush() {
    if (pending_.empty()) return;
    sink_(pending_);
    pending_.clear();
}

bool TerminalOutput::get_screen_buffer_info(ScreenBufferInfo& info) {
    if (settings_.terminal) {
        refresh_size(settings_.width, settings_.height);
        clamp_size();
        column_ = std::min(column_, settings_.width - 1);
        follow_screen();
    }
    info.size.x = static_cast<int16_t>(settings_.width);
    info.size.y = static_cast<int16_t>(buffer_rows);
    // After the last column of a row the console cursor already stands on the next row.
    if (wrap_pending_) {
        info.cursor.x = 0;
        info.cursor.y = static_cast<int16_t>(std::min(row_ + 1, buffer_rows - 1));
    } else {
        info.cursor.x = static_cast<int16_t>(column_);
        info.cursor.y = static_cast<int16_t>(row_);
    }
    return true;
}

bool TerminalOutput::set_cursor_position(Coord position) {
    if (!settings_.terminal) return false;
    const int x = std::clamp<int>(position.x, 0, settings_.width - 1);
    // A row scrolled off the screen cannot be reached: its top row is the nearest.
    const int y = std::clamp<int>(position.y, top_, buffer_rows - 1);
    // After the row's last column the cursor already is where the console reports it.
    if (wrap_pending_ && x == 0 && y == std::min(row_ + 1, buffer_rows - 1)) return true;
    // Relative moves reach the rows written so far; a row below them is made with
    // newlines, which scroll the screen as the console's cursor would find it.
    const int reached = std::min(y, bottom_);
    if (reached < row_) pending_ += "\x1b[" + std::to_string(row_ - reached) + "A";
    if (reached > row_) pending_ += "\x1b[" + std::to_string(reached - row_) + "B";
    row_ = reached;
    if (row_ < y && painting_ && !paint_suspended_) {
        pending_ += "\x1b[0m";  // a row scrolled in takes no paint
        paint_suspended_ = true;
    }
    while (row_ < y) {
        pending_ += '\n';
        advance_row();
    }
    pending_ += "\x1b[" + std::to_string(x + 1) + "G";
    column_ = x;
    wrap_pending_ = false;
    return true;
}

bool TerminalOutput::fill_attribute(uint16_t, uint32_t count, Coord, uint32_t& filled) {
    // The rows took their colour while they were written (begin_paint).
    filled = settings_.terminal ? count : 0;
    return settings_.terminal;
}

void TerminalOutput::begin_paint(uint16_t attribute) {
    if (!settings_.terminal) return;
    paint_sgr_ = sgr_for_attribute(attribute);
    pending_ += paint_sgr_;
    painting_ = true;
    paint_suspended_ = false;
}

void TerminalOutput::end_paint() {
    if (!settings_.terminal) return;
    if (!paint_suspended_) pending_ += "\x1b[0m";
    painting_ = false;
    paint_suspended_ = false;
}

}  // namespace qx::platform
