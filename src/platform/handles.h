// Inside the platform layer: the handle table, the one wait algorithm, and the calling thread's
// termination state. Not for system code.
#pragma once

#include <poll.h>

#include <functional>
#include <memory>
#include <mutex>

#include "win.h"

namespace win::detail {

// Everything a handle can name. Waitable kinds say when they are signalled; the state is read
// and changed only under WaitLock(), and every change ends with NotifyWaiters().
struct Object {
    virtual ~Object() = default;
    virtual bool IsSignalled() const { return false; }
    // Runs when a handle naming this object is closed (CloseHandle, closesocket, ...): the
    // place to wake calls that other threads have blocked on it. The object itself lives on
    // while any call still holds it.
    virtual void OnHandleClosed() {}
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

// The wait lock guards every signalled state of every object.
std::unique_lock<std::mutex> WaitLock();
void NotifyWaiters();
// Waits under `lock` until `ready()` holds or `milliseconds` (INFINITE allowed) pass on the
// layer's clock. Returns whether `ready()` held. Ends the calling thread if it is terminated.
bool WaitUntil(std::unique_lock<std::mutex>& lock, DWORD milliseconds,
               const std::function<bool()>& ready);

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
