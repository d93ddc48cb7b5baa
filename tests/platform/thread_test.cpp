// A thread that lowers its own priority lowers no other thread's: the
// compression that a run waits on keeps the priority it had.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "platform/thread.hpp"

namespace qx::platform {
namespace {

#if defined(__linux__)
int own_nice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); }

TEST(Thread, LoweredPriorityStaysWithTheThreadThatAskedForIt) {
    struct Seen {
        int before = 0, after = 0;
    } seen;
    const int caller = own_nice();
    if (caller >= 19) GTEST_SKIP() << "the tests run at the lowest priority already";
    Thread thread;
    ASSERT_TRUE(thread.start(
        [](void* context) {
            auto& s = *static_cast<Seen*>(context);
            s.before = own_nice();
            lower_this_thread_priority();
            s.after = own_nice();
        },
        &seen));
    thread.join();
    EXPECT_EQ(seen.before, caller);
    EXPECT_GT(seen.after, seen.before);
    EXPECT_EQ(own_nice(), caller);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), caller);
}
#endif

}  // namespace
}  // namespace qx::platform
