// Tests of the console on a real pseudo-terminal: raw key reading, mode restore, interrupts, no terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "console/console.hpp"
#include "platform/platform.hpp"

namespace qx::platform {
namespace {

// A child process in its own session whose controlling terminal is a new
// pseudo-terminal; the test holds the terminal's master side and a pipe on
// which the child reports.
class TerminalChild {
public:
    // Runs `body` in the child; its return value is the child's exit status.
    template <typename Body>
    explicit TerminalChild(Body body, bool with_terminal = true) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        ::grantpt(master_);
        ::unlockpt(master_);
        std::string slave_name = ::ptsname(master_);
        int report[2];
        EXPECT_EQ(::pipe(report), 0);
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::setsid();
            int null_fd = ::open("/dev/null", O_RDWR);
            if (with_terminal) {
                int slave = ::open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
                ::dup2(slave, 1);
            } else {
                ::dup2(null_fd, 1);
            }
            ::dup2(null_fd, 0);
            ::alarm(10);  // a hang fails the test instead of blocking it
            report_fd = report[1];
            ::_exit(body());
        }
        ::close(report[1]);
        report_ = report[0];
    }
    ~TerminalChild() {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
        ::close(report_);
    }

    // Waits until the terminal is in raw mode (the child waits for a key) or back in line mode.
    bool wait_for_raw_mode(bool raw) {
        for (int i = 0; i < 500; ++i) {
            struct termios mode {};
            if (::tcgetattr(master_, &mode) == 0 && ((mode.c_lflag & ICANON) == 0) == raw) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool line_mode_with_echo() {
        struct termios mode {};
        return ::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG);
    }
    void type(std::string_view keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    // Everything the child reported, once it has ended.
    std::string wait() {
        std::string text;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(report_, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
        ::waitpid(pid_, &status_, 0);
        return text;
    }
    int status() const { return status_; }
    void signal(int number) { ::kill(pid_, number); }

    static inline int report_fd = -1;
    static void report(const std::string& text) {
        ssize_t ignored = ::write(report_fd, text.data(), text.size());
        (void)ignored;
    }

private:
    int master_ = -1;
    int report_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
};

TEST(TerminalSession, KeysArriveRawOneAtATimeAndTheModeIsRestored) {
    TerminalChild child([] {
        std::string codes;
        for (int i = 0; i < 8; ++i) codes += std::to_string(console::read_key()) + " ";
        TerminalChild::report(codes);
        return 0;
    });
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    child.type("a\x7f\x1b[A\x1bx\x03\r");  // one burst: Esc and x together are Alt+x, the key x
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    child.type("\x1b");  // a lone Esc at the end of a burst is still Esc
    EXPECT_EQ(child.wait(), "97 8 224 72 120 3 13 27 ");
    EXPECT_TRUE(WIFEXITED(child.status()));
    EXPECT_TRUE(child.line_mode_with_echo());
}

// A temporary file that the child tracks; the test removes it if the child did not.
struct TempFile {
    std::string path;
    TempFile() {
        char name[] = "/tmp/qx_session_XXXXXX";
        int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path = name;
    }
    ~TempFile() { ::unlink(path.c_str()); }
    bool exists() const { return ::access(path.c_str(), F_OK) == 0; }
};

int wait_for_key_with_temp_file(const std::string& path) {
    install_interrupt_handlers();
    track_temp_file(path);
    console::out("progress ");
    console::read_key();
    return 0;
}

TEST(TerminalSession, TerminationDuringAKeyWaitRestoresTheTerminalAndDeletesTemporaryFiles) {
    TempFile temp;
    TerminalChild child([&] { return wait_for_key_with_temp_file(temp.path); });
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    EXPECT_TRUE(temp.exists());
    child.signal(SIGTERM);
    child.wait();
    EXPECT_TRUE(WIFSIGNALED(child.status()) && WTERMSIG(child.status()) == SIGTERM);
    EXPECT_TRUE(child.line_mode_with_echo());
    EXPECT_FALSE(temp.exists());
}

TEST(TerminalSession, CtrlCIsAKeyDuringAWaitAndAnInterruptOutsideOne) {
    TempFile temp;
    TerminalChild child([&] {
        install_interrupt_handlers();
        track_temp_file(temp.path);
        TerminalChild::report(std::to_string(console::read_key()));
        ::pause();  // working, in line mode
        return 0;
    });
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    child.type("\x03");
    ASSERT_TRUE(child.wait_for_raw_mode(false));
    child.type("\x03");
    EXPECT_EQ(child.wait(), "3");
    EXPECT_TRUE(WIFSIGNALED(child.status()) && WTERMSIG(child.status()) == SIGINT);
    EXPECT_FALSE(temp.exists());
}

TEST(TerminalSession, PasswordFieldKeepsTheTerminalRawUntilItIsLeft) {
    TerminalChild child([] {
        std::string text = console::read_password(4, 32);
        TerminalChild::report(text + "|" + std::to_string(console::read_key()));
        return 0;
    });
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    for (char c : std::string("secret\r")) {
        child.type(std::string(1, c));  // one key at a time, as typed
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child.type("k");
    EXPECT_EQ(child.wait(), "secret|107");
    EXPECT_TRUE(child.line_mode_with_echo());
}

// The terminal's local modes as the child sees them: "quiet" (no echo, no line, signals
// on), "raw" (no signals either), "line" (the initial mode) or "other".
std::string own_mode() {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
    struct termios mode {};
    bool ok = fd >= 0 && ::tcgetattr(fd, &mode) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) return "none";
    switch (mode.c_lflag & (ICANON | ECHO | ISIG)) {
    case ISIG: return "quiet";
    case 0: return "raw";
    case ICANON | ECHO | ISIG: return "line";
    default: return "other";
    }
}

TEST(TerminalSession, QuietModeKeepsTypedKeysForTheNextWaitUntilItIsLeft) {
    TerminalChild child([] {
        install_interrupt_handlers();
        ConsoleInput& input = console_input();
        std::string seen = std::to_string(input.enter_quiet_mode());
        seen += " " + own_mode();
        ::sleep(1);  // working: the test types now
        seen += " " + std::to_string(console::read_key());
        seen += " " + own_mode();
        ::raise(SIGTSTP);  // given back and taken again (an orphaned job goes on)
        seen += " " + own_mode();
        seen += " " + std::to_string(console::read_key());
        input.leave_quiet_mode();
        TerminalChild::report(seen + " " + own_mode());
        return 0;
    });
    ASSERT_TRUE(child.wait_for_raw_mode(true));
    child.type("a\r");  // Enter typed ahead arrives as 13, as in a key wait
    EXPECT_EQ(child.wait(), "1 quiet 97 quiet quiet 13 line");
    EXPECT_TRUE(child.line_mode_with_echo());

    TerminalChild alone([] { return console_input().enter_quiet_mode() ? 1 : 0; }, false);
    alone.wait();
    EXPECT_TRUE(WIFEXITED(alone.status()) && WEXITSTATUS(alone.status()) == 0);
}

TEST(TerminalSession, WithoutAControllingTerminalNothingWaits) {
    TerminalChild child(
        [] {
            auto start = std::chrono::steady_clock::now();
            int key = console::read_key();
            std::string text = console::read_password(4, 32);
            console::show_message(console::kind_error, console::attr_error, "no wait");
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            TerminalChild::report(std::to_string(key) + "|" + text + "|" + (ms.count() < 1000 ? "fast" : "slow"));
            return 0;
        },
        false);
    EXPECT_EQ(child.wait(), "-1||fast");
    EXPECT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0);
}

}  // namespace
}  // namespace qx::platform
