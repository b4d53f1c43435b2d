// The library way: the interface is reached through the entry points of an LDV library loaded
// at open, which signals a named read event whenever a telegram can be read.
#include <cstring>
#include <memory>

#include "diag/debug.h"
#include "ldv/ldv.h"
#include "lon_link/lon_link.h"
#include "lon_link/lon_way.h"

using namespace win;

namespace {

constexpr DWORD EVENT_WAIT_MS = 1000;
// How long StopLon waits for threads to leave the library: 100 ms at most.
constexpr int LDV_LEAVE_WAITS = 10;
constexpr DWORD LDV_LEAVE_WAIT_MS = 10;
// How long the supervisor waits for the library's open or close before it goes on without it,
// as it waits for a pump thread to end.
constexpr DWORD LDV_CALL_WAIT_MS = 5000;

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

// Counts a thread out of the library, unless the opening it entered is over.
void Leave(ServerInstance* instance, int64_t opening) {
    int64_t gate = instance->LdvGate.load();
    while (OpeningOf(gate) == opening && !instance->LdvGate.compare_exchange_weak(gate, gate - 1)) {
    }
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
        if (entered) Leave(instance, opening);
    }
};

// The library's open or close on a thread of its own, so that the supervisor waits for it no
// longer than LDV_CALL_WAIT_MS. A call that outlasts the wait is abandoned: its thread finishes
// it alone and closes an interface that opened too late. The thread is counted in the gate
// from before it starts until after its last call, so the library stays loaded while it may be
// inside, and in LdvCallsOut until it ends.
constexpr int CALL_RUNNING = 0;
constexpr int CALL_DONE = 1;
constexpr int CALL_ABANDONED = 2;

struct LibraryCall {
    ServerInstance* instance = nullptr;
    int64_t opening = 0;
    LdvOpenFn open = nullptr;  // null for a close
    LdvCloseFn close = nullptr;
    char16_t devName[260] = {};
    BYTE neuronId[6] = {};
    char16_t eventName[32] = {};
    int32_t handle = 0;  // the interface to close, or the open's result
    DWORD error = 0;     // the last error after the call
    std::atomic<int> state{CALL_RUNNING};
};

DWORD RunLibraryCall(LPVOID parameter) {
    auto* held = static_cast<std::shared_ptr<LibraryCall>*>(parameter);
    std::shared_ptr<LibraryCall> call = std::move(*held);
    delete held;
    if (call->open) {
        call->handle = call->open(call->devName, call->neuronId, call->eventName);
    } else {
        call->close(call->handle);
    }
    call->error = GetLastError();
    int running = CALL_RUNNING;
    if (!call->state.compare_exchange_strong(running, CALL_DONE) && call->open &&
        call->handle >= 0) {
        call->close(call->handle);
    }
    Leave(call->instance, call->opening);
    call->instance->LdvCallsOut.fetch_sub(1);
    return 0;
}

// Runs the call, which may enter the library: the gate of the current opening is open. False
// when it has not returned within the wait.
bool CallLibrary(const std::shared_ptr<LibraryCall>& call) {
    ServerInstance* instance = call->instance;
    call->opening = OpeningOf(instance->LdvGate.fetch_add(1));
    instance->LdvCallsOut.fetch_add(1);
    auto* held = new std::shared_ptr<LibraryCall>(call);
    DWORD threadId;
    HANDLE thread = CreateThread(nullptr, 0, RunLibraryCall, held, 0, &threadId);
    if (thread) {
        WaitForSingleObject(thread, LDV_CALL_WAIT_MS);
        CloseHandle(thread);
    } else {
        RunLibraryCall(held);  // no thread to spare: the call runs here, without a bound
    }
    int running = CALL_RUNNING;
    return !call->state.compare_exchange_strong(running, CALL_ABANDONED);
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
    if (instance->LdvCallsOut.load() > 0) {
        // An open or close of an earlier cycle has not returned: the library is left alone.
        PrintSystemError(ERROR_SHARING_VIOLATION, L"LDV library still inside a call (%s)",
                         instance->DevName);
        return ERROR_SHARING_VIOLATION;
    }
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
    auto call = std::make_shared<LibraryCall>();
    call->instance = instance;
    call->open = instance->ldv_open_overlapped_neuronid;
    call->close = instance->ldv_close;
    WideToUtf16(instance->DevName, call->devName, 260);
    std::memcpy(call->neuronId, instance->NeuronId, sizeof call->neuronId);
    WideToUtf16(eventName, call->eventName, 32);
    bool returned = CallLibrary(call);
    if (returned && call->handle >= 0) {
        instance->hLon.store(HandleOfLdv(call->handle));
        return 0;
    }
    DWORD error = ERROR_TIMEOUT;
    if (!returned) {
        PrintSystemError(error, L"ldv_open_overlapped_neuronid(%s) has not returned",
                         instance->DevName);
    } else {
        error = call->error ? call->error : ERROR_DEV_NOT_EXIST;
        PrintSystemError(error, L"ldv_open_overlapped_neuronid(%s)=%d", instance->DevName,
                         call->handle);
    }
    // Nothing is open and no pump thread will start: the library goes now, unless the open
    // is still inside it.
    instance->LdvGate.fetch_or(LDV_GATE_CLOSED);
    Stop(instance);
    return error;
}

