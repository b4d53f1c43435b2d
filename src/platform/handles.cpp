#include "handles.h"

#include <deque>
#include <vector>

namespace win::detail {

namespace {

// A value is (generation << 16) | (index + 1). Freed slots are reused oldest first, so a value
// comes back only after its slot has gone through every generation the bits can hold.
constexpr uintptr_t INDEX_BITS = 16;
constexpr uintptr_t INDEX_MASK = (uintptr_t{1} << INDEX_BITS) - 1;
constexpr size_t MAX_SLOTS = INDEX_MASK - 1;  // index + 1 never reaches all ones
constexpr uintptr_t GENERATION_MASK = ~uintptr_t{0} >> INDEX_BITS;

struct Slot {
    std::shared_ptr<Object> object;
    uintptr_t generation = 0;
};

struct Table {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::deque<size_t> freeSlots;
    size_t live = 0;
};

// Never destroyed: detached threads may still close handles while the process exits.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

bool Decode(HANDLE handle, size_t& index, uintptr_t& generation) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value & INDEX_MASK) == 0) return false;
    index = (value & INDEX_MASK) - 1;
    generation = value >> INDEX_BITS;
    return true;
}

}  // namespace

HANDLE InsertObject(std::shared_ptr<Object> object) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    size_t index;
    if (!table.freeSlots.empty()) {
        index = table.freeSlots.front();
        table.freeSlots.pop_front();
    } else if (table.slots.size() < MAX_SLOTS) {
        index = table.slots.size();
        table.slots.emplace_back();
    } else {
        return nullptr;
    }
    Slot& slot = table.slots[index];
    uintptr_t value;
    // HKEY_LOCAL_MACHINE lies in the range of values (generation 0x8000, second slot): a key
    // handed it would be taken for the registry's root, read from the file and never closed.
    do {
        slot.generation = (slot.generation + 1) & GENERATION_MASK;
        value = (slot.generation << INDEX_BITS) | (index + 1);
    } while (slot.generation == 0 || reinterpret_cast<HANDLE>(value) == HKEY_LOCAL_MACHINE);
    slot.object = std::move(object);
    ++table.live;
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupObject(HANDLE handle) {
    // Every handle-based call passes here, so a terminated thread ends at its next call.
    CheckTermination();
    size_t index;
    uintptr_t generation;
    if (!Decode(handle, index, generation)) return nullptr;
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (index >= table.slots.size() || table.slots[index].generation != generation) return nullptr;
    return table.slots[index].object;
}

std::shared_ptr<Object> RemoveObject(HANDLE handle) {
    size_t index;
    uintptr_t generation;
    if (!Decode(handle, index, generation)) return nullptr;
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (index >= table.slots.size() || table.slots[index].generation != generation ||
        !table.slots[index].object) {
        return nullptr;
    }
    std::shared_ptr<Object> object = std::move(table.slots[index].object);
    table.freeSlots.push_back(index);
    --table.live;
    return object;
}

size_t LiveHandleCount() {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.live;
}

}  // namespace win::detail

namespace win {

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<detail::Object> object = detail::RemoveObject(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->OnHandleClosed();
    return TRUE;
}

}  // namespace win
