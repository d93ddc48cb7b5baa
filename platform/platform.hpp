// The platform layer: the calls into the operating system that differ between POSIX
// and Windows (the console, signals and console events, files replaced in place,
// directory search, the clock). Plain standard-library file access, the same on
// both, is used directly where it serves: stdio for the list file and the codec's
// file wrappers, std::filesystem to compare two directories.
//
// Each operation maps one-to-one onto a Win32 call (named beside it). The Win32
// build calls that function; the POSIX build gives the same behaviour with a
// terminal, termios and the file system. Subsystems never include an operating
// system header themselves, and tests replace the console objects with fakes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qx::platform {

// ---------------------------------------------------------------------------
// Console output: a screen buffer of cells with a cursor (standard output).

struct Coord {
    int16_t x = 0;  // column, from 0
    int16_t y = 0;  // row, from 0
};

struct ScreenBufferInfo {
    Coord size;    // dwSize: columns and rows of the whole buffer
    Coord cursor;  // dwCursorPosition
};

// Standard output seen as a console screen buffer.
//
// All text the program shows goes through write(), so an implementation always
// knows where the cursor stands, also when output is redirected to a file.
// Colour: the Win32 console recolours cells after they are written (fill_attribute);
// a terminal cannot, so callers announce the colour of the text they are about to
// write with begin_paint() and end it with end_paint(). Each implementation uses
// whichever of the two it can, and both end with the same rows coloured.
class ConsoleOutput {
public:
    virtual ~ConsoleOutput() = default;

    // Writes text at the cursor and advances it; '\n' moves to column 0 of the next row.
    virtual void write(std::string_view text) = 0;
    virtual void flush() = 0;

    // GetConsoleScreenBufferInfo. False when output is no console and nothing is known.
    virtual bool get_screen_buffer_info(ScreenBufferInfo& info) = 0;
    // SetConsoleCursorPosition.
    virtual bool set_cursor_position(Coord position) = 0;
    // FillConsoleOutputAttribute: sets the colour of `count` cells from `start`,
    // row after row, leaving the characters alone. `filled` receives the cells done.
    virtual bool fill_attribute(uint16_t attribute, uint32_t count, Coord start, uint32_t& filled) = 0;

    // Text written from here to end_paint() shows in `attribute` (a further
    // begin_paint changes it), and every row it ends with a newline shows
    // `attribute` up to the right edge. The Win32 console does nothing here (its
    // fill_attribute does the work); a terminal sets the colour, finishes each row
    // with an erase-to-end-of-line and resets at the end.
    virtual void begin_paint(uint16_t attribute) = 0;
    virtual void end_paint() = 0;

    // Writes one character of the console's 8-bit code page (the block characters
    // 176 and 177 of the password field). It takes one cell; the Win32 console
    // writes the byte, a UTF-8 terminal its Unicode form.
    virtual void write_code_page_char(unsigned char byte) { write(std::string_view(reinterpret_cast<const char*>(&byte), 1)); }
};

// The process's standard output console. Never null.
ConsoleOutput& console_output();
// Replaces it (tests); returns the previous one. Pass nullptr to restore the real one.
ConsoleOutput* set_console_output(ConsoleOutput* replacement);

// ---------------------------------------------------------------------------
// Console input: key presses from the user's keyboard ("CONIN$", the controlling terminal).

// One key press. A key that has a character code carries it in `character`
// (1..255); other keys (arrows, function keys, navigation block) carry their PC
// extended code: `prefix` is 0 or 224 and `code` the key's extended code.
struct KeyPress {
    int character = 0;
    int prefix = 0;
    int code = 0;
};

class ConsoleInput {
public:
    virtual ~ConsoleInput() = default;
    // CreateFileA("CONIN$"). False when there is no console/terminal to read keys from.
    virtual bool open() = 0;
    // GetConsoleMode / SetConsoleMode(0): raw input, no echo, Ctrl+C arrives as code 3.
    virtual bool enter_raw_mode() = 0;
    // SetConsoleMode(saved): the mode that enter_raw_mode() found, or the quiet mode while it is held.
    virtual void restore_mode() = 0;
    // Holds the keyboard quiet from now until leave_quiet_mode(): keys typed while the
    // program works are not echoed and not kept in a line, but wait, byte by byte, for
    // the next key wait, as a console's input buffer keeps them; Ctrl+C still
    // interrupts the run. A key wait switches to raw mode and back to this mode.
    // False (and nothing changed) without a terminal. A console never echoes keys
    // the program does not read, so there this does nothing.
    virtual bool enter_quiet_mode() { return false; }
    // Gives the terminal the mode it had before enter_quiet_mode(); outside a key wait.
    virtual void leave_quiet_mode() {}
    // ReadConsoleInputA until one key press that maps to a code. False when input cannot be read.
    virtual bool read_key_press(KeyPress& key) = 0;
};

