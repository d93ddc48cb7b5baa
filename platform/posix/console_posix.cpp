// The POSIX console: standard output, keys from the controlling terminal, interrupts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/platform.hpp"
#include "platform/side.hpp"
#include "platform/posix/descriptors.hpp"
#include "platform/posix/terminal_keys.hpp"
#include "platform/posix/terminal_output.hpp"

namespace qx::platform {

namespace {

// The signals that end a run through the interrupt handler.
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT};

// State the interrupt handler reads; written by the main code before it matters.
struct InterruptState {
    int tty_fd = -1;
    struct termios saved_mode {};
    volatile sig_atomic_t raw_mode_active = 0;
    volatile sig_atomic_t stdout_is_terminal = 0;
};
InterruptState interrupt_state;

// True unless the locale names an 8-bit character set. The first of LC_ALL,
// LC_CTYPE and LANG that is set decides; the plain "C" or "POSIX" locale (and
// none at all) names no character set, and today's terminals are UTF-8.
bool locale_is_utf8() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string v;
        for (const char* p = value; *p != '\0'; ++p) {
            char c = *p;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != '-' && c != '_') v += c;
        }
        if (v == "c" || v == "posix") return true;
        return v.find("utf8") != std::string::npos;
    }
    return true;
}

// The size of the terminal on standard output; the values stay as they are when it has none.
void stdout_size(int& width, int& height) {
    struct winsize ws {};
    if (::ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
}

// Standard output (descriptor 1), sized from the terminal when it is one.
class StdoutOutput final : public TerminalOutput {
public:
    StdoutOutput() : TerminalOutput(settings(), [](std::string_view text) { posix::write_all(1, text.data(), text.size()); }) {
        interrupt_state.stdout_is_terminal = is_terminal() ? 1 : 0;
    }

protected:
    void refresh_size(int& width, int& height) override { stdout_size(width, height); }

private:
    static Settings settings() {
        Settings s;
        s.terminal = ::isatty(1) == 1;
        s.utf8 = locale_is_utf8();
        if (s.terminal) stdout_size(s.width, s.height);
        return s;
    }
};

// Keys from the controlling terminal, the counterpart of "CONIN$".
class TerminalInput final : public ConsoleInput {
public:
    bool open() override {
        if (fd_ >= 0) return true;
        fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return false;
        struct termios mode {};
        if (::tcgetattr(fd_, &mode) != 0) {  // not a terminal after all
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        utf8_ = locale_is_utf8();
        return true;
    }

    bool enter_raw_mode() override {
        if (fd_ < 0) return false;
        struct termios mode {};
        if (::tcgetattr(fd_, &mode) != 0) return false;
        interrupt_state.saved_mode = mode;
        interrupt_state.tty_fd = fd_;
        // No line editing, no echo, no signals from keys (Ctrl+C arrives as 3), no
        // CR-to-LF mapping (Enter arrives as 13), no flow control. Output processing
        // stays, so a newline written meanwhile still starts a row at column 0.
        mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
        mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        interrupt_state.raw_mode_active = 1;
        if (::tcsetattr(fd_, TCSANOW, &mode) != 0) {
            interrupt_state.raw_mode_active = 0;
            return false;
        }
        return true;
    }

    void restore_mode() override {
        if (fd_ < 0 || interrupt_state.raw_mode_active == 0) return;
        ::tcsetattr(fd_, TCSANOW, &interrupt_state.saved_mode);
        interrupt_state.raw_mode_active = 0;
    }

    bool read_key_press(KeyPress& key) override {
        if (fd_ < 0) return false;
        for (;;) {
            if (size_ == 0 && !fill(-1)) return false;
            DecodedKey d = decode_terminal_key(buffer_, size_, utf8_, false);
            if (d.result == KeyDecode::incomplete) {
                // The rest of a sequence comes with the same burst; a lone Esc waits no longer.
                if (fill(sequence_wait_ms)) continue;
                d = decode_terminal_key(buffer_, size_, utf8_, true);
            }
            std::memmove(buffer_, buffer_ + d.length, size_ - d.length);
            size_ -= d.length;
            if (d.result == KeyDecode::key) {
                key = d.key;
                return true;
            }
        }
    }

private:
    static constexpr int sequence_wait_ms = 25;

    // Reads what the terminal has into the buffer, waiting up to `timeout_ms` (-1: no limit).
    // False on timeout, end of input or error.
    bool fill(int timeout_ms) {
        if (size_ == sizeof buffer_) return false;
        for (;;) {
            struct pollfd p {fd_, POLLIN, 0};
            int ready = ::poll(&p, 1, timeout_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            ssize_t n = ::read(fd_, buffer_ + size_, sizeof buffer_ - size_);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            size_ += static_cast<size_t>(n);
            return true;
        }
    }

    int fd_ = -1;
    bool utf8_ = false;
    unsigned char buffer_[256];
    size_t size_ = 0;
};

// Temporary files to delete on an interrupt. A slot's path is complete before it is marked used.
constexpr int temp_slots = 8;
struct TempSlot {
    char path[PATH_MAX];
    volatile sig_atomic_t used;
};
TempSlot temp_files[temp_slots];

void on_interrupt(int signal_number) {
    // Only async-signal-safe calls from here on.
    int saved_errno = errno;
    if (interrupt_state.raw_mode_active != 0 && interrupt_state.tty_fd >= 0) {
        ::tcsetattr(interrupt_state.tty_fd, TCSANOW, &interrupt_state.saved_mode);
    }
    for (TempSlot& slot : temp_files) {
        if (slot.used != 0) ::unlink(slot.path);
    }
    if (interrupt_state.stdout_is_terminal != 0) {
        static const char reset[] = "\x1b[0m";
        ssize_t ignored = ::write(1, reset, sizeof reset - 1);
        (void)ignored;
    }
    errno = saved_errno;
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

}  // namespace

// The real objects are never destroyed, so that exit-time handlers can still use them.
ConsoleOutput& side::real_console_output() {
    static ConsoleOutput* output = new StdoutOutput();
    return *output;
}

ConsoleInput& side::real_console_input() {
    static ConsoleInput* input = new TerminalInput();
    return *input;
}

void install_interrupt_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    side::real_console_output();  // knows from now on whether colours are to be reset
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int s : interrupt_signals) sigaddset(&action.sa_mask, s);
    for (int s : interrupt_signals) {
        struct sigaction old {};
        // A signal that the caller's shell ignores (nohup, background jobs) stays ignored.
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(s, &action, nullptr);
    }
}

int track_temp_file(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return -1;
        full = std::string(cwd) + "/" + path;
    }
    if (full.size() >= PATH_MAX) return -1;
    for (int i = 0; i < temp_slots; ++i) {
        if (temp_files[i].used != 0) continue;
        std::memcpy(temp_files[i].path, full.c_str(), full.size() + 1);
        // The handler must never see the slot used before its path is complete.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        temp_files[i].used = 1;
        return i;
    }
    return -1;
}

void untrack_temp_file(int slot) {
    if (slot >= 0 && slot < temp_slots) temp_files[slot].used = 0;
}

int posix::open_new_tracked(const std::string& path, int& slot) {
    sigset_t held, previous;
    sigemptyset(&held);
    for (int s : interrupt_signals) sigaddset(&held, s);
    ::sigprocmask(SIG_BLOCK, &held, &previous);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int saved_errno = errno;
    slot = fd >= 0 ? track_temp_file(path) : -1;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    return fd;
}

}  // namespace qx::platform
