// The POSIX console: standard output, keys from the controlling terminal, interrupts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
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

// The signals whose default action ends the process, beside the real-time ones.
// Each of them ends a run through the interrupt handler. SIGXFSZ is not among
// them: it is ignored, so that a write past the file-size limit fails with EFBIG
// as any other failed write does.
constexpr int terminating_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
    SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The signals that stop the job. The handler gives the terminal back before the
// stop and takes it again after it, as SIGCONT does after an uncatchable SIGSTOP.
constexpr int stop_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// Every signal the handlers take: the terminating ones, the real-time ones, the
// stop signals and SIGCONT. Each handler runs with all of them held back.
sigset_t handled_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : terminating_signals) sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
    for (int s : stop_signals) sigaddset(&set, s);
    sigaddset(&set, SIGCONT);
    return set;
}

// State the signal handlers read; written by the main code before it matters.
// saved_mode is the mode the terminal had when the program took it, put back at
// every exit and before every stop. quiet_wanted says that the quiet mode is held
// (a run typed at a terminal, from start-up to its end), raw_wanted that a key
// wait is on; the program's mode is raw_mode in a key wait, else quiet_mode while
// it is held. taken says that the terminal is in that mode now, so that saved_mode
// is to be put back.
struct InterruptState {
    int tty_fd = -1;
    struct termios saved_mode {};
    struct termios quiet_mode {};
    struct termios raw_mode {};
    volatile sig_atomic_t quiet_wanted = 0;
    volatile sig_atomic_t raw_wanted = 0;
    volatile sig_atomic_t taken = 0;
    volatile sig_atomic_t stdout_is_terminal = 0;
    // The controlling terminal opened for prompts while standard output is redirected; -1 when none.
    volatile sig_atomic_t screen_fd = -1;
    // Set after a stop and continue, when whatever a key wait shows is to be drawn
    // again; the byte written to wake_fds[1] ends a poll that began just before.
    volatile sig_atomic_t redraw = 0;
    int wake_fds[2] = {-1, -1};
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

// The size of the terminal on descriptor `fd`; the values stay as they are when it has none.
void terminal_size(int fd, int& width, int& height) {
    struct winsize ws {};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        width = ws.ws_col;
        height = ws.ws_row;
    }
}

void stdout_size(int& width, int& height) { terminal_size(1, width, height); }

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

// The controlling terminal opened as a screen of its own (descriptor `fd`), written
// to while standard output goes to a file or a pipe.
class ControllingTerminalOutput final : public TerminalOutput {
public:
    explicit ControllingTerminalOutput(int fd)
        : TerminalOutput(settings(fd), [fd](std::string_view text) { posix::write_all(fd, text.data(), text.size()); }),
          fd_(fd) {}

protected:
    void refresh_size(int& width, int& height) override { terminal_size(fd_, width, height); }

private:
    static Settings settings(int fd) {
        Settings s;
        s.terminal = true;
        s.utf8 = locale_is_utf8();
        terminal_size(fd, s.width, s.height);
        return s;
    }

