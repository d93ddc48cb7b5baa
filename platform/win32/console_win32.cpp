// The Win32 console: standard output as a screen buffer, keys from "CONIN$", console control events.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.hpp"
#include "platform/side.hpp"
#include "platform/win32/extended_keys.hpp"
#include "platform/win32/interrupt_win32.hpp"

namespace qx::platform {

namespace {

// State the console control handler reads; it runs on a thread of its own.
struct InterruptState {
    HANDLE input = INVALID_HANDLE_VALUE;
    DWORD saved_mode = 0;
    volatile LONG raw_mode_active = 0;
    volatile LONG ending = 0;
};
InterruptState interrupt_state;

// A console screen buffer with the console API for the cursor and the colours. A
// fill recolours cells already written, so the paint calls do nothing.
//
// Standard output goes through the C library's stream, fully buffered and flushed
// after every piece by the callers. A screen opened by itself ("CONOUT$", while
// standard output is redirected) collects each piece and writes it at the flush.
class ConsoleScreenOutput final : public ConsoleOutput {
public:
    ConsoleScreenOutput() : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)), stream_(stdout) {
        // The console writes unbuffered output one character at a time; a piece
        // goes out whole at its flush instead.
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 14);
        // On a console the bytes go out as they are, in the console's code page,
        // and the console itself starts a row at '\n'. (In text mode some C
        // libraries re-encode console output from another code page, which turns
        // the password field's block characters into other letters.) Output to a
        // file or pipe stays in text mode and gets CR LF line ends.
        CONSOLE_SCREEN_BUFFER_INFO csbi;
        if (::GetConsoleScreenBufferInfo(handle_, &csbi)) ::_setmode(::_fileno(stdout), _O_BINARY);
    }

    explicit ConsoleScreenOutput(HANDLE screen) : handle_(screen), stream_(nullptr) {}

    void write(std::string_view text) override {
        if (stream_ != nullptr) {
            std::fwrite(text.data(), 1, text.size(), stream_);
        } else {
            pending_.append(text);
        }
    }

    void flush() override {
        if (stream_ != nullptr) {
            std::fflush(stream_);
            return;
        }
        size_t done = 0;
        while (done < pending_.size()) {
            DWORD wrote = 0;
            if (!::WriteFile(handle_, pending_.data() + done, static_cast<DWORD>(pending_.size() - done), &wrote,
                             nullptr) ||
                wrote == 0)
                break;
            done += wrote;
        }
        pending_.clear();
    }

    bool get_screen_buffer_info(ScreenBufferInfo& info) override {
        flush();  // the query must see the cursor where the text ended
        CONSOLE_SCREEN_BUFFER_INFO csbi;
        if (!::GetConsoleScreenBufferInfo(handle_, &csbi)) return false;
        info.size = {csbi.dwSize.X, csbi.dwSize.Y};
        info.cursor = {csbi.dwCursorPosition.X, csbi.dwCursorPosition.Y};
        return true;
    }

    bool set_cursor_position(Coord position) override {
        flush();
        return ::SetConsoleCursorPosition(handle_, COORD{position.x, position.y}) != 0;
    }

    bool fill_attribute(uint16_t attribute, uint32_t count, Coord start, uint32_t& filled) override {
        flush();
        DWORD done = 0;
        BOOL ok = ::FillConsoleOutputAttribute(handle_, attribute, count, COORD{start.x, start.y}, &done);
        filled = done;
        return ok != 0;
    }

    void begin_paint(uint16_t) override {}
    void end_paint() override {}

private:
    HANDLE handle_;
    std::FILE* stream_;    // standard output's stream, or null for a screen of its own
    std::string pending_;  // what a screen of its own has not written yet
};

// Keys from the console's input buffer.
class ConsoleKeyInput final : public ConsoleInput {
public:
    bool open() override {
        if (handle_ != INVALID_HANDLE_VALUE) return true;
        handle_ = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        DWORD mode = 0;
        if (!::GetConsoleMode(handle_, &mode)) {  // a file or pipe, not a console
            ::CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
            return false;
        }
        interrupt_state.input = handle_;
        return true;
    }

    bool enter_raw_mode() override {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        DWORD mode = 0;
        if (!::GetConsoleMode(handle_, &mode)) return false;
        interrupt_state.saved_mode = mode;
        // No line input, no echo, no processed input: Ctrl+C arrives as code 3.
        ::InterlockedExchange(&interrupt_state.raw_mode_active, 1);
        if (!::SetConsoleMode(handle_, 0)) {
            ::InterlockedExchange(&interrupt_state.raw_mode_active, 0);
            return false;
        }
        return true;
    }

    void restore_mode() override {
        if (handle_ == INVALID_HANDLE_VALUE || interrupt_state.raw_mode_active == 0) return;
        ::SetConsoleMode(handle_, interrupt_state.saved_mode);
        ::InterlockedExchange(&interrupt_state.raw_mode_active, 0);
    }

