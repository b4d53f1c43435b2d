#include "lon/lon_link.h"

#include <cstring>

#include "diag/debug.h"
#include "drivers/lon_ioctl.h"

using namespace win;

namespace {

constexpr DWORD VERSION_TEXT_SIZE = 512;
constexpr DWORD NEURON_ID_REPLY_SIZE = 245;
constexpr DWORD READ_TIMEOUT_MS = 1000;
constexpr DWORD READWAIT_TIMEOUT_MS = 2000;
constexpr DWORD EVENT_WAIT_MS = 1000;
constexpr int32_t LDV_PENDING = 4;

bool IsOpenHandle(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// The library's 32-bit interface value, kept in hLon.
HANDLE HandleOfLdv(int32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
}
int32_t LdvOfHandle(HANDLE h) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)));
}

// A pump thread's stay inside the library: entered unless StopLon has closed the gate. Leaves
// on every way out, the end of a terminated thread included.
struct LdvCall {
    ServerInstance* instance;
    bool entered;
    explicit LdvCall(ServerInstance* i)
        : instance(i), entered((i->LdvGate.fetch_add(1) & LDV_GATE_CLOSED) == 0) {}
    ~LdvCall() {
        if (instance->LdvGate.fetch_sub(1) - 1 == LDV_GATE_CLOSED) instance->LdvGate.notify_all();
    }
};

// Closes the gate and waits until no pump thread is inside.
void DrainLdvCalls(ServerInstance* instance) {
    int32_t seen = instance->LdvGate.fetch_or(LDV_GATE_CLOSED) | LDV_GATE_CLOSED;
    while (seen != LDV_GATE_CLOSED) {
        instance->LdvGate.wait(seen);
        seen = instance->LdvGate.load();
    }
}

// Unique within the process: the record's address where it fits into 32 bits.
DWORD EventIdOf(ServerInstance* instance) {
    if constexpr (sizeof(void*) == sizeof(DWORD)) {
        return static_cast<DWORD>(reinterpret_cast<uintptr_t>(instance));
    } else {
        static std::atomic<DWORD> lastId{0};
        if (instance->EventId == 0) instance->EventId = ++lastId;
        return instance->EventId;
    }
}

template <class Fn>
void LookUp(HMODULE module, LPCWSTR name, Fn* field) {
    *field = reinterpret_cast<Fn>(GetProcAddressW(module, name));
}

DWORD StartLonLibrary(ServerInstance* instance) {
    HMODULE module = LoadLibraryW(instance->DllName);
    if (!module) {
        DWORD error = GetLastError();
        PrintSystemError(error, L"LoadLibrary()");
        return error;
    }
    instance->hDll = module;
    LookUp(module, L"ldv_open_overlapped_neuronid", &instance->ldv_open_overlapped_neuronid);
    LookUp(module, L"ldv_close", &instance->ldv_close);
    LookUp(module, L"ldv_read_overlapped", &instance->ldv_read_overlapped);
    LookUp(module, L"ldv_write_overlapped", &instance->ldv_write_overlapped);
    LookUp(module, L"ldv_io_control", &instance->ldv_io_control);
    if (!instance->ldv_open_overlapped_neuronid || !instance->ldv_close ||
        !instance->ldv_read_overlapped || !instance->ldv_write_overlapped ||
        !instance->ldv_io_control) {
        FreeLibrary(module);
        instance->hDll = nullptr;
        return 1;
    }
    WCHAR eventName[32];
    wsprintfW(eventName, L"VeltraboxEvent%08X", EventIdOf(instance));
    std::memset(&instance->Overlapped, 0, sizeof instance->Overlapped);
    instance->Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, eventName);
    EventModify(instance->Overlapped.hEvent, EVENT_RESET);
    // No pump thread of an earlier cycle is left: the gate opens for this one.
    instance->LdvGate.store(0);
    char16_t devName[260];
    char16_t eventName16[32];
    WideToUtf16(instance->DevName, devName, 260);
    WideToUtf16(eventName, eventName16, 32);
    instance->hLon.store(HandleOfLdv(
        instance->ldv_open_overlapped_neuronid(devName, instance->NeuronId, eventName16)));
    return 0;
}