ConsoleInput& console_input();
ConsoleInput* set_console_input(ConsoleInput* replacement);

// ---------------------------------------------------------------------------
// Standard input and the controlling terminal, for runs from scripts and with redirected output.

// True when standard input is a terminal (a console). A pipe, a file or /dev/null is not.
bool standard_input_is_terminal();
// Reads one byte of standard input and no more (ReadFile of one byte), so that
// nothing beyond it is taken from the input. False at its end or on an error.
bool read_standard_input_byte(unsigned char& byte);
// The controlling terminal as a screen of its own, for when standard output is
// not a terminal: /dev/tty ("CONOUT$" on Windows). Null when standard output is a
// terminal (a console) itself, or when the process has no controlling terminal.
// Opened on the first call and never closed.
ConsoleOutput* controlling_terminal_output();

// ---------------------------------------------------------------------------
// Directory search, current directory, files.

// One entry found by a directory search (WIN32_FIND_DATAA: cFileName, dwFileAttributes & 0x10).
struct FoundFile {
    std::string name;
    bool is_directory = false;
};

// FindFirstFileA / FindNextFileA over one directory with a wildcard pattern
// ('*' and '?'; "*.*" matches every name).
class DirectorySearch {
public:
    DirectorySearch();
    ~DirectorySearch();
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;

    // Starts a search of `directory` ("" for the current one) for `pattern`. False when nothing matched.
    bool first(const std::string& directory, const std::string& pattern, FoundFile& found);
    // The next match. False at the end.
    bool next(FoundFile& found);

private:
    struct State;
    State* state_;
};

// Matches `name` against a wildcard pattern with the platform's rules.
bool wildcard_match(std::string_view pattern, std::string_view name);

// GetCurrentProcessId.
uint32_t current_process_id();
// DeleteFileA.
bool delete_file(const std::string& path);
// Current time in seconds, for the run's random seed.
int64_t time_seconds();
// The system's folder for temporary files, ending in a separator (GetTempPathA; "/tmp/" on POSIX).
std::string temp_directory();

// Creates an empty file that did not exist: fails when anything, a link included,
// already has that name (O_CREAT|O_EXCL|O_NOFOLLOW; CREATE_NEW). Owner-only access.
// The file is tracked for deletion on interrupt (see track_temp_file) from the
// moment it exists; `slot` receives the slot, -1 when it could not be tracked.
bool create_new_file(const std::string& path, int& slot);

// ---------------------------------------------------------------------------
// Interrupts: Ctrl+C outside a key wait, and every signal that would end the process
// (console control events on Windows).

// Installs the handlers once. On POSIX each signal whose default action ends the
// process (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGALRM, the real-time ones and
// the rest) restores the terminal's mode, deletes every tracked file, resets the colours
// and ends the process by the same signal; a signal the caller ignores stays ignored.
// SIGXFSZ is ignored, so that a write past the file-size limit fails as any write does.
// SIGTSTP, SIGTTIN and SIGTTOU give the terminal back before the job stops; after
// SIGCONT in the foreground the program takes its mode again (raw in a key wait,
// else the quiet mode while it is held) and a key wait's field is drawn again.
// On Windows the console control events end the run the same way.
void install_interrupt_handlers();
// Tracks a temporary file of this run for deletion on interrupt; returns a slot, or -1 when
// full. A relative path is taken from the current directory at the time of the call.
int track_temp_file(const std::string& path);
// Stops tracking a slot (the file was deleted, renamed or is no longer temporary).
void untrack_temp_file(int slot);

// What an open stream reads from: a file on a disk, a terminal (console), a pipe,
// a directory, or a device of another kind (which may never end, as /dev/zero).
enum class StreamKind { file, terminal, pipe, directory, device };
StreamKind stream_kind(std::FILE* stream);

// The directory separators of this platform, in the order a path is split on.
bool is_separator(char c);
// True when file arguments keep their case (POSIX); false where names ignore case (Windows).
bool names_are_case_sensitive();

}  // namespace qx::platform
