// The console writer: progress text, coloured messages, the key reader and the password field.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace qx::platform {
class ConsoleOutput;
}

namespace qx::console {

// Colour attributes (Win32 console bits: 1 blue, 2 green, 4 red, 8 intensity; x16 for background).
inline constexpr int attr_codec_error = 4;     // red on black
inline constexpr int attr_field = 10;          // bright green on black
inline constexpr int attr_error = 12;          // bright red on black
inline constexpr int attr_note = 15;           // bright white on black
inline constexpr int attr_banner = 30;         // bright yellow on blue

// Message kinds for show_message.
inline constexpr int kind_note = -1;   // no header, returns
inline constexpr int kind_error = 0;   // "*** error ***", then a key wait
inline constexpr int kind_fatal = 1;   // "*** error ***", then the process ends with status 1

// Writes plain text to standard output and flushes it, so the cursor stands where it ended.
void out(std::string_view text);

// Writes text that asks the user for something (the password prompt, the line of
// a key wait): to standard output as out() does, and also to the prompt screen
// when there is one.
void prompt(std::string_view text);

// The user's terminal, when standard output is redirected and keys are typed:
// the password prompt and field, every error and its key wait and the closing
// line are shown there too, while standard output keeps the run's text (without
// field cells). Null (the default): standard output is the only screen.
void set_prompt_screen(platform::ConsoleOutput* screen);

// Standard input is not a terminal: the password is its first line
// (read_password_line), no key wait waits (read_key returns -1 at once) and no
// field is drawn (read_password returns the empty text).
void set_piped_input(bool piped);
bool piped_input();

// The first line of standard input as the password: LF or CR LF ends it (a last
// line without either counts as it stands), and it must hold min_len to max_len
// characters of codes 32 to 126. Reads no byte beyond the line, and at most
// max_len + 2 bytes of a line that is too long.
struct PasswordLine {
    enum class Status { accepted, end_of_input, too_short, too_long, refused_character };
    Status status = Status::end_of_input;
    std::string text;  // the password when accepted, else empty
};
PasswordLine read_password_line(int min_len, int max_len);

// Shows a message: an error header for kind >= 0, the formatted text, the rows
// it occupies coloured with `attribute`. Kind < 0 returns; kind 0 writes
// "press any key to proceed...", waits for a key and returns; kind > 0 ends the
// process with exit status `kind` through the normal exit path (never returns).
// Returns the number of characters the formatted text wrote.
int show_message(int kind, int attribute, const char* format, ...) __attribute__((format(printf, 3, 4)));
int show_message_v(int kind, int attribute, const char* format, va_list args);

// Waits for one key press and returns its code (0..255); keys without a character
// code give their prefix (0 or 224) now and their extended code at the next call.
// Returns -1 at once when there is no keyboard to read (no terminal).
int read_key();

// Forgets the pending second code and whether the keyboard was opened, so that
// the next read_key opens the (possibly replaced) console input again. For tests.
void reset_key_reader();

// The masked password field: between min_len and max_len printable ASCII
// characters, shown as blocks. Returns the empty text when the user pressed Esc
// (or when no keyboard can be read).
std::string read_password(int min_len, int max_len);

// How the process ends after a fatal message; std::exit unless a test replaces it.
using ExitFunction = void (*)(int status);
ExitFunction set_exit_function(ExitFunction function);

}  // namespace qx::console