    int fd_;
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
        // While the quiet mode is held the terminal is in it, and the modes are known.
        if (interrupt_state.quiet_wanted == 0 && !find_modes()) return false;
        take_redraw();  // a continue before this wait asks nothing of it
        return take_mode(interrupt_state.raw_wanted, interrupt_state.raw_mode);
    }

    // Back to the quiet mode while it is held, else to the mode found before the wait.
    void restore_mode() override {
        if (fd_ < 0 || interrupt_state.raw_wanted == 0) return;
        // Wanted no more first, so that a continue from here on takes the quiet mode
        // (or leaves the terminal alone).
        interrupt_state.raw_wanted = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (interrupt_state.taken == 0) return;  // given back by a stop, and not taken again
        if (interrupt_state.quiet_wanted != 0) {
            ::tcsetattr(fd_, TCSANOW, &interrupt_state.quiet_mode);
        } else {
            ::tcsetattr(fd_, TCSANOW, &interrupt_state.saved_mode);
            interrupt_state.taken = 0;
        }
    }

    // The quiet mode: the raw mode's input settings with the signal keys kept, so that
    // a key typed during work is neither echoed nor held in a line, and the next key
    // wait reads the very bytes it would have read had it been waiting. The run takes
    // it at start-up when its keys come from the terminal, and never otherwise.
    bool enter_quiet_mode() override {
        if (!open()) return false;
        if (interrupt_state.quiet_wanted != 0) return true;
        if (interrupt_state.raw_wanted != 0) {  // in a key wait: its end takes the quiet mode
            interrupt_state.quiet_wanted = 1;
            return true;
        }
        return find_modes() && take_mode(interrupt_state.quiet_wanted, interrupt_state.quiet_mode);
    }

    void leave_quiet_mode() override {
        if (fd_ < 0 || interrupt_state.quiet_wanted == 0) return;
        // Held no more first, so that a continue from here on leaves the terminal alone.
        interrupt_state.quiet_wanted = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (interrupt_state.raw_wanted != 0 || interrupt_state.taken == 0) return;  // a key wait's end gives it back
        ::tcsetattr(fd_, TCSANOW, &interrupt_state.saved_mode);
        interrupt_state.taken = 0;
    }

    // After a stop and continue, gives a key press with no character and no code:
    // the caller draws its screen again (the shell has written meanwhile).
    bool read_key_press(KeyPress& key) override {
        if (fd_ < 0) return false;
        for (;;) {
            if (size_ == 0) {
                const Filled filled = fill(-1);
                if (filled == Filled::redraw) {
                    take_redraw();
                    key = KeyPress{};
                    return true;
                }
                if (filled == Filled::nothing) return false;
            }
            DecodedKey d = decode_terminal_key(buffer_, size_, utf8_, false);
            if (d.result == KeyDecode::incomplete) {
                // The rest of a sequence comes with the same burst; a lone Esc waits no longer.
                if (fill(sequence_wait_ms) == Filled::bytes) continue;
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

    // Reads the terminal's mode as the one to give back, and derives the program's two
    // modes from it. Called only while the terminal is in that mode (nothing taken).
    bool find_modes() {
        struct termios mode {};
        if (::tcgetattr(fd_, &mode) != 0) return false;
        struct termios raw = mode;
        // No line editing, no echo, no signals from keys (Ctrl+C arrives as 3), no
        // CR-to-LF mapping (Enter arrives as 13), no flow control. Output processing
        // stays, so a newline written meanwhile still starts a row at column 0.
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        interrupt_state.quiet_mode = raw;  // the signal keys (Ctrl+C, Ctrl+Z) as the user has them
        raw.c_lflag &= ~static_cast<tcflag_t>(ISIG);
        interrupt_state.saved_mode = mode;
        interrupt_state.raw_mode = raw;
        interrupt_state.tty_fd = fd_;
        return true;
    }

    // Raises `wanted` (raw_wanted or quiet_wanted) and switches the terminal to `mode`.
    // Both flags go up before the switch: a handler that runs before it puts back
    // saved_mode, which the terminal still has (or left the quiet mode for). A
    // background job is stopped by SIGTTOU here; the switch is made again once it
    // continues in the foreground. TCSANOW keeps the keys typed ahead.
    bool take_mode(volatile sig_atomic_t& wanted, const struct termios& mode) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        wanted = 1;
        interrupt_state.taken = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        while (::tcsetattr(fd_, TCSANOW, &mode) != 0) {
            if (errno == EINTR) continue;
            wanted = 0;
            if (interrupt_state.quiet_wanted == 0) interrupt_state.taken = 0;  // else still quiet
            return false;
        }
        interrupt_state.taken = 1;
        return true;
    }

    enum class Filled { bytes, redraw, nothing };

    // Reads what the terminal has into the buffer, waiting up to `timeout_ms` (-1: no limit).
    // `nothing` on timeout, end of input or error; `redraw` (which stays pending) when the
    // job was continued after a stop.
    Filled fill(int timeout_ms) {
        if (size_ == sizeof buffer_) return Filled::nothing;
        const int wake_fd = interrupt_state.wake_fds[0];
        for (;;) {
            if (interrupt_state.redraw != 0) return Filled::redraw;
            struct pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            int ready = ::poll(p, wake_fd >= 0 ? 2 : 1, timeout_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return Filled::nothing;
            if (wake_fd >= 0 && p[1].revents != 0) {
                drain_wake_pipe();
                continue;
            }
            ssize_t n = ::read(fd_, buffer_ + size_, sizeof buffer_ - size_);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return Filled::nothing;
            size_ += static_cast<size_t>(n);
            return Filled::bytes;
        }
    }

    static void drain_wake_pipe() {
        if (interrupt_state.wake_fds[0] < 0) return;
        char bytes[64];
        while (::read(interrupt_state.wake_fds[0], bytes, sizeof bytes) > 0) {
        }
    }

    // Clears a redraw request: the flag first, so that a request made meanwhile stays.
    static void take_redraw() {
        interrupt_state.redraw = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        drain_wake_pipe();
    }

    int fd_ = -1;
    bool utf8_ = false;
    unsigned char buffer_[256];
    size_t size_ = 0;
};

// Temporary files to delete on an interrupt, enough for every worker of a run
// and the files they have ready. A thread claims a free slot (0 to 1), writes
// the path and only then marks it used (2), so that the handler never reads a
// path being written; the atomic is lock-free, so the handler may read it.
constexpr int temp_slots = 256;
struct TempSlot {
    char path[PATH_MAX];
    std::atomic<int> used;
};
static_assert(std::atomic<int>::is_always_lock_free);
// Set by the handler before it deletes the files: from then on no thread makes one.
std::atomic<int> deleting_temp_files{0};
TempSlot temp_files[temp_slots];

// The handlers below make only async-signal-safe calls.

// Puts the terminal back into the mode the program found, and the colours back.
void give_terminal_back() {
    if (interrupt_state.taken != 0 && interrupt_state.tty_fd >= 0) {
        ::tcsetattr(interrupt_state.tty_fd, TCSANOW, &interrupt_state.saved_mode);
        interrupt_state.taken = 0;
    }
    static const char reset[] = "\x1b[0m";
    if (interrupt_state.stdout_is_terminal != 0) {
        ssize_t ignored = ::write(1, reset, sizeof reset - 1);
        (void)ignored;
    }
    if (interrupt_state.screen_fd >= 0) {
        ssize_t ignored = ::write(interrupt_state.screen_fd, reset, sizeof reset - 1);
        (void)ignored;
    }
}

// Delivers `signal_number` with its default action now, from inside its handler.
void raise_by_default(int signal_number) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
    ::raise(signal_number);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
}

void on_interrupt(int signal_number) {
    int saved_errno = errno;
    give_terminal_back();
    deleting_temp_files.store(1);
    // A file another thread is making right now (its slot claimed, its path
    // written, its open under way) is waited for: that thread is not stopped by
    // the signal, but its open may wait on a busy disk, so the wait is up to two
    // seconds in all, sleeping so that the thread it waits for can run.
    const auto now_ns = [] {
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
    };
    const long long deadline = now_ns() + 2000000000;
    for (TempSlot& slot : temp_files) {
        while (slot.used.load() == 1 && now_ns() < deadline) {
            const struct timespec pause {0, 50000};
            ::nanosleep(&pause, nullptr);
        }
        if (slot.used.load() == 2) ::unlink(slot.path);
    }
    errno = saved_errno;
    raise_by_default(signal_number);  // ends the process by the same signal
}

// After the job continues: the raw mode again when a key wait is on, else the quiet
// mode while it is held, when the job is in the foreground (a background job must
// not change the shell's terminal), and a request to the key wait to draw itself again.
void on_continue(int) {
    int saved_errno = errno;
    const int fd = interrupt_state.tty_fd;
    const bool raw = interrupt_state.raw_wanted != 0;
    if ((raw || interrupt_state.quiet_wanted != 0) && fd >= 0 && ::tcgetpgrp(fd) == ::getpgrp()) {
        ::tcsetattr(fd, TCSANOW, raw ? &interrupt_state.raw_mode : &interrupt_state.quiet_mode);
        interrupt_state.taken = 1;
    }
    if (interrupt_state.raw_wanted != 0) {
        interrupt_state.redraw = 1;
        if (interrupt_state.wake_fds[1] >= 0) {
            ssize_t ignored = ::write(interrupt_state.wake_fds[1], "c", 1);
            (void)ignored;
        }
    }
    errno = saved_errno;
}

struct sigaction stop_action;  // on_stop's own action, set again after each stop

void on_stop(int signal_number) {
    int saved_errno = errno;
    give_terminal_back();
    // Stops here until SIGCONT. The job of an orphaned process group is not stopped
    // by these signals; it simply goes on.
    raise_by_default(signal_number);
    ::sigaction(signal_number, &stop_action, nullptr);
    on_continue(signal_number);  // SIGCONT, held back until this handler returns, does it again
    errno = saved_errno;
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

bool standard_input_is_terminal() { return ::isatty(0) == 1; }

bool read_standard_input_byte(unsigned char& byte) {
    for (;;) {
        const ssize_t n = ::read(0, &byte, 1);
        if (n == 1) return true;
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        struct pollfd p = {0, POLLIN, 0};  // a non-blocking pipe: wait until it has a byte
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
    }
}

ConsoleOutput* controlling_terminal_output() {
    static ConsoleOutput* const output = []() -> ConsoleOutput* {
        if (::isatty(1) == 1) return nullptr;
        const int fd = ::open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        if (::isatty(fd) != 1) {
            ::close(fd);
            return nullptr;
        }
        interrupt_state.screen_fd = fd;  // its colours are reset on an interrupt as well
        return new ControllingTerminalOutput(fd);
    }();
    return output;
}

void install_interrupt_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    side::real_console_output();  // knows from now on whether colours are to be reset
    if (::pipe(interrupt_state.wake_fds) == 0) {
        for (int fd : interrupt_state.wake_fds) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    } else {
        interrupt_state.wake_fds[0] = interrupt_state.wake_fds[1] = -1;
    }

    // A signal whose disposition is not the default one keeps it: one that the
    // caller's shell ignores (nohup, background jobs) stays ignored, and a fault
    // handler that a runtime installed first (a sanitizer's) keeps its report.
    auto install = [](int s, const struct sigaction& action) {
        struct sigaction old {};
        if (::sigaction(s, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) return;
        ::sigaction(s, &action, nullptr);
    };
    struct sigaction action {};
    action.sa_mask = handled_set();
    action.sa_handler = on_interrupt;
    for (int s : terminating_signals) install(s, action);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) install(s, action);
    // The stop and continue handlers return to the interrupted code: system calls
    // go on (poll excepted, which ends with EINTR and lets the key wait look).
    action.sa_flags = SA_RESTART;
    action.sa_handler = on_stop;
    stop_action = action;
    for (int s : stop_signals) install(s, action);
    action.sa_handler = on_continue;
    install(SIGCONT, action);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

namespace {

// Claims a free slot for `path` (state 1: the file is being made); -1 when none is free.
int claim_temp_slot(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return -1;
        full = std::string(cwd) + "/" + path;
    }
    if (full.size() >= PATH_MAX) return -1;
    for (int i = 0; i < temp_slots; ++i) {
        int free_slot = 0;
        if (!temp_files[i].used.compare_exchange_strong(free_slot, 1)) continue;
        std::memcpy(temp_files[i].path, full.c_str(), full.size() + 1);
        return i;
    }
    return -1;
}

}  // namespace

int track_temp_file(const std::string& path) {
    const int slot = claim_temp_slot(path);
    if (slot >= 0) temp_files[slot].used.store(2);
    return slot;
}

void untrack_temp_file(int slot) {
    if (slot >= 0 && slot < temp_slots) temp_files[slot].used.store(0);
}

int posix::open_new_tracked(const std::string& path, int& slot) {
    static const sigset_t held = handled_set();
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &held, &previous);
    // The slot is claimed before the file exists, so that the handler, running on
    // another thread while this one makes the file, waits for it and then deletes it.
    slot = claim_temp_slot(path);
    if (deleting_temp_files.load() != 0) {  // the process is ending by a signal
        if (slot >= 0) temp_files[slot].used.store(0);
        slot = -1;
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        errno = EINTR;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int saved_errno = errno;
    if (slot >= 0) temp_files[slot].used.store(fd >= 0 ? 2 : 0);
    if (fd < 0) slot = -1;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    return fd;
}

}  // namespace qx::platform
