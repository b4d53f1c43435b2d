// Threads over std::thread. A thread handle is signalled when its thread ends and keeps the exit
// code. Ending a thread (ExitThread, TerminateThread) unwinds it to its start frame with
// ThreadExit; a terminated thread unwinds at its current or next blocking platform call, woken
// there through its eventfd or its waiter.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "errors.h"
#include "handles.h"
#include "syscalls.h"

namespace win::detail {

namespace {

struct ThreadObject : Object {
    std::atomic<bool> ended{false};
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::atomic<bool> terminate{false};
    std::atomic<DWORD> terminateCode{0};
    std::atomic<pid_t> tid{0};
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    const int wakeFd = sys::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Waiter waiter;  // the thread's own, in every platform wait it makes

    ~ThreadObject() override {
        if (wakeFd >= 0) close(wakeFd);
    }
    bool IsSignalled() const override { return ended; }
};

// The calling thread's object; made on first use for threads the layer did not create.
thread_local std::shared_ptr<ThreadObject> tCurrent;
thread_local DWORD tLastError = 0;

ThreadObject& Current() {
    if (!tCurrent) {
        tCurrent = std::make_shared<ThreadObject>();
        tCurrent->tid = static_cast<pid_t>(syscall(SYS_gettid));
    }
    return *tCurrent;
}

void Run(const std::shared_ptr<ThreadObject>& self, LPTHREAD_START_ROUTINE start,
         LPVOID parameter) {
    tCurrent = self;
    self->tid = static_cast<pid_t>(syscall(SYS_gettid));
    DWORD code;
    try {
        code = start(parameter);
    } catch (const ThreadExit& exit) {
        code = exit.exitCode;
    }
    auto lock = WaitLock();
    self->exitCode = code;
    self->ended = true;
    Wake(self->queue);
}

// Priority levels 0 (time critical) to 7 (idle) as nice values. Fair scheduling keeps even
// the highest level from starving other threads on one CPU.
constexpr int NICE_OF_PRIORITY[8] = {-10, -5, -2, 0, 2, 5, 10, 19};

// Real-time wait for a condition on the wait lock (not the layer's clock: a manual test clock
// must not stall thread start-up or termination).
template <class Pred>
bool AwaitReal(std::chrono::milliseconds limit, Pred pred) {
    auto lock = WaitLock();
    auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        lock.lock();
    }
    return true;
}

}  // namespace

Waiter& CurrentWaiter() {
    return Current().waiter;
}

void CheckTermination() {
    if (tCurrent && tCurrent->terminate.load(std::memory_order_acquire)) {
        throw ThreadExit{tCurrent->terminateCode.load()};
    }
}

int BlockingPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    ThreadObject& self = Current();
    std::vector<pollfd> all(fds, fds + count);
    all.push_back({self.wakeFd, POLLIN, 0});
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        CheckTermination();
        int remaining = timeoutMs;
        if (timeoutMs > 0) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
            remaining = spent >= timeoutMs ? 0 : timeoutMs - static_cast<int>(spent);
        }
        int r = sys::poll(all.data(), all.size(), remaining);
        if (r < 0 && errno == EINTR) continue;
        CheckTermination();
        if (r <= 0) return r;
        for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
        // The wake descriptor fires only for termination, handled above.
        return all.back().revents ? r - 1 : r;
    }
}

}  // namespace win::detail

namespace win {

using detail::ThreadObject;

DWORD GetLastError() {
    return detail::tLastError;
}
void SetLastError(DWORD code) {
    detail::tLastError = code;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}
DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
HANDLE GetCurrentProcess() {
    return INVALID_HANDLE_VALUE;
}

HANDLE CreateThread(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, DWORD* threadId) {
    auto self = std::make_shared<ThreadObject>();
    if (self->wakeFd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = detail::InsertObject(self);
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    try {
        std::thread(detail::Run, self, start, parameter).detach();
    } catch (const std::system_error&) {
        detail::RemoveObject(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The thread id is known once the thread runs; priorities need it right away.
    detail::AwaitReal(std::chrono::milliseconds(60000), [&] { return self->tid != 0; });
    if (threadId) *threadId = static_cast<DWORD>(self->tid);
    return handle;
}

void ExitThread(DWORD exitCode) {
    throw detail::ThreadExit{exitCode};
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    auto target = detail::Lookup<ThreadObject>(thread);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (target.get() == detail::tCurrent.get()) ExitThread(exitCode);
    target->terminateCode = exitCode;
    target->terminate.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(target->wakeFd, &one, sizeof one);
    {
        auto lock = detail::WaitLock();
        detail::WakeWaiter(target->waiter);
    }
    // Every loop of a thread passes through platform calls, so the end comes promptly. The wait
    // is on the layer's clock, like every other timed wait, so a test's clock can end it.
    WaitForSingleObject(thread, 5000);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    auto target = detail::Lookup<ThreadObject>(thread);
    if (!target || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = target->exitCode;
    return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    auto target = detail::Lookup<ThreadObject>(thread);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (priority < THREAD_PRIORITY_TIME_CRITICAL || priority > THREAD_PRIORITY_IDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!target->ended &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(target->tid.load()),
                    detail::NICE_OF_PRIORITY[priority]) != 0 &&
        errno != ESRCH) {
        SetLastError(detail::ErrorOfErrno(errno, detail::ErrnoFrom::Call));
        return FALSE;
    }
    target->priority = priority;
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    auto target = detail::Lookup<ThreadObject>(thread);
    if (!target) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return target->priority;
}

}  // namespace win
