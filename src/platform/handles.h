// Inside the platform layer: the handle table, the one wait algorithm, and the calling thread's
// termination state. Not for system code.
#pragma once

#include <poll.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/win.h"
#include "private.h"

namespace win::detail {

// One thread's place in the wait queues: each thread sleeps on its own condition variable, so
// a change wakes the threads that wait for it and no other. Fields under the wait lock.
struct Waiter {
    std::condition_variable wake;
    bool woken = false;
    uint64_t deadline = 0;  // on the layer's clock, while in a timed wait
    DWORD threadId = 0;
};

// The threads waiting on one object (or on another state the layer waits for), as Wine keeps
// a queue per object. Under the wait lock.
struct WaitQueue {
    std::vector<Waiter*> waiters;
};

// Everything a handle can name. Waitable kinds say when they are signalled; the state is read
// and changed only under WaitLock(), and every change wakes the object's queue.
struct Object {
    virtual ~Object() = default;
    virtual bool IsSignalled() const { return false; }
    // Runs when a handle naming this object is closed (CloseHandle, closesocket, ...): the
    // place to wake calls that other threads have blocked on it. The object itself lives on
    // while any call still holds it.
    virtual void OnHandleClosed() {}

    WaitQueue queue;
};

// Handle values combine a slot index with a generation, so a closed value never names a later
// object. Values are never 0 and never INVALID_HANDLE_VALUE.
HANDLE InsertObject(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupObject(HANDLE handle);
// Takes the handle out of the table and returns what it named (null for an unknown value).
std::shared_ptr<Object> RemoveObject(HANDLE handle);
// Number of live handles; lets tests prove that cycles release what they open.
size_t LiveHandleCount();

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

// The wait lock guards every signalled state and every wait queue. One lock for all objects
// keeps a wait on several of them free of lost wake-ups: no change can slip in between testing
// one object and queueing on the next. It is held only for a test or a change, never across a
// system call.
std::unique_lock<std::mutex> WaitLock();
// Wakes the threads waiting on `queue`. The caller holds the wait lock and has just changed what
// they wait for.
void Wake(WaitQueue& queue);
// Wakes the thread of `waiter` from any wait (its termination). The caller holds the wait lock.
void WakeWaiter(Waiter& waiter);
// Waits under `lock` until `ready()` holds or `milliseconds` (INFINITE allowed) pass on the
// layer's clock, woken by every change on `queues`; `ready` tests only what they guard.
// Returns whether `ready()` held. Ends the calling thread if it is terminated.
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::span<WaitQueue* const> queues,
               DWORD milliseconds, const std::function<bool()>& ready);
inline bool WaitUntil(std::unique_lock<std::mutex>& lock, WaitQueue& queue, DWORD milliseconds,
                      const std::function<bool()>& ready) {
    WaitQueue* queues[] = {&queue};
    return WaitUntil(lock, queues, milliseconds, ready);
}
// The calling thread's waiter.
Waiter& CurrentWaiter();

// Thrown to end a platform thread from any depth (ExitThread, TerminateThread); caught only
// by the thread's own start-up frame.
struct ThreadExit {
    DWORD exitCode;
};

// Ends the calling thread now if another thread has terminated it.
void CheckTermination();
// poll(2) that also returns when the calling thread is terminated (and then ends it).
// Retries on EINTR; returns poll's result with errno set on failure.
int BlockingPoll(pollfd* fds, nfds_t count, int timeoutMs);

}  // namespace win::detail
