// Thread-local storage slots. A slot freed and allocated again reads null in every thread:
// each value carries the generation of the slot it was stored under.
#include <atomic>

#include "handles.h"

namespace win {

namespace {

constexpr DWORD SLOTS = 64;

struct SlotTable {
    std::mutex mutex;
    bool used[SLOTS] = {};
    std::atomic<uint32_t> generation[SLOTS] = {};
};

SlotTable& Slots() {
    static SlotTable* slots = new SlotTable;
    return *slots;
}

struct Value {
    LPVOID value = nullptr;
    uint32_t generation = 0;
};
thread_local Value tValues[SLOTS];

bool InUse(DWORD index) {
    if (index >= SLOTS) return false;
    std::lock_guard<std::mutex> lock(Slots().mutex);
    return Slots().used[index];
}

}  // namespace

DWORD TlsAlloc() {
    SlotTable& slots = Slots();
    std::lock_guard<std::mutex> lock(slots.mutex);
    for (DWORD i = 0; i < SLOTS; ++i) {
        if (!slots.used[i]) {
            slots.used[i] = true;
            slots.generation[i].fetch_add(1);
            return i;
        }
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD index) {
    if (!InUse(index)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Slots().mutex);
    Slots().used[index] = false;
    return TRUE;
}

LPVOID TlsGetValue(DWORD index) {
    if (!InUse(index)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    const Value& v = tValues[index];
    return v.generation == Slots().generation[index].load() ? v.value : nullptr;
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
    if (!InUse(index)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    tValues[index] = {value, Slots().generation[index].load()};
    return TRUE;
}

}  // namespace win
