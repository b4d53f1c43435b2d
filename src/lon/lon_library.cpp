// The library way: the interface is reached through the entry points of an LDV library loaded
// at open, which signals a named read event whenever a telegram can be read.
#include <cstring>

#include "diag/debug.h"
#include "ldv/ldv.h"
#include "lon/lon_link.h"
#include "lon/lon_way.h"

using namespace win;

namespace {

constexpr DWORD EVENT_WAIT_MS = 1000;
constexpr int32_t LDV_GATE_CLOSED = INT32_MIN;

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

DWORD Start(ServerInstance* instance) {
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

void Stop(ServerInstance* instance) {
    if (!instance->hDll) return;
    HANDLE event = instance->Overlapped.hEvent;
    instance->ldv_close(LdvOfHandle(instance->hLon.load()));
    EventModify(event, EVENT_SET);
    Sleep(10);
    // A reader woken above may still be on its way into the library.
    DrainLdvCalls(instance);
    CloseHandle(event);
    FreeLibrary(instance->hDll);
    instance->hDll = nullptr;
}

DWORD Read(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length) {
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
    if (r == LDV_OK) {
        *length = TelegramLength(buffer, size);
        return LON_READ_DONE;
    }
    if (r == LDV_DEVICE_ERR && error == ERROR_IO_PENDING) {
        Sleep(1);
        return LON_READ_DONE;
    }
    return LON_READ_FAILED;
}

// The library's answer is not examined: a write through it counts as whole.
BOOL Write(ServerInstance* instance, const BYTE* telegram, DWORD length, DWORD* written) {
    LdvCall call(instance);
    if (call.entered) {
        instance->ldv_write_overlapped(LdvOfHandle(instance->hLon.load()), telegram,
                                       static_cast<int32_t>(length), nullptr);
    }
    *written = length;
    return TRUE;
}

}  // namespace

const LonWay LON_LIBRARY_WAY = {Start, Stop, Read, Write};
