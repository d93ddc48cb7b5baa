// Threads over the Win32 calls. Console events arrive on threads of the system's
// own, so a started thread needs no masking.
#include "platform/thread.hpp"

#include <new>

#include <windows.h>

namespace qx::platform {

struct Thread::Impl {
    HANDLE handle = nullptr;
};

namespace {

struct Start {
    void (*body)(void*);
    void* context;
};

// The thread's entry, with the calling convention CreateThread expects.
DWORD WINAPI run_thread(LPVOID argument) {
    Start* s = static_cast<Start*>(argument);
    const Start copy = *s;
    delete s;
    copy.body(copy.context);
    return 0;
}

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { join(); }

bool Thread::start(void (*body)(void*), void* context) {
    if (impl_->handle != nullptr) return false;
    auto* start = new (std::nothrow) Start{body, context};
    if (start == nullptr) return false;
    impl_->handle = ::CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (impl_->handle == nullptr) {
        delete start;
        return false;
    }
    return true;
}

void Thread::join() {
    if (impl_->handle == nullptr) return;
    ::WaitForSingleObject(impl_->handle, INFINITE);
    ::CloseHandle(impl_->handle);
    impl_->handle = nullptr;
}

struct Mutex::Impl {
    SRWLOCK lock = SRWLOCK_INIT;
};
Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { ::AcquireSRWLockExclusive(&impl_->lock); }
void Mutex::unlock() { ::ReleaseSRWLockExclusive(&impl_->lock); }

struct Condition::Impl {
    CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};
Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() = default;
void Condition::wait(Mutex& mutex) { ::SleepConditionVariableSRW(&impl_->condition, &mutex.impl_->lock, INFINITE, 0); }
void Condition::wait_for(Mutex& mutex, unsigned milliseconds) {
    ::SleepConditionVariableSRW(&impl_->condition, &mutex.impl_->lock, milliseconds, 0);
}
void Condition::notify_all() { ::WakeAllConditionVariable(&impl_->condition); }

int processor_count() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

// Nothing: Windows runs a thread of lower priority only while no thread of
// higher priority is ready, so other programs keeping every processor busy
// would leave it waiting, and with it the compression that waits on it.
void lower_this_thread_priority() {}

}  // namespace qx::platform
