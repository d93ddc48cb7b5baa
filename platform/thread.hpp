// Threads, locks and conditions for the work that overlaps within one file, the
// same on POSIX and on Windows (whose MinGW-w64 toolchain may lack std::thread).
#pragma once

#include <memory>

namespace qx::platform {

// A function run on a thread of its own. The thread takes no signals: they all
// reach the main thread, whose handlers restore the terminal and remove the
// run's files. The destructor waits for a thread still running.
class Thread {
public:
    Thread();
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // CreateThread: starts body(context). False when no thread could be had
    // (the caller then does the work itself) or one was started already.
    bool start(void (*body)(void*), void* context);
    // WaitForSingleObject: waits until the thread has ended; nothing when none runs.
    void join();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A lock held by one thread at a time (a slim reader/writer lock on Windows).
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    friend class Condition;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds a Mutex for as long as it lives.
class Lock {
public:
    explicit Lock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Lock() { mutex_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    Mutex& mutex_;
};

// A condition threads wait on while holding a Mutex (SleepConditionVariableSRW).
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // Releases `mutex`, which the caller holds, until woken (perhaps spuriously), then takes it again.
    void wait(Mutex& mutex);
    // The same, but waits at most about `milliseconds`.
    void wait_for(Mutex& mutex, unsigned milliseconds);
    void notify_all();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The processors this process may run on (at least 1).
int processor_count();

// Lowers the calling thread's priority, for work that can wait a little, so
// that the threads a run waits on get the processors first. Where a lower
// priority could leave the thread without a processor for long (Windows), or
// would apply to the whole process, it does nothing.
void lower_this_thread_priority();

}  // namespace qx::platform
