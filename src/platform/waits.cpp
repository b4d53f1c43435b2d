// The one wait algorithm of the layer, on the layer's clock. A waiting thread queues itself on
// every object it waits for and sleeps on its own condition variable; a change of an object
// wakes that object's queue only.
#include <algorithm>
#include <chrono>
#include <thread>

#include "clock.h"
#include "handles.h"

namespace win::detail {

namespace {

struct WaitState {
    std::mutex mutex;
    bool manualClock = false;
    uint64_t manualNow = 0;
    std::vector<Waiter*> timed;  // the threads in timed waits
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

void Remove(std::vector<Waiter*>& waiters, Waiter* waiter) {
    waiters.erase(std::find(waiters.begin(), waiters.end(), waiter));
}

// The calling thread's entries in the queues it waits on, for as long as the wait lasts
// (also when it ends by ThreadExit).
class Queued {
  public:
    Queued(Waiter& self, std::span<WaitQueue* const> queues, bool timed)
        : self_(self), queues_(queues), timed_(timed) {
        for (WaitQueue* queue : queues_) queue->waiters.push_back(&self_);
        if (timed_) State().timed.push_back(&self_);
    }
    ~Queued() {
        for (WaitQueue* queue : queues_) Remove(queue->waiters, &self_);
        if (timed_) Remove(State().timed, &self_);
    }
    Queued(const Queued&) = delete;
    Queued& operator=(const Queued&) = delete;

  private:
    Waiter& self_;
    std::span<WaitQueue* const> queues_;
    bool timed_;
};

// Caller holds the wait lock: a clock change may end or move the time-out of any timed wait.
void WakeTimed(uint64_t reached) {
    for (Waiter* waiter : State().timed) {
        if (waiter->deadline <= reached) WakeWaiter(*waiter);
    }
}

}  // namespace

std::unique_lock<std::mutex> WaitLock() {
    return std::unique_lock<std::mutex>(State().mutex);
}

void WakeWaiter(Waiter& waiter) {
    waiter.woken = true;
    waiter.wake.notify_one();
}

void Wake(WaitQueue& queue) {
    for (Waiter* waiter : queue.waiters) WakeWaiter(*waiter);
}

bool WaitUntil(std::unique_lock<std::mutex>& lock, std::span<WaitQueue* const> queues,
               DWORD milliseconds, const std::function<bool()>& ready) {
    CheckTermination();
    if (ready()) return true;
    if (milliseconds == 0) return false;
    WaitState& state = State();
    Waiter& self = CurrentWaiter();
    const bool finite = milliseconds != INFINITE;
    self.deadline = NowMsLocked() + milliseconds;
    self.threadId = GetCurrentThreadId();
    Queued queued(self, queues, finite);
    for (;;) {
        if (finite && NowMsLocked() >= self.deadline) return false;
        // The lock has been held since `ready` was last tested, so no wake is lost here.
        self.woken = false;
        if (!finite || state.manualClock) {
            self.wake.wait(lock, [&] { return self.woken; });
        } else {
            auto until =
                std::chrono::steady_clock::time_point(std::chrono::milliseconds(self.deadline));
            self.wake.wait_until(lock, until, [&] { return self.woken; });
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
    detail::WaitUntil(lock, {}, milliseconds, [] { return false; });
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Held for the whole wait: a handle closed meanwhile does not free what we wait on.
    std::shared_ptr<detail::Object> objects[MAXIMUM_WAIT_OBJECTS];
    detail::WaitQueue* queues[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = detail::LookupObject(handles[i]);
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        queues[i] = &objects[i]->queue;
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
    return detail::WaitUntil(lock, std::span(queues, count), milliseconds, ready) ? result
                                                                                  : WAIT_TIMEOUT;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

}  // namespace win

namespace win::testclock {

// Every timed wait looks again at its time-out: it now runs on the other clock.
void UseManualClock(uint32_t startTick) {
    auto lock = detail::WaitLock();
    detail::State().manualClock = true;
    detail::State().manualNow = startTick;
    detail::WakeTimed(UINT64_MAX);
}

void UseRealClock() {
    auto lock = detail::WaitLock();
    detail::State().manualClock = false;
    detail::WakeTimed(UINT64_MAX);
}

void Advance(uint32_t milliseconds) {
    auto lock = detail::WaitLock();
    detail::State().manualNow += milliseconds;
    detail::WakeTimed(detail::State().manualNow);
}

int TimedWaiters() {
    auto lock = detail::WaitLock();
    return static_cast<int>(detail::State().timed.size());
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
        const auto& timed = detail::State().timed;
        return std::any_of(timed.begin(), timed.end(),
                           [threadId](const detail::Waiter* w) { return w->threadId == threadId; });
    });
}

uint32_t AwaitTimeLeft(DWORD threadId, int realMsLimit) {
    uint32_t left = 0;
    AwaitReal(realMsLimit, [threadId, &left] {
        auto lock = detail::WaitLock();
        const uint64_t now = detail::NowMsLocked();
        for (const detail::Waiter* w : detail::State().timed) {
            if (w->threadId != threadId || w->woken || w->deadline <= now) continue;
            left = static_cast<uint32_t>(w->deadline - now);
            return true;
        }
        return false;
    });
    return left;
}

}  // namespace win::testclock