// The network-management write-memory request that puts the neuron ID into the interface's
// read-only data at offset 0.
void BuildNeuronIdMessage(const BYTE neuronId[6], BYTE message[NEURON_ID_MESSAGE_SIZE]) {
    std::memset(message, 0, NEURON_ID_MESSAGE_SIZE);
    const BYTE head[] = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F};
    std::memcpy(message, head, sizeof head);
    const BYTE request[] = {0x6E, 0x01, 0x00, 0x00, 0x06, 0x00};
    std::memcpy(message + 16, request, sizeof request);
    std::memcpy(message + 22, neuronId, 6);
}

DWORD StartLonDriver(ServerInstance* instance) {
    HANDLE device = CreateFileW(instance->DevName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    instance->hLon.store(device);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        PrintSystemError(error, L"CreateFile(%s)", instance->DevName);
        return error;
    }
    DWORD version = 0;
    DWORD count = 0xFFFFFFFF;
    char16_t text[VERSION_TEXT_SIZE / 2] = {};
    BOOL r = DeviceIoControl(device, IOCTL_XLON_GETVERS, nullptr, 0, &version, sizeof version,
                             &count, nullptr);
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"DeviceIoControl(IOCTL_XLON_GETVERS)=%d Anz=%d\n", r, static_cast<int>(count));
    }
    if (r && ZoneOn(ZONE_DEFAULT)) DebugPrint(L"IOCTL_XLON_GETVERS=%04X\n", version);
    r = DeviceIoControl(device, IOCTL_GETVERSION, nullptr, 0, text, VERSION_TEXT_SIZE, &count,
                        nullptr);
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"DeviceIoControl(IOCTL_GETVERSION)=%d Anz=%d\n", r, static_cast<int>(count));
    }
    if (r && ZoneOn(ZONE_DEFAULT)) {
        WCHAR wide[VERSION_TEXT_SIZE / 2 + 1];
        Utf16ToWide(text, VERSION_TEXT_SIZE / 2, wide, VERSION_TEXT_SIZE / 2 + 1);
        DebugPrint(L"IOCTL_GETVERSION=%ls\n", wide);
    }
    instance->IsQuorvelDriver = r;
    DeviceIoControl(device, IOCTL_LON_RESET, nullptr, 0, nullptr, 0, nullptr, nullptr);
    static const BYTE noNeuronId[6] = {};
    if (std::memcmp(instance->NeuronId, noNeuronId, sizeof noNeuronId) == 0) return 0;
    BYTE message[NEURON_ID_MESSAGE_SIZE];
    BuildNeuronIdMessage(instance->NeuronId, message);
    BYTE reply[NEURON_ID_REPLY_SIZE];
    DWORD replyCount = 0;
    DeviceIoControl(device, IOCTL_LON_NETMGMT, message, sizeof message, reply, sizeof reply,
                    &replyCount, nullptr);
    return 0;
}

// Byte 1 of the buffer gives the telegram's length, never more than the buffer holds.
DWORD TelegramLength(const BYTE* buffer, DWORD size) {
    DWORD length = size >= 2 ? buffer[1] + 2u : 0;
    return length < size ? length : size;
}

DWORD GetPacketFromLibrary(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length) {
    LdvCall call(instance);
    if (!call.entered) {
        // StopLon has closed the interface: a read can only fail.
        SetLastError(ERROR_INVALID_HANDLE);
        return LON_READ_FAILED;
    }
    if (WaitForSingleObject(instance->Overlapped.hEvent, EVENT_WAIT_MS) != WAIT_OBJECT_0) {
        return LON_READ_DONE;
    }
    int32_t r = instance->ldv_read_overlapped(LdvOfHandle(instance->hLon.load()), buffer,
                                              static_cast<int32_t>(size), nullptr);
    DWORD error = GetLastError();
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"Error: ldv_read_overlapped()=%d: LastError=%d\n", r, static_cast<int>(error));
    }
    if (r == 0) {
        *length = TelegramLength(buffer, size);
        return LON_READ_DONE;
    }
    if (r == LDV_PENDING && error == ERROR_IO_PENDING) {
        Sleep(1);
        return LON_READ_DONE;
    }
    return LON_READ_FAILED;
}

}  // namespace

