// Threads over POSIX threads; a started thread blocks every signal.
#include "platform/thread.hpp"

#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#endif

namespace qx::platform {

struct Thread::Impl {
    pthread_t id{};
    bool running = false;
};

namespace {

// Our threads keep shallow stacks (no recursion, no frame above 64 KiB), so each
// gets 1 MiB rather than the 8 MiB a default thread reserves.
constexpr size_t thread_stack_bytes = size_t{1} << 20;

// glibc gives a thread that meets a busy allocator an arena of its own, and
// reserves 64 MiB of address space for each. Our threads allocate their buffers
// when they start, not per block, so one shared arena costs them nothing, and a
// run stays inside a limit on its address space (ulimit -v) however the
// threads' first allocations happen to meet.
void share_one_allocator_arena() {
#if defined(__GLIBC__)
    static const bool shared = mallopt(M_ARENA_MAX, 1) == 1;
    (void)shared;
#endif
}

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { join(); }

bool Thread::start(void (*body)(void*), void* context) {
    if (impl_->running) return false;
    struct Start {
        void (*body)(void*);
        void* context;
    };
    auto* start = new (std::nothrow) Start{body, context};
    if (start == nullptr) return false;
    share_one_allocator_arena();
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, thread_stack_bytes);
    // The new thread inherits the mask in force here: every signal held back.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int made = pthread_create(
        &impl_->id, &attributes,
        [](void* argument) -> void* {
            Start* s = static_cast<Start*>(argument);
            const Start copy = *s;
            delete s;
            copy.body(copy.context);
            return nullptr;
        },
        start);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    if (made != 0) {
        delete start;
        return false;
    }
    impl_->running = true;
    return true;
}

void Thread::join() {
    if (!impl_->running) return;
    pthread_join(impl_->id, nullptr);
    impl_->running = false;
}

struct Mutex::Impl {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
};
Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() { pthread_mutex_destroy(&impl_->m); }
void Mutex::lock() { pthread_mutex_lock(&impl_->m); }
void Mutex::unlock() { pthread_mutex_unlock(&impl_->m); }

// Timed waits count on the monotonic clock, which a change of the system's time leaves alone.
struct Condition::Impl {
    pthread_cond_t c;
    Impl() {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&c, &attributes);
        pthread_condattr_destroy(&attributes);
    }
};
Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() { pthread_cond_destroy(&impl_->c); }
void Condition::wait(Mutex& mutex) { pthread_cond_wait(&impl_->c, &mutex.impl_->m); }
void Condition::wait_for(Mutex& mutex, unsigned milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&impl_->c, &mutex.impl_->m, &until);
}
void Condition::notify_all() { pthread_cond_broadcast(&impl_->c); }

int processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

// Linux keeps a nice value per thread, set through the thread's own id; on other
// systems the call would renice the whole process, so nothing changes there.
void lower_this_thread_priority() {
#if defined(__linux__)
    const auto self = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, self);
    if (nice == -1 && errno != 0) return;
    ::setpriority(PRIO_PROCESS, self, nice + 10 < 19 ? nice + 10 : 19);
#endif
}

}  // namespace qx::platform
