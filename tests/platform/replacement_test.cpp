// A process that keeps creating fresh files beside a file, or rewriting its work
// file, is interrupted at random moments: whatever it was doing, the interrupt
// leaves no file of its own behind.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "platform/file_system.hpp"
#include "platform/platform.hpp"

namespace qx::platform {
namespace {

namespace fsys = std::filesystem;

// Runs `child` in `rounds` forked processes, each interrupted (SIGINT or SIGTERM
// in turn) after `least_us` plus up to 3 ms; returns how many files were left in
// `dir` in all, deleting them after each round.
int leftovers_after_interrupts(const fsys::path& dir, int rounds, int least_us, const std::function<void()>& child) {
    std::mt19937 rng(11);
    int leftovers = 0;
    for (int round = 0; round < rounds; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            install_interrupt_handlers();
            ::alarm(10);
            child();
            ::_exit(3);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(least_us + rng() % 3000));
        ::kill(pid, round % 2 ? SIGINT : SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "round " << round;
        for (const auto& entry : fsys::directory_iterator(dir)) {
            ++leftovers;
            fsys::remove(entry.path());
        }
    }
    return leftovers;
}

fsys::path fresh_directory(const std::string& prefix) {
    const fsys::path dir = fsys::temp_directory_path() / (prefix + std::to_string(::getpid()));
    fsys::remove_all(dir);
    fsys::create_directories(dir);
    return dir;
}

TEST(Replacement, InterruptedAtAnyMomentLeavesNoFreshFile) {
    const fsys::path dir = fresh_directory("qx_replacement_");
    const std::string target = (dir / "file.txt").string();
    EXPECT_EQ(leftovers_after_interrupts(dir, 60, 500, [&] {
                  const uint8_t byte = 'x';
                  for (;;) {  // creation, a write and deletion, over and over: most time goes to the system calls
                      fs::Replacement out;
                      if (out.begin(target)) out.write(&byte, 1);
                  }
              }),
              0);
    fsys::remove_all(dir);
}

// One thread rewrites the work file over and over while the signal's handler,
// on another thread, deletes it: opening it again must not make it anew.
TEST(Replacement, AWorkFileInUseOnAnotherThreadIsGoneAfterAnInterrupt) {
    const fsys::path dir = fresh_directory("qx_work_file_");
    const std::string work = (dir / "EXa00001").string();
    EXPECT_EQ(leftovers_after_interrupts(dir, 200, 2000, [&] {
                  int slot = -1;
                  if (!create_new_file(work, slot)) return;
                  sigset_t all;
                  sigfillset(&all);
                  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);  // the handler runs on the main thread
                  std::thread([&] {
                      const uint8_t byte = 'x';
                      for (;;) {
                          fs::WorkFile file;
                          if (file.open(work)) file.write_at(0, &byte, 1);
                      }
                  }).detach();
                  ::pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
                  for (;;) ::pause();
              }),
              0);
    fsys::remove_all(dir);
}

// Each use of the work file leaves exactly what it wrote, however much an
// earlier, longer use had left there.
TEST(Replacement, AWorkFileHoldsOnlyWhatItsLastUseWrote) {
    const fsys::path dir = fresh_directory("qx_work_reuse_");
    const std::string work = (dir / "EXa00002").string();
    int slot = -1;
    ASSERT_TRUE(create_new_file(work, slot));
    const std::string longer(100000, 'a'), shorter = "bcd";
    for (const std::string* use : {&longer, &shorter}) {
        fs::WorkFile file;
        ASSERT_TRUE(file.open(work));
        ASSERT_TRUE(file.write_at(0, reinterpret_cast<const uint8_t*>(use->data()), use->size()));
        ASSERT_TRUE(file.close());
        EXPECT_EQ(fsys::file_size(work), use->size());
    }
    fs::WorkFile unused;
    ASSERT_TRUE(unused.open(work));
    unused.close();
    EXPECT_EQ(fsys::file_size(work), 0u);  // a use that wrote nothing leaves nothing
    delete_file(work);
    untrack_temp_file(slot);
    fsys::remove_all(dir);
}

// Contents put together out of order: the fresh file is owner-only until the
// commit gives it the file's bits, and reads back what was written where.
TEST(Replacement, PositionalContentsStayOwnerOnlyUntilTheCommit) {
    const fsys::path dir = fresh_directory("qx_positional_");
    const std::string target = (dir / "file.txt").string();
    fs::Replacement out;
    ASSERT_TRUE(out.begin(target));
    const uint8_t tail[] = "world", head[] = "hello ";
    ASSERT_TRUE(out.write_at(6, tail, 5));
    ASSERT_TRUE(out.write_at(0, head, 6));
    uint8_t back[11] = {};
    ASSERT_TRUE(out.read_at(0, back, 11));
    EXPECT_EQ(std::string(back, back + 11), "hello world");
    EXPECT_FALSE(out.read_at(8, back, 4));  // past the end
    ASSERT_TRUE(out.truncate(5));
    for (const auto& entry : fsys::directory_iterator(dir))
        EXPECT_EQ(entry.status().permissions(), fsys::perms::owner_read | fsys::perms::owner_write);
    ASSERT_TRUE(out.commit(0644, ::getuid(), ::getgid()));
    EXPECT_EQ(fsys::status(target).permissions() & fsys::perms::all, static_cast<fsys::perms>(0644));
    EXPECT_EQ(fsys::file_size(target), 5u);
    fsys::remove_all(dir);
}

}  // namespace
}  // namespace qx::platform
