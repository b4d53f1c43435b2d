// The LDV driver library "ldv_vni.dll" (libldv_vni.so): the five LDV entry points over the
// simulated LON channel of the device name. It sets the read event, named by the caller,
// whenever a telegram waits; a read takes one telegram without blocking. The simulated channel
// needs no neuron ID, so the one passed at open is not used.
#include "ldv.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/lon_ioctl.h"
#include "platform/simlon.h"
#include "platform/win.h"

using namespace win;

namespace {

struct Session {
    HANDLE device;
    HANDLE event;
};

struct Sessions {
    std::mutex mutex;
    std::map<int32_t, Session> byId;
    int32_t lastId = 0;
};

Sessions& TheSessions() {
    static Sessions sessions;
    return sessions;
}

bool Find(int32_t id, Session* session) {
    Sessions& sessions = TheSessions();
    std::lock_guard<std::mutex> lock(sessions.mutex);
    auto it = sessions.byId.find(id);
    if (it == sessions.byId.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *session = it->second;
    return true;
}

}  // namespace

extern "C" {

int32_t ldv_open_overlapped_neuronid(const char16_t* devName, const uint8_t*,
                                     const char16_t* eventName) {
    WCHAR name[260];
    WCHAR event[64];
    Utf16ToWide(devName, 259, name, 260);
    Utf16ToWide(eventName, 63, event, 64);
    Session session{
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        CreateEventW(nullptr, TRUE, FALSE, event)};
    if (session.device == INVALID_HANDLE_VALUE || !session.event ||
        !simlon::NotifyOnArrival(session.device, session.event)) {
        if (session.device != INVALID_HANDLE_VALUE) CloseHandle(session.device);
        if (session.event) CloseHandle(session.event);
        return LDV_NO_INTERFACE;
    }
    // Telegrams that came before the event was attached.
    if (simlon::PendingTelegrams(session.device) > 0) SetEvent(session.event);
    Sessions& sessions = TheSessions();
    std::lock_guard<std::mutex> lock(sessions.mutex);
    int32_t id = ++sessions.lastId;
    sessions.byId[id] = session;
    return id;
}

int32_t ldv_close(int32_t handle) {
    Session session;
    {
        Sessions& sessions = TheSessions();
        std::lock_guard<std::mutex> lock(sessions.mutex);
        auto it = sessions.byId.find(handle);
        if (it == sessions.byId.end()) return LDV_NOT_OPEN;
        session = it->second;
        sessions.byId.erase(it);
    }
    simlon::NotifyOnArrival(session.device, nullptr);
    CloseHandle(session.device);
    CloseHandle(session.event);
    return LDV_OK;
}

int32_t ldv_read_overlapped(int32_t handle, void* buffer, int32_t size, void*) {
    Session session;
    if (!Find(handle, &session)) return LDV_NOT_OPEN;
    // Reset before looking: a telegram that arrives after this sets the event again.
    ResetEvent(session.event);
    DWORD timeout = 0;
    DWORD count = 0;
    if (!DeviceIoControl(session.device, IOCTL_READ, buffer, size < 0 ? 0 : size, &timeout,
                         sizeof timeout, &count, nullptr)) {
        return LDV_DEVICE_ERR;
    }
    if (count == 0) {
        SetLastError(ERROR_IO_PENDING);
        return LDV_DEVICE_ERR;
    }
    if (simlon::PendingTelegrams(session.device) > 0) SetEvent(session.event);
    SetLastError(ERROR_SUCCESS);
    return LDV_OK;
}

int32_t ldv_write_overlapped(int32_t handle, const void* buffer, int32_t size, void*) {
    Session session;
    if (!Find(handle, &session)) return LDV_NOT_OPEN;
    DWORD written = 0;
    if (size < 0 || !WriteFile(session.device, buffer, size, &written, nullptr) ||
        written != static_cast<DWORD>(size)) {
        return LDV_DEVICE_ERR;
    }
    return LDV_OK;
}

int32_t ldv_io_control(int32_t, int32_t, void*, int32_t) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return LDV_DEVICE_ERR;
}

}  // extern "C"
