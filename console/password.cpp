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

// Writes one field cell in the field's colour for cell `index` (red for the cells
// that still leave the text too short, green for the rest).
void draw_cell(platform::ConsoleOutput& output, unsigned char glyph, int index, int min_len) {
    output.begin_paint(index < min_len - 1 ? attr_error : attr_field);
    output.write_code_page_char(glyph);
    output.end_paint();
    output.flush();
}

}  // namespace

std::string read_password(int min_len, int max_len) {
    if (max_len < 1) return {};
    if (min_len < 1) min_len = 1;
    if (min_len > max_len) min_len = max_len;
    platform::ConsoleOutput& output = platform::console_output();

    std::string text;
    text.reserve(static_cast<size_t>(max_len));

    output.get_screen_buffer_info(writer.buffer_info);
    writer.saved_position = writer.buffer_info.cursor;
    output.fill_attribute(attr_field, static_cast<uint32_t>(max_len), writer.saved_position, writer.cells_filled);
    output.fill_attribute(attr_error, static_cast<uint32_t>(min_len - 1), writer.saved_position, writer.cells_filled);
    for (int i = 0; i < max_len; ++i) draw_cell(output, free_cell, i, min_len);
    output.set_cursor_position(writer.saved_position);
    output.flush();

    RawModeHold raw_mode;  // a key typed between two reads must not be echoed
    for (;;) {
        int key = read_key();
        if (key < 0) return {};  // no keyboard: nothing can ever be typed, so it ends as a cancel
        if (key == key_backspace) {
            if (text.empty()) continue;
            output.get_screen_buffer_info(writer.buffer_info);
            writer.saved_position = writer.buffer_info.cursor;
            if (writer.saved_position.x > 0) writer.saved_position.x = static_cast<int16_t>(writer.saved_position.x - 1);
            output.set_cursor_position(writer.saved_position);
            draw_cell(output, free_cell, static_cast<int>(text.size()) - 1, min_len);
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
            draw_cell(output, filled_cell, static_cast<int>(text.size()), min_len);
            text += static_cast<char>(key);
        }
    }
    return text;
}

}  // namespace qx::console