void Stop(ServerInstance* instance) {
    if (!instance->hDll) return;
    int64_t gate = instance->LdvGate.load();
    if ((gate & LDV_GATE_CLOSED) == 0) {
        auto call = std::make_shared<LibraryCall>();
        call->instance = instance;
        call->close = instance->ldv_close;
        call->handle = LdvOfHandle(instance->hLon.load());
        if (!CallLibrary(call)) {
            PrintSystemError(ERROR_TIMEOUT, L"ldv_close(%s) has not returned", instance->DevName);
        }
        EventModify(instance->Overlapped.hEvent, EVENT_SET);
        Sleep(10);
        gate = instance->LdvGate.fetch_or(LDV_GATE_CLOSED) | LDV_GATE_CLOSED;
        // A reader woken above, or a writer, leaves within moments; a hung call does not.
        for (int i = 0; i < LDV_LEAVE_WAITS && (gate & LDV_GATE_INSIDE) != 0; ++i) {
            Sleep(LDV_LEAVE_WAIT_MS);
            gate = instance->LdvGate.load();
        }
    }
    // A thread still inside (a library call that has not returned) must not have the code
    // pulled from under it. The supervisor ends a pump thread after its waits; the library is
    // unloaded at the next StopLon or StartLon, without waiting here.
    if ((gate & LDV_GATE_INSIDE) != 0) {
        if (ZoneOn(ZONE_ERROR)) DebugPrint(L"LDV library still in use: unloaded later\n");
        return;
    }
    CloseHandle(instance->Overlapped.hEvent);
    FreeLibrary(instance->hDll);
    instance->hDll = nullptr;
}

DWORD Read(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length, bool wait) {
    LdvCall call(instance);
    if (!call.entered) {
        // StopLon has closed the interface: a read can only fail.
        SetLastError(ERROR_INVALID_HANDLE);
        return LON_READ_FAILED;
    }
    if (WaitForSingleObject(instance->Overlapped.hEvent, wait ? EVENT_WAIT_MS : 0) !=
        WAIT_OBJECT_0) {
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
        if (wait) Sleep(1);
        return LON_READ_DONE;
    }
    return LON_READ_FAILED;
}

// A telegram that did not reach the library, or that the library refused, is not written: the
// pump thread must not count it as delivered. The library takes one telegram per call.
BOOL Write(ServerInstance* instance, const BYTE* telegrams, const DWORD* lengths, DWORD count,
           DWORD* written, DWORD* done) {
    *done = 0;
    LdvCall call(instance);
    if (!call.entered) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (const BYTE* telegram = telegrams; *done < count; telegram += lengths[(*done)++]) {
        int32_t r = instance->ldv_write_overlapped(LdvOfHandle(instance->hLon.load()), telegram,
                                                   static_cast<int32_t>(lengths[*done]), nullptr);
        if (call.ClosedInside()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (r != LDV_OK) return FALSE;  // with the library's last error
        written[*done] = lengths[*done];
    }
    return TRUE;
}

}  // namespace

const LonWay LON_LIBRARY_WAY = {Start, Stop, Read, Write};
