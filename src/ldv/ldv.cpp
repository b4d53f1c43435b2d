// The LDV driver library "ldv_vni.dll" (libldv_vni.so): the five LDV entry points over every LON
// interface that the platform's device manager opens (the simulated channel, a serial line, a
// network interface, a VELTRABOX_LONn mapping). A receiver thread per open interface takes its
// telegrams into a short queue and sets the read event, named by the caller, while one waits;
// a read takes one telegram from the queue without blocking.
#include "ldv.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/lon_ioctl.h"
#include "platform/win.h"

using namespace win;

namespace {

constexpr DWORD RECEIVE_BUFFER_SIZE = 512;
// The receiver stops taking telegrams while this many wait: the device holds the rest.
constexpr size_t QUEUE_LIMIT = 64;

struct Session {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    std::mutex mutex;
    std::condition_variable room;
    std::deque<std::vector<BYTE>> queue;  // under the mutex
    DWORD failure = ERROR_SUCCESS;        // under the mutex: why the device stopped delivering
    bool failed = false;                  // under the mutex
    bool closing = false;                 // under the mutex
    std::thread receiver;
};

struct Sessions {
    std::mutex mutex;
    std::map<int32_t, std::shared_ptr<Session>> byId;
    int32_t lastId = 0;
};

Sessions& TheSessions() {
    static Sessions sessions;
    return sessions;
}

std::shared_ptr<Session> Find(int32_t id) {
    Sessions& sessions = TheSessions();
    std::lock_guard<std::mutex> lock(sessions.mutex);
    auto it = sessions.byId.find(id);
    if (it == sessions.byId.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

// Until the device fails or is closed.
void Receive(Session* session) {
    BYTE buffer[RECEIVE_BUFFER_SIZE];
    for (;;) {
        DWORD timeout = INFINITE;
        DWORD count = 0;
        BOOL ok = DeviceIoControl(session->device, IOCTL_READ, buffer, sizeof buffer, &timeout,
                                  sizeof timeout, &count, nullptr);
        DWORD error = GetLastError();
        std::unique_lock<std::mutex> lock(session->mutex);
        if (!ok) {
            session->failed = true;
            session->failure = error;
            SetEvent(session->event);
            return;
        }
        if (count == 0) continue;
        session->room.wait(lock,
                           [&] { return session->closing || session->queue.size() < QUEUE_LIMIT; });
        if (session->closing) return;
        session->queue.emplace_back(buffer, buffer + count);
        SetEvent(session->event);
    }
}

void CloseSession(Session& session) {
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.closing = true;
    }
    session.room.notify_all();
    CloseHandle(session.device);  // ends the receiver's read
    if (session.receiver.joinable()) session.receiver.join();
    if (session.event) CloseHandle(session.event);
}

}  // namespace

extern "C" {

int32_t ldv_open_overlapped_neuronid(const char16_t* devName, const uint8_t* neuronId,
                                     const char16_t* eventName) {
    WCHAR name[260];
    WCHAR event[64];
    Utf16ToWide(devName, 259, name, 260);
    Utf16ToWide(eventName, 63, event, 64);
    auto session = std::make_shared<Session>();
    session->device =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (session->device == INVALID_HANDLE_VALUE) return LDV_NO_INTERFACE;
    session->event = CreateEventW(nullptr, TRUE, FALSE, event);
    DWORD error = GetLastError();
    if (session->event) {
        try {
            session->receiver = std::thread(Receive, session.get());
        } catch (const std::system_error&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (!session->receiver.joinable()) {
        CloseSession(*session);
        SetLastError(error);
        return LDV_NO_INTERFACE;
    }
    static const uint8_t noNeuronId[6] = {};
    if (neuronId && std::memcmp(neuronId, noNeuronId, sizeof noNeuronId) != 0) {
        // As the stream driver is given it; the interface's answer is its own affair.
        BYTE message[NEURON_ID_MESSAGE_SIZE];
        BuildNeuronIdMessage(neuronId, message);
        BYTE reply[NEURON_ID_REPLY_SIZE];
        DWORD count = 0;
        DeviceIoControl(session->device, IOCTL_LON_NETMGMT, message, sizeof message, reply,
                        sizeof reply, &count, nullptr);
    }
    Sessions& sessions = TheSessions();
    std::lock_guard<std::mutex> lock(sessions.mutex);
    int32_t id = ++sessions.lastId;
    sessions.byId[id] = session;
    SetLastError(ERROR_SUCCESS);
    return id;
}

int32_t ldv_close(int32_t handle) {
    std::shared_ptr<Session> session;
    {
        Sessions& sessions = TheSessions();
        std::lock_guard<std::mutex> lock(sessions.mutex);
        auto it = sessions.byId.find(handle);
        if (it == sessions.byId.end()) return LDV_NOT_OPEN;
        session = it->second;
        sessions.byId.erase(it);
    }
    CloseSession(*session);
    return LDV_OK;
}

int32_t ldv_read_overlapped(int32_t handle, void* buffer, int32_t size, void*) {
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return LDV_NOT_OPEN;
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->queue.empty()) {
        // Set again by the receiver as soon as a telegram comes.
        ResetEvent(session->event);
        SetLastError(session->failed ? session->failure : ERROR_IO_PENDING);
        return LDV_DEVICE_ERR;
    }
    std::vector<BYTE>& telegram = session->queue.front();
    size_t n = std::min(telegram.size(), static_cast<size_t>(size < 0 ? 0 : size));
    if (n) std::memcpy(buffer, telegram.data(), n);
    session->queue.pop_front();
    session->room.notify_one();
    // A failure still has to be told.
    if (session->queue.empty() && !session->failed) ResetEvent(session->event);
    SetLastError(ERROR_SUCCESS);
    return LDV_OK;
}

int32_t ldv_write_overlapped(int32_t handle, const void* buffer, int32_t size, void*) {
    std::shared_ptr<Session> session = Find(handle);
    if (!session) return LDV_NOT_OPEN;
    DWORD written = 0;
    if (size < 0 || !WriteFile(session->device, buffer, size, &written, nullptr) ||
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
