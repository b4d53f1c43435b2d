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
constexpr int64_t LDV_GATE_CLOSED = int64_t(1) << 31;
constexpr int64_t LDV_GATE_INSIDE = LDV_GATE_CLOSED - 1;
// How long StopLon waits for threads to leave the library: 100 ms at most.
constexpr int LDV_LEAVE_WAITS = 10;
constexpr DWORD LDV_LEAVE_WAIT_MS = 10;

int64_t OpeningOf(int64_t gate) {
    return gate >> 32;
}

// The library's 32-bit interface value, kept in hLon.
HANDLE HandleOfLdv(int32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
}
int32_t LdvOfHandle(HANDLE h) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)));
}

// A pump thread's stay inside the library: entered unless StopLon has closed the gate. Leaves
// on every way out, the end of a terminated thread included, and counts only against its own
// opening: a thread that comes back after the next opening began leaves that one alone.
struct LdvCall {
    ServerInstance* instance;
    int64_t opening;
    bool entered = false;
    explicit LdvCall(ServerInstance* i) : instance(i) {
        int64_t gate = i->LdvGate.load();
        do {
            opening = OpeningOf(gate);
            if (gate & LDV_GATE_CLOSED) return;
        } while (!i->LdvGate.compare_exchange_weak(gate, gate + 1));
        entered = true;
    }
    // The opening was closed while the call was inside: the thread must not go on, as what it
    // would touch next may belong to the next cycle.
    bool ClosedInside() const {
        int64_t gate = instance->LdvGate.load();
        return entered && (OpeningOf(gate) != opening || (gate & LDV_GATE_CLOSED) != 0);
    }
    ~LdvCall() {
        if (!entered) return;
        int64_t gate = instance->LdvGate.load();
        while (OpeningOf(gate) == opening &&
               !instance->LdvGate.compare_exchange_weak(gate, gate - 1)) {
        }
    }
};

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

void Stop(ServerInstance* instance);

// The last opening is still loaded when a thread was inside at its StopLon. By now the
// supervisor has ended that thread, or given up on it (a thread that never reaches a platform
// call cannot be ended): such a thread may still be inside, so the library then stays loaded
// for the life of the process, and only the record lets go of it.
void ReleaseLastOpening(ServerInstance* instance) {
    Stop(instance);
    if (!instance->hDll) return;
    if (ZoneOn(ZONE_ERROR)) DebugPrint(L"LDV library kept loaded: a thread may still be inside\n");
    CloseHandle(instance->Overlapped.hEvent);
    instance->hDll = nullptr;
}

DWORD Start(ServerInstance* instance) {
    ReleaseLastOpening(instance);
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
    // A new opening: threads of an earlier one that are still inside never count against it.
    instance->LdvGate.store((OpeningOf(instance->LdvGate.load()) + 1) << 32);
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
    int64_t gate = instance->LdvGate.load();
    if ((gate & LDV_GATE_CLOSED) == 0) {
        instance->ldv_close(LdvOfHandle(instance->hLon.load()));
        EventModify(instance->Overlapped.hEvent, EVENT_SET);
        Sleep(10);
        gate = instance->LdvGate.fetch_or(LDV_GATE_CLOSED) | LDV_GATE_CLOSED;
        // A reader woken above, or a writer, leaves within moments; a hung call does not.
        for (int i = 0; i < LDV_LEAVE_WAITS && (gate & LDV_GATE_INSIDE) != 0; ++i) {
            Sleep(LDV_LEAVE_WAIT_MS);
            gate = instance->LdvGate.load();
        }
    }
    // A pump thread still inside (a library call that has not returned) must not have the code
    // pulled from under it. The supervisor ends it after its waits; the library is unloaded at
    // the next StopLon or StartLon, without waiting here.
    if ((gate & LDV_GATE_INSIDE) != 0) {
        if (ZoneOn(ZONE_ERROR)) DebugPrint(L"LDV library still in use: unloaded later\n");
        return;
    }
    CloseHandle(instance->Overlapped.hEvent);
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
    if (call.ClosedInside()) return LON_READ_FAILED;
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

// A telegram that did not reach the library, or that the library refused, is not written: the
// pump thread must not count it as delivered.
BOOL Write(ServerInstance* instance, const BYTE* telegram, DWORD length, DWORD* written) {
    LdvCall call(instance);
    if (!call.entered) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int32_t r = instance->ldv_write_overlapped(LdvOfHandle(instance->hLon.load()), telegram,
                                               static_cast<int32_t>(length), nullptr);
    if (call.ClosedInside()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (r != LDV_OK) return FALSE;  // with the library's last error
    *written = length;
    return TRUE;
}

}  // namespace

const LonWay LON_LIBRARY_WAY = {Start, Stop, Read, Write};