DWORD StartLon(ServerInstance* instance) {
    return instance->DllName ? StartLonLibrary(instance) : StartLonDriver(instance);
}

DWORD StopLon(ServerInstance* instance) {
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"LON wird gestopt.\n");
    if (!instance->DllName) {
        HANDLE device = instance->hLon.load();
        if (IsOpenHandle(device)) {
            CloseHandle(device);
            instance->hLon.store(INVALID_HANDLE_VALUE);
        }
        return 0;
    }
    if (!instance->hDll) return 0;
    HANDLE event = instance->Overlapped.hEvent;
    instance->ldv_close(LdvOfHandle(instance->hLon.load()));
    EventModify(event, EVENT_SET);
    Sleep(10);
    // A reader woken above may still be on its way into the library.
    DrainLdvCalls(instance);
    CloseHandle(event);
    FreeLibrary(instance->hDll);
    instance->hDll = nullptr;
    return 0;
}

DWORD GetPacketFromLon(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length) {
    std::memset(buffer, 0, size);
    *length = 0;
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"GetPacketFromLon(): IsQuorvelDriver=%X\n", instance->IsQuorvelDriver);
    }
    if (instance->DllName) return GetPacketFromLibrary(instance, buffer, size, length);
    HANDLE device = instance->hLon.load();
    DWORD timeout;
    if (instance->IsQuorvelDriver) {
        timeout = READ_TIMEOUT_MS;
        SetLastError(0);
        if (!DeviceIoControl(device, IOCTL_READ, buffer, size, &timeout, sizeof timeout, length,
                             nullptr)) {
            DWORD error = GetLastError();
            if (ZoneOn(ZONE_DEFAULT)) {
                DebugPrint(L"Error: DeviceIoControl(IOCTL_READ)=FALSE: LastError=%d\n",
                           static_cast<int>(error));
            }
            if (error != 0) return LON_READ_FAILED;
        }
    } else {
        timeout = READWAIT_TIMEOUT_MS;
        if (!DeviceIoControl(device, IOCTL_XLON_READWAIT, &timeout, sizeof timeout, buffer, size,
                             length, nullptr)) {
            DWORD error = GetLastError();
            if (ZoneOn(ZONE_DEFAULT)) {
                DebugPrint(L"Error: DeviceIoControl(IOCTL_XLON_READWAIT)=FALSE: LastError=%d\n",
                           static_cast<int>(error));
            }
            if (error != ERROR_INVALID_HANDLE) return LON_READ_FAILED;
        }
    }
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"GetPacketFromLon()=%X cBuffer[1]=%02X\n", *length, size >= 2 ? buffer[1] : 0);
    }
    if (*length >= 2) {
        *length = TelegramLength(buffer, size);
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"TelLen=%X\n", *length);
    }
    return LON_READ_DONE;
}

DWORD SendPacketToLon(ServerInstance* instance, const BYTE* telegram, DWORD length) {
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SendPacketToLon(%X):\n", length);
    DWORD written = 0;
    if (instance->DllName) {
        LdvCall call(instance);
        // The library's answer is not examined: a write through it counts as whole.
        if (call.entered) {
            instance->ldv_write_overlapped(LdvOfHandle(instance->hLon.load()), telegram,
                                           static_cast<int32_t>(length), nullptr);
        }
        written = length;
    } else if (!WriteFile(instance->hLon.load(), telegram, length, &written, nullptr)) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"Error: Senden über LON nicht möglich: %d.\n",
                       static_cast<int>(GetLastError()));
        }
        return LON_SEND_FAILED;
    }
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SendPacketToLon(%X)=%X\n", length, written);
    return written == length ? LON_SEND_DONE : LON_SEND_INCOMPLETE;
}
