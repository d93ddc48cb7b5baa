// The console writer: progress text, coloured messages and the key reader.
#include "console/console.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console_writer.hpp"
#include "platform/platform.hpp"

namespace qx::console {

namespace {

ExitFunction exit_function = nullptr;

// The user's terminal beside a redirected standard output, and whether keys are
// replaced by a piped standard input.
platform::ConsoleOutput* prompt_screen = nullptr;
bool input_is_piped = false;

// The key reader's process-wide values: the second code of the last extended
// key, and whether the keyboard was opened (once, on first use).
int pending_code = -1;
enum class Keyboard { unopened, open, unavailable };
Keyboard keyboard = Keyboard::unopened;
// While a hold is active (the password field), the terminal stays raw between key reads.
int raw_holds = 0;
bool raw_entered = false;

// printf-style formatting into a string of any length; `length` receives the
// character count that formatted output reports (negative on a format error).
std::string format_text(const char* format, va_list args, int& length) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return {};
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

ConsoleWriter writer;

void out(std::string_view text) {
    platform::ConsoleOutput& output = platform::console_output();
    output.write(text);
    output.flush();
    const size_t row_start = text.find_last_of("\r\n");
    if (row_start != std::string_view::npos) {
        writer.row_text.assign(text.substr(row_start + 1));
    } else {
        writer.row_text.append(text);
    }
}

void query_screen(platform::ConsoleOutput& output, platform::ScreenBufferInfo& info) {
    if (!output.get_screen_buffer_info(info)) info = platform::ScreenBufferInfo{};
}

platform::ConsoleOutput& field_output() {
    return prompt_screen != nullptr ? *prompt_screen : platform::console_output();
}

void write_on(platform::ConsoleOutput& output, std::string_view text) {
    if (&output == &platform::console_output()) {
        out(text);
        return;
    }
    output.write(text);
    output.flush();
}

void prompt(std::string_view text) {
    out(text);
    if (prompt_screen != nullptr) write_on(*prompt_screen, text);
}

void set_prompt_screen(platform::ConsoleOutput* screen) { prompt_screen = screen; }

void set_piped_input(bool piped) { input_is_piped = piped; }

bool piped_input() { return input_is_piped; }

namespace {

// Draws one message on `output`: on a fresh row, the header for kind >= 0, the
// text, and the rows from the header to the text's last row in `attribute`.
void draw_message(platform::ConsoleOutput& output, int kind, int attribute, const std::string& text) {
    platform::ScreenBufferInfo& info = writer.buffer_info;

    // The cursor, and a fresh row when it is not at column 0.
    query_screen(output, info);
    writer.saved_position = info.cursor;
    if (info.cursor.x != 0) write_on(output, "\n");

    // From here on saved_position is the first cell of the message.
    query_screen(output, info);
    writer.saved_position = info.cursor;

    output.begin_paint(static_cast<uint16_t>(attribute));
    int rows = 2;
    if (kind >= 0) {
        write_on(output, "*** error ***\n");
        rows = 3;
    }
    // The text's own rows, from the text as shown rather than its format, since an
    // argument may bring lines of its own (the syntax text): one more at each line end
    // and each time a line fills the buffer's width.
    const int width = info.size.x > 0 ? info.size.x : 1;
    int column = 0;
    for (char c : text) {
        if (c == '\n') {
            ++rows;
            column = 0;
            continue;
        }
        column = c == '\t' ? (column / 8 + 1) * 8 : column + 1;
        if (column >= width) {
            ++rows;
            column = 0;
        }
    }

    // rows now reaches from the first row of the message to the row after its closing
    // newline. When that passes the buffer's last row, the buffer scrolls and the
    // message ends on the last rows.
    const int height = info.size.y;
    bool scrolling = writer.saved_position.y + rows >= height;
    if (scrolling) writer.saved_position.y = static_cast<int16_t>(height - rows);

    write_on(output, text);

    query_screen(output, info);
    int last_row = scrolling ? height - 1 : info.cursor.y;
    write_on(output, "\n");
    output.end_paint();

    int32_t cells = (last_row - writer.saved_position.y + 1 - (scrolling ? 1 : 0)) * static_cast<int32_t>(info.size.x);
    // A negative count (a message taller than the buffer) colours nothing.
    if (cells > 0) {
        output.fill_attribute(static_cast<uint16_t>(attribute), static_cast<uint32_t>(cells), writer.saved_position,
                              writer.cells_filled);
    }
}

}  // namespace

int show_message_v(int kind, int attribute, const char* format, va_list args) {
    int length = 0;
    const std::string text = format_text(format, args, length);
    draw_message(platform::console_output(), kind, attribute, text);
    // An error asks something of the user, or tells why the run ends: the
    // terminal beside a redirected output shows it as well.
    if (kind >= 0 && prompt_screen != nullptr) draw_message(*prompt_screen, kind, attribute, text);

    if (kind > 0) {
        if (exit_function != nullptr) {
            exit_function(kind);
        } else {
            std::exit(kind);
        }
    } else if (kind == 0) {
        prompt("press any key to proceed...\n");
        read_key();
    }
    return length;
}

int show_message(int kind, int attribute, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = show_message_v(kind, attribute, format, args);
    va_end(args);
    return length;
}

int read_key() {
    for (;;) {
        int key = read_key_event();
        if (key != key_redraw) return key;
    }
}

int read_key_event() {
    if (input_is_piped) return -1;  // no keyboard is read in a run fed from a pipe
    if (pending_code >= 0) {
        int code = pending_code;
        pending_code = -1;
        return code;
    }
    platform::ConsoleInput& input = platform::console_input();
    if (keyboard == Keyboard::unopened) keyboard = input.open() ? Keyboard::open : Keyboard::unavailable;
    if (keyboard != Keyboard::open) return -1;

    if (!raw_entered) raw_entered = input.enter_raw_mode();
    platform::KeyPress key;
    int result = -1;
    if (input.read_key_press(key)) {
        if (key.character == 0 && key.prefix == 0 && key.code == 0) {
            result = key_redraw;  // a key press with no code at all is the redraw request
        } else if (key.character != 0) {
            result = key.character & 0xFF;
        } else {
            result = key.prefix & 0xFF;
            pending_code = key.code & 0xFF;
        }
    }
    if (raw_holds == 0 && raw_entered) {
        input.restore_mode();
        raw_entered = false;
    }
    return result;
}

RawModeHold::RawModeHold() {
    ++raw_holds;
    // Raw from here on, before the first key is asked for: a key typed ahead
    // (while the field is being drawn) is then not echoed either.
    if (input_is_piped || raw_entered) return;
    platform::ConsoleInput& input = platform::console_input();
    if (keyboard == Keyboard::unopened) keyboard = input.open() ? Keyboard::open : Keyboard::unavailable;
    if (keyboard == Keyboard::open) raw_entered = input.enter_raw_mode();
}

RawModeHold::~RawModeHold() {
    if (--raw_holds == 0 && raw_entered) {
        platform::console_input().restore_mode();
        raw_entered = false;
    }
}

void reset_key_reader() {
    pending_code = -1;
    keyboard = Keyboard::unopened;
    raw_holds = 0;
    raw_entered = false;
}

ExitFunction set_exit_function(ExitFunction function) {
    ExitFunction previous = exit_function;
    exit_function = function;
    return previous;
}

}  // namespace qx::console
