// Fault tests: a real process encrypting or decrypting a large file is limited in
// file size, killed or interrupted at many points; the file must always be either
// the exact original or a complete encrypted file that decrypts to it.
#include "container/sealed.hpp"

#include <gtest/gtest.h>

#include "test_files.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace qx::container;
using namespace qx::container::test_files;
namespace fsys = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string password = "fault test";


std::string make_text(size_t size) {
    std::mt19937 rng(5);
    const char* words[] = {"cipher ", "window ", "match ", "offset ", "tree ", "backup ", "file\n", "the "};
    std::string s;
    while (s.size() < size) s += words[rng() % 8];
    s.resize(size);
    return s;
}

std::string make_random(size_t size) {
    std::mt19937 rng(9);
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

struct ToolRun {
    int exit_code = -1;  // when it exited
    int signal = 0;      // when a signal ended it
};

// Runs the tool; `file_limit` sets RLIMIT_FSIZE in the child, `kill_after` sends `sig` then.
ToolRun run_tool(const std::vector<std::string>& args, rlim_t file_limit = RLIM_INFINITY,
             Clock::duration kill_after = Clock::duration::max(), int sig = SIGKILL,
             rlim_t address_limit = RLIM_INFINITY) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        if (file_limit != RLIM_INFINITY) {
            struct rlimit limit{file_limit, file_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (address_limit != RLIM_INFINITY) {
            struct rlimit limit{address_limit, address_limit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char*> argv{const_cast<char*>(QX_PIPELINE_TOOL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (kill_after != Clock::duration::max()) {
        std::this_thread::sleep_for(kill_after);
        ::kill(pid, sig);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ToolRun r;
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

// The file is the original, or an encrypted file that opens to the original.
::testing::AssertionResult whole(const fsys::path& file, const std::string& original) {
    const std::string now = read(file);
    if (now == original) return ::testing::AssertionSuccess() << "original";
    qx::codec::Codec codec;
    Opened opened;
    Fault f = open_sealed(reinterpret_cast<const uint8_t*>(now.data()), now.size(), password, codec, opened);
    if (f != Fault::none) return ::testing::AssertionFailure() << "neither original nor openable: " << fault_name(f);
    if (!std::equal(opened.contents.begin(), opened.contents.end(), original.begin(), original.end()))
        return ::testing::AssertionFailure() << "opens to other contents";
    return ::testing::AssertionSuccess() << "encrypted";
}

size_t leftover_temps(const fsys::path& dir) {
    size_t n = 0;
    for (const auto& e : fsys::directory_iterator(dir))
        if (e.path().filename().string().find(".qxtmp") != std::string::npos) ++n;
    return n;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fresh_test_directory("qx_faults_");
        file = dir / "big.txt";
        work = (dir / "EXa00001").string();
    }
    void TearDown() override { fsys::remove_all(dir); }

    std::vector<std::string> args(const char* op, std::initializer_list<std::string> extra = {}) {
        std::vector<std::string> a{op, file.string(), password, "-w", work};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    // Kills (or interrupts) a pipeline at `points` moments spread over its normal
    // duration, restoring `start` before each try; returns how many ended changed.
    int kill_at_many_points(const char* op, const std::string& start, const std::string& original, int sig,
                            int points) {
        write(file, start);
        const auto t0 = Clock::now();
        EXPECT_EQ(run_tool(args(op)).exit_code, 0);
        const auto duration = Clock::now() - t0;
        int changed = 0;
        for (int i = 0; i < points; ++i) {
            write(file, start);
            fsys::remove(dir / "big.bak");
            ToolRun r = run_tool(args(op), RLIM_INFINITY, duration * i / points + std::chrono::microseconds(200), sig);
            EXPECT_TRUE(whole(file, original)) << op << " point " << i << " signal " << r.signal;
            if (read(file) != start) ++changed;
            if (sig != SIGKILL) {
                EXPECT_EQ(leftover_temps(dir), 0u) << "point " << i;
            }
            for (const auto& e : fsys::directory_iterator(dir))  // SIGKILL leaves its fresh file behind
                if (e.path().filename().string().find(".qxtmp") != std::string::npos) fsys::remove(e.path());
        }
        return changed;
    }

    fsys::path dir, file;
    std::string work;
};

}  // namespace

TEST_F(Faults, KilledWhileEncryptingOrDecrypting) {
    const std::string original = make_text(6 << 20);
    kill_at_many_points("encrypt", original, original, SIGKILL, 12);
    write(file, original);
    ASSERT_EQ(run_tool(args("encrypt")).exit_code, 0);
    const std::string encrypted = read(file);
    kill_at_many_points("decrypt", encrypted, original, SIGKILL, 12);
}

TEST_F(Faults, InterruptedRunsLeaveNoFreshFiles) {
    const std::string original = make_text(4 << 20);
    kill_at_many_points("encrypt", original, original, SIGTERM, 8);
    write(file, original);
    ASSERT_EQ(run_tool(args("encrypt")).exit_code, 0);
    kill_at_many_points("decrypt", read(file), original, SIGINT, 8);
}

// A file far larger than the address space the run may have: the pipelines hold
// pieces of it, never the whole, and their threads' stacks and allocator arenas
// stay small (sanitizers reserve address space of their own).
TEST_F(Faults, A256MiBFileGoesThroughA32MiBAddressSpace) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits do not apply under AddressSanitizer";
#endif
    std::string original = make_random(1 << 20);
    for (int i = 0; i < 8; ++i) original += original;
    original += "and a tail";
    write(file, original);
    const rlim_t limit = rlim_t{32} << 20;
    EXPECT_EQ(run_tool(args("encrypt", {"-n"}), RLIM_INFINITY, Clock::duration::max(), SIGKILL, limit).exit_code, 0);
    EXPECT_EQ(classify_file(file.string()).kind, kind_encrypted_compressed);
    EXPECT_EQ(run_tool(args("decrypt", {"-n"}), RLIM_INFINITY, Clock::duration::max(), SIGKILL, limit).exit_code, 0);
    EXPECT_TRUE(read(file) == original);
    EXPECT_EQ(leftover_temps(dir), 0u);
}

TEST_F(Faults, FileSizeLimitFailsWritesCleanly) {
    // Random contents grow when compressed: the backup fits the limit, the new contents do not.
    const std::string original = make_random(1 << 20);
    write(file, original);
    ToolRun r = run_tool(args("encrypt", {"-x"}), original.size() + 64);
    EXPECT_EQ(r.exit_code, 4);  // "Can't write.", after the file was left whole
    EXPECT_TRUE(read(file) == original);
    EXPECT_FALSE(fsys::exists(dir / "big.bak"));  // identical to the file, so not kept
    EXPECT_EQ(leftover_temps(dir), 0u);

    // Too small even for the backup: fails before anything else.
    r = run_tool(args("encrypt", {"-x"}), 100000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(read(file) == original);
    EXPECT_EQ(leftover_temps(dir), 0u);

    // The run ignores the signal itself: without -x the limit still fails a write, never kills.
    r = run_tool(args("encrypt", {"-n"}), 100000);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 1);  // the work file fails, as with -x above
    EXPECT_TRUE(read(file) == original);
    EXPECT_EQ(leftover_temps(dir), 0u);

    // Decrypting text grows it: the encrypted backup fits, the plain text does not.
    const std::string notes = make_text(1 << 20);
    write(file, notes);
    ASSERT_EQ(run_tool(args("encrypt", {"-n"})).exit_code, 0);
    const std::string encrypted = read(file);
    r = run_tool(args("decrypt", {"-x"}), encrypted.size() + 64);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_TRUE(read(file) == encrypted);
    EXPECT_EQ(leftover_temps(dir), 0u);
    // A stored file fails the same way with an ordinary per-file failure.
    fsys::remove(file);
    file = dir / "big.zip";
    write(file, notes);
    ASSERT_EQ(run_tool(args("encrypt", {"-n"})).exit_code, 0);
    const std::string stored = read(file);
    r = run_tool(args("decrypt", {"-x", "-n"}), 1 << 19);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(read(file) == stored);
}
