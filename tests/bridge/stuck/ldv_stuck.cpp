// An LDV library whose reads and writes get stuck inside the library itself, where ending their
// thread cannot reach them (a vendor's driver call that never returns), until the test lets
// them go.
#include <condition_variable>
#include <mutex>

#include "ldv/ldv.h"
#include "platform/win.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
int inside = 0;         // under mutex
bool released = false;  // under mutex

int32_t Stuck() {
    std::unique_lock<std::mutex> lock(mutex);
    ++inside;
    changed.wait(lock, [] { return released; });
    --inside;
    return LDV_DEVICE_ERR;
}

}  // namespace

extern "C" {

int32_t ldv_open_overlapped_neuronid(const char16_t*, const uint8_t*, const char16_t* eventName) {
    // A telegram always waits: the reader calls in at once.
    wchar_t event[64];
    win::Utf16ToWide(eventName, 63, event, 64);
    win::HANDLE h = win::CreateEventW(nullptr, win::TRUE, win::TRUE, event);
    win::SetEvent(h);
    win::CloseHandle(h);
    return 1;
}
int32_t ldv_close(int32_t) {
    return LDV_OK;
}
int32_t ldv_read_overlapped(int32_t, void*, int32_t, void*) {
    return Stuck();
}
int32_t ldv_write_overlapped(int32_t, const void*, int32_t, void*) {
    return Stuck();
}
int32_t ldv_io_control(int32_t, int32_t, void*, int32_t) {
    return LDV_OK;
}

// For the test: how many calls are stuck; let them all go.
int ldv_stuck_inside() {
    std::lock_guard<std::mutex> lock(mutex);
    return inside;
}
void ldv_stuck_release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
}
}
