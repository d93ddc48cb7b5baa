// A process that keeps creating fresh files beside a file is interrupted at random
// moments: whatever it was doing, the interrupt leaves no fresh file behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/file_system.hpp"
#include "platform/platform.hpp"

namespace qx::platform {
namespace {

namespace fsys = std::filesystem;

TEST(Replacement, InterruptedAtAnyMomentLeavesNoFreshFile) {
    const fsys::path dir = fsys::temp_directory_path() / ("qx_replacement_" + std::to_string(::getpid()));
    fsys::remove_all(dir);
    fsys::create_directories(dir);
    const std::string target = (dir / "file.txt").string();
    std::mt19937 rng(11);
    int leftovers = 0;
    for (int round = 0; round < 60; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            install_interrupt_handlers();
            ::alarm(10);
            const uint8_t byte = 'x';
            for (;;) {  // creation, a write and deletion, over and over: most time goes to the system calls
                fs::Replacement out;
                if (out.begin(target)) out.write(&byte, 1);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 3000));
        ::kill(pid, round % 2 ? SIGINT : SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "round " << round;
        for (const auto& entry : fsys::directory_iterator(dir)) {
            ++leftovers;
            fsys::remove(entry.path());
        }
    }
    EXPECT_EQ(leftovers, 0);
    fsys::remove_all(dir);
}

}  // namespace
}  // namespace qx::platform
