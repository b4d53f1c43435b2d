// The one wait algorithm of the layer, on the layer's clock. Every waitable object keeps its
// signalled state under the wait lock; waiters re-test their condition on every change.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "clock.h"
#include "handles.h"

namespace win::detail {

namespace {

struct WaitState {
    std::mutex mutex;
    std::condition_variable changed;
    bool manualClock = false;
    uint64_t manualNow = 0;
    std::vector<DWORD> timedWaiters;  // ids of the threads in timed waits
};

// Never destroyed: detached threads may still wait while the process exits.
WaitState& State() {
    static WaitState* state = new WaitState;
    return *state;
}

uint64_t RealNowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Caller holds the wait lock.
uint64_t NowMsLocked() {
    return State().manualClock ? State().manualNow : RealNowMs();
}

}  // namespace

std::unique_lock<std::mutex> WaitLock() {
    return std::unique_lock<std::mutex>(State().mutex);
}

void NotifyWaiters() {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().changed.notify_all();
}

bool WaitUntil(std::unique_lock<std::mutex>& lock, DWORD milliseconds,
               const std::function<bool()>& ready) {
    WaitState& state = State();
    CheckTermination();
    if (ready()) return true;
    if (milliseconds == 0) return false;
    const bool finite = milliseconds != INFINITE;
    const uint64_t deadline = NowMsLocked() + milliseconds;
    struct Counted {
        std::vector<DWORD>* ids;
        DWORD id;
        ~Counted() {
            if (ids) ids->erase(std::find(ids->begin(), ids->end(), id));
        }
    } counted{finite ? &state.timedWaiters : nullptr, finite ? GetCurrentThreadId() : 0};
    if (finite) state.timedWaiters.push_back(counted.id);
    for (;;) {
        if (finite && NowMsLocked() >= deadline) return false;
        if (!finite || state.manualClock) {
            state.changed.wait(lock);
        } else {
            state.changed.wait_until(
                lock, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline)));
        }
        CheckTermination();
        if (ready()) return true;
    }
}

}  // namespace win::detail

namespace win {

DWORD GetTickCount() {
    auto lock = detail::WaitLock();
    return static_cast<DWORD>(detail::NowMsLocked());
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        detail::CheckTermination();
        std::this_thread::yield();
        return;
    }
    auto lock = detail::WaitLock();
    detail::WaitUntil(lock, milliseconds, [] { return false; });
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Held for the whole wait: a handle closed meanwhile does not free what we wait on.
    std::vector<std::shared_ptr<detail::Object>> objects;
    for (DWORD i = 0; i < count; ++i) {
        objects.push_back(detail::LookupObject(handles[i]));
        if (!objects.back()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    DWORD result = WAIT_TIMEOUT;
    auto ready = [&] {
        for (DWORD i = 0; i < count; ++i) {
            bool signalled = objects[i]->IsSignalled();
            if (!waitAll && signalled) {
                result = WAIT_OBJECT_0 + i;
                return true;
            }
            if (waitAll && !signalled) return false;
        }
        if (waitAll) result = WAIT_OBJECT_0;
        return waitAll != FALSE;
    };
    auto lock = detail::WaitLock();
    return detail::WaitUntil(lock, milliseconds, ready) ? result : WAIT_TIMEOUT;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

}  // namespace win

namespace win::testclock {

void UseManualClock(uint32_t startTick) {
    auto lock = detail::WaitLock();
    detail::State().manualClock = true;
    detail::State().manualNow = startTick;
    detail::State().changed.notify_all();
}

void UseRealClock() {
    auto lock = detail::WaitLock();
    detail::State().manualClock = false;
    detail::State().changed.notify_all();
}

void Advance(uint32_t milliseconds) {
    auto lock = detail::WaitLock();
    detail::State().manualNow += milliseconds;
    detail::State().changed.notify_all();
}

int TimedWaiters() {
    auto lock = detail::WaitLock();
    return static_cast<int>(detail::State().timedWaiters.size());
}

namespace {

template <class Pred>
bool AwaitReal(int realMsLimit, Pred pred) {
    for (int waited = 0; waited < realMsLimit; ++waited) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

}  // namespace

bool AwaitTimedWaiters(int count, int realMsLimit) {
    return AwaitReal(realMsLimit, [count] { return TimedWaiters() >= count; });
}

bool AwaitTimedWait(DWORD threadId, int realMsLimit) {
    return AwaitReal(realMsLimit, [threadId] {
        auto lock = detail::WaitLock();
        const auto& ids = detail::State().timedWaiters;
        return std::find(ids.begin(), ids.end(), threadId) != ids.end();
    });
}

}  // namespace win::testclock
