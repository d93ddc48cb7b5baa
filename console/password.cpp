// The masked password field.
#include <string>

#include "console/console.hpp"
#include "console/console_writer.hpp"
#include "platform/platform.hpp"

namespace qx::console {

namespace {

constexpr unsigned char free_cell = 176;
constexpr unsigned char filled_cell = 177;
constexpr int key_backspace = 8;
constexpr int key_enter = 13;
constexpr int key_esc = 27;

// The colour of field cell `index`: red while the text would still be too short, then green.
int cell_attribute(int index, int min_len) { return index < min_len - 1 ? attr_error : attr_field; }

// Writes `count` field cells from cell `first` in their colours.
void draw_cells(platform::ConsoleOutput& output, unsigned char glyph, int first, int count, int min_len) {
    if (count <= 0) return;
    int painted = -1;
    for (int i = first; i < first + count; ++i) {
        int attribute = cell_attribute(i, min_len);
        if (attribute != painted) output.begin_paint(static_cast<uint16_t>(attribute));
        painted = attribute;
        output.write_code_page_char(glyph);
    }
    output.end_paint();
    output.flush();
}

// Draws the whole field from the cursor, its first `typed` cells filled, and leaves
// the cursor after them. writer.saved_position becomes the field's first cell.
void draw_field(platform::ConsoleOutput& output, int typed, int min_len, int max_len) {
    query_screen(output, writer.buffer_info);
    writer.saved_position = writer.buffer_info.cursor;
    output.fill_attribute(attr_field, static_cast<uint32_t>(max_len), writer.saved_position, writer.cells_filled);
    output.fill_attribute(attr_error, static_cast<uint32_t>(min_len - 1), writer.saved_position, writer.cells_filled);
    draw_cells(output, filled_cell, 0, typed, min_len);
    platform::ScreenBufferInfo after_typed;
    query_screen(output, after_typed);
    draw_cells(output, free_cell, typed, max_len - typed, min_len);
    output.set_cursor_position(after_typed.cursor);
    output.flush();
}

}  // namespace

std::string read_password(int min_len, int max_len) {
    if (max_len < 1) return {};
    if (min_len < 1) min_len = 1;
    if (min_len > max_len) min_len = max_len;
    if (piped_input()) return {};  // the password comes from standard input, not from a field
    // On the user's terminal when standard output is redirected, so that no field cell reaches the output.
    platform::ConsoleOutput& output = field_output();

    std::string text;
    text.reserve(static_cast<size_t>(max_len));

    // The text on the field's row before it, to be drawn again with the field.
    const std::string prompt = writer.row_text;
    RawModeHold raw_mode;  // no key typed from here on is echoed, between reads or ahead of the first
    draw_field(output, 0, min_len, max_len);

    for (;;) {
        int key = read_key_event();
        if (key == key_redraw) {
            // The job was stopped and continued: the shell has written meanwhile and the
            // field may have scrolled away. It is drawn again on a row of its own.
            write_on(output, "\n");
            write_on(output, prompt);
            draw_field(output, static_cast<int>(text.size()), min_len, max_len);
            continue;
        }
        if (key < 0) return {};  // no keyboard: nothing can ever be typed, so it ends as a cancel
        if (key == key_backspace) {
            if (text.empty()) continue;
            // The last typed cell stands before the cursor, on the row above when the
            // cursor is at column 0: the field wrapped after that cell.
            query_screen(output, writer.buffer_info);
            writer.saved_position = writer.buffer_info.cursor;
            if (writer.saved_position.x > 0) {
                writer.saved_position.x = static_cast<int16_t>(writer.saved_position.x - 1);
            } else if (writer.saved_position.y > 0) {
                writer.saved_position.x = static_cast<int16_t>(writer.buffer_info.size.x - 1);
                writer.saved_position.y = static_cast<int16_t>(writer.saved_position.y - 1);
            }
            output.set_cursor_position(writer.saved_position);
            draw_cells(output, free_cell, static_cast<int>(text.size()) - 1, 1, min_len);
            output.set_cursor_position(writer.saved_position);
            output.flush();
            text.pop_back();
        } else if (key == key_enter && static_cast<int>(text.size()) >= min_len) {
            break;
        } else if (key == key_esc) {
            return {};
        } else if (key < 32 || key > 126) {
            // A refused key takes the next code with it: the second code of an
            // extended key, or the next key press.
            if (read_key() < 0) return {};
        } else if (static_cast<int>(text.size()) < max_len) {
            draw_cells(output, filled_cell, static_cast<int>(text.size()), 1, min_len);
            text += static_cast<char>(key);
        }
    }
    return text;
}

PasswordLine read_password_line(int min_len, int max_len) {
    PasswordLine result;
    std::string line;
    bool got_byte = false;
    bool line_ended = false;
    // max_len characters and a CR LF at most: a longer line is refused without reading on.
    const size_t limit = static_cast<size_t>(max_len) + 2;
    unsigned char byte = 0;
    while (line.size() < limit && platform::read_standard_input_byte(byte)) {
        got_byte = true;
        if (byte == '\n') {
            line_ended = true;
            break;
        }
        line += static_cast<char>(byte);
    }
    if (!got_byte) return result;  // end of input before any line
    if (line_ended && !line.empty() && line.back() == '\r') line.pop_back();

    using Status = PasswordLine::Status;
    result.status = Status::accepted;
    for (char c : line)
        if (c < 32 || c > 126) result.status = Status::refused_character;
    if (result.status == Status::accepted && static_cast<int>(line.size()) < min_len) result.status = Status::too_short;
    if (result.status == Status::accepted && static_cast<int>(line.size()) > max_len) result.status = Status::too_long;
    if (result.status == Status::accepted) result.text = std::move(line);
    return result;
}

}  // namespace qx::console