    bool read_key_press(KeyPress& key) override {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        for (;;) {
            INPUT_RECORD record;
            DWORD got = 0;
            if (!::ReadConsoleInputA(handle_, &record, 1, &got)) return false;
            if (got != 1 || record.EventType != KEY_EVENT) continue;
            const KEY_EVENT_RECORD& event = record.Event.KeyEvent;
            if (!event.bKeyDown) continue;
            const DWORD state = event.dwControlKeyState;
            const auto character = static_cast<unsigned char>(event.uChar.AsciiChar);
            if (character != 0) {
                key = KeyPress{};
                key.character = character;
                return true;
            }
            win32::Modifiers modifiers;
            modifiers.alt = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
            modifiers.ctrl = (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
            modifiers.shift = (state & SHIFT_PRESSED) != 0;
            // Some consoles deliver Esc without its character code: the key itself is Esc.
            if ((event.wVirtualKeyCode == VK_ESCAPE || event.wVirtualScanCode == 0x01) && !modifiers.alt) {
                key = KeyPress{};
                key.character = 27;
                return true;
            }
            if (win32::extended_key(event.wVirtualScanCode, (state & ENHANCED_KEY) != 0, modifiers, key)) return true;
        }
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Temporary files to delete on an interrupt, enough for every worker of a run
// and the files they have ready. A thread claims a free slot (0 to 1), writes
// the path and only then marks it used (2), so that the handler never reads a
// path being written.
constexpr int temp_slots = 256;
struct TempSlot {
    char path[MAX_PATH + 1];
    volatile LONG used;
};
TempSlot temp_files[temp_slots];

// Closes every handle of this process that is open on the file at `path`. A file
// that some handle opened without delete sharing (a C runtime stream) cannot be
// deleted while that handle lives. Handle values are multiples of 4; values that
// are no file simply fail the query.
void close_handles_to(const char* path) {
    HANDLE probe = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION target;
    bool known = ::GetFileInformationByHandle(probe, &target) != 0;
    ::CloseHandle(probe);
    if (!known) return;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        if (::GetFileType(h) != FILE_TYPE_DISK) continue;
        BY_HANDLE_FILE_INFORMATION info;
        if (::GetFileInformationByHandle(h, &info) && info.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
            info.nFileIndexHigh == target.nFileIndexHigh && info.nFileIndexLow == target.nFileIndexLow)
            ::CloseHandle(h);
    }
}

// Ctrl+C outside a key wait, Ctrl+Break, a closed console window, logoff or shutdown.
// Runs on a thread of its own while the program may be anywhere: it only restores
// the input mode, deletes the tracked files and ends the process, running no
// exit-time handler (which would wait for a key).
BOOL WINAPI on_console_event(DWORD) {
    ::InterlockedExchange(&interrupt_state.ending, 1);
    if (interrupt_state.raw_mode_active != 0 && interrupt_state.input != INVALID_HANDLE_VALUE)
        ::SetConsoleMode(interrupt_state.input, interrupt_state.saved_mode);
    // A slot another thread is filling in is waited for: up to two seconds in
    // all, sleeping, so that the thread it waits for can run.
    const ULONGLONG deadline = ::GetTickCount64() + 2000;
    for (TempSlot& slot : temp_files) {
        while (slot.used == 1 && ::GetTickCount64() < deadline) ::Sleep(1);
        if (slot.used != 2 || ::DeleteFileA(slot.path)) continue;
        // Held open without delete sharing: the process ends at once, so its handles may go now.
        close_handles_to(slot.path);
        ::DeleteFileA(slot.path);
    }
    // A file whose creation was under way when the event came exists by now.
    for (TempSlot& slot : temp_files)
        if (slot.used == 2) ::DeleteFileA(slot.path);
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

bool win32::ending() { return interrupt_state.ending != 0; }

// The real objects are never destroyed, so that exit-time handlers can still use them.
ConsoleOutput& side::real_console_output() {
    static ConsoleOutput* output = new ConsoleScreenOutput();
    return *output;
}

ConsoleInput& side::real_console_input() {
    static ConsoleInput* input = new ConsoleKeyInput();
    return *input;
}

bool standard_input_is_terminal() {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode) != 0;
}

bool read_standard_input_byte(unsigned char& byte) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    // A pipe whose writer has gone fails with ERROR_BROKEN_PIPE; a file reads 0 bytes at its end.
    return ::ReadFile(input, &byte, 1, &got, nullptr) != 0 && got == 1;
}

ConsoleOutput* controlling_terminal_output() {
    static ConsoleOutput* const output = []() -> ConsoleOutput* {
        CONSOLE_SCREEN_BUFFER_INFO csbi;
        if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &csbi)) return nullptr;
        HANDLE screen = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
        if (screen == INVALID_HANDLE_VALUE) return nullptr;
        if (!::GetConsoleScreenBufferInfo(screen, &csbi)) {
            ::CloseHandle(screen);
            return nullptr;
        }
        return new ConsoleScreenOutput(screen);
    }();
    return output;
}

void install_interrupt_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    side::real_console_output();  // sets up the output buffering before anything is written
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

int track_temp_file(const std::string& path) {
    // The run may change its current directory later: keep the full path.
    char full[MAX_PATH + 1];
    DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return -1;
    for (int i = 0; i < temp_slots; ++i) {
        if (::InterlockedCompareExchange(&temp_files[i].used, 1, 0) != 0) continue;
        std::memcpy(temp_files[i].path, full, n + 1);
        ::InterlockedExchange(&temp_files[i].used, 2);
        return i;
    }
    return -1;
}

void untrack_temp_file(int slot) {
    if (slot >= 0 && slot < temp_slots) ::InterlockedExchange(&temp_files[slot].used, 0);
}

}  // namespace qx::platform
