// Tool Help: snapshots of the process list and of the heap list. A heap-list snapshot copies
// the list of heaps; the block walk then steps through a heap as it stands, under its lock.
// Only the own process is visible.
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "handles.h"
#include "heaps.h"

namespace win::detail {
namespace {

struct Snapshot : Object {
    std::mutex mutex;
    std::vector<PROCESSENTRY32> processes;
    std::vector<HEAPLIST32> heaps;
    size_t nextProcess = 0;
    size_t nextHeap = 0;
};

std::string ProgramFileName() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string full(path, static_cast<size_t>(n));
    return full.substr(full.rfind('/') + 1);
}

PROCESSENTRY32 OwnProcessEntry() {
    PROCESSENTRY32 entry{};
    entry.dwSize = PROCESSENTRY32_SIZE;
    entry.cntUsage = 1;
    entry.th32ProcessID = GetCurrentProcessId();
    entry.th32ParentProcessID = static_cast<DWORD>(getppid());
    std::string name = ProgramFileName();
    constexpr size_t room = sizeof entry.szExeFile / sizeof(WCHAR) - 1;
    if (std::mbstowcs(entry.szExeFile, name.c_str(), room) == static_cast<size_t>(-1)) {
        for (size_t i = 0; i < name.size() && i < room; ++i) {
            entry.szExeFile[i] = static_cast<unsigned char>(name[i]);
        }
    }
    return entry;
}

std::vector<HEAPLIST32> OwnHeapList() {
    std::vector<HEAPLIST32> list;
    for (uintptr_t id : LiveHeapIds()) {
        DWORD flags = id == ProcessHeapId() ? HF32_DEFAULT : 0;
        list.push_back({sizeof(HEAPLIST32), GetCurrentProcessId(), id, flags});
    }
    return list;
}

// First/Next of both lists: copy the entry at the cursor, keeping the caller's size field.
template <class Entry>
BOOL TakeEntry(HANDLE handle, std::vector<Entry> Snapshot::*entries, size_t Snapshot::*cursor,
               bool first, Entry* out) {
    auto snapshot = Lookup<Snapshot>(handle);
    if (!snapshot || !out) {
        SetLastError(snapshot ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(snapshot->mutex);
    size_t& next = (*snapshot).*cursor;
    const auto& list = (*snapshot).*entries;
    if (first) next = 0;
    if (next >= list.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    DWORD size = out->dwSize;
    *out = list[next++];
    out->dwSize = size;
    return TRUE;
}

bool IsOwnProcess(DWORD processId) {
    return processId == 0 || processId == GetCurrentProcessId();
}

BOOL FillHeapEntry(HEAPENTRY32* entry, uintptr_t heapId, uintptr_t after) {
    auto block = NextHeapBlock(heapId, after);
    if (!block) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    entry->hHandle = reinterpret_cast<HANDLE>(block->address);
    entry->dwAddress = block->address;
    entry->dwBlockSize = block->size;
    entry->dwFlags = block->flags;
    entry->dwLockCount = 0;
    entry->dwResvd = 0;
    entry->th32ProcessID = GetCurrentProcessId();
    entry->th32HeapID = heapId;
    return TRUE;
}

}  // namespace
}  // namespace win::detail

namespace win {

using namespace detail;

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
    if ((flags & TH32CS_SNAPHEAPLIST) && !IsOwnProcess(processId)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto snapshot = std::make_shared<Snapshot>();
    if (flags & TH32CS_SNAPPROCESS) snapshot->processes.push_back(OwnProcessEntry());
    if (flags & TH32CS_SNAPHEAPLIST) snapshot->heaps = OwnHeapList();
    HANDLE handle = InsertObject(snapshot);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Like CloseHandle, safe while a terminated thread unwinds.
BOOL CloseToolhelp32Snapshot(HANDLE snapshot) {
    return CloseHandle(snapshot);
}

BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry) {
    return TakeEntry(snapshot, &Snapshot::processes, &Snapshot::nextProcess, true, entry);
}

BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry) {
    return TakeEntry(snapshot, &Snapshot::processes, &Snapshot::nextProcess, false, entry);
}

BOOL Heap32ListFirst(HANDLE snapshot, HEAPLIST32* list) {
    return TakeEntry(snapshot, &Snapshot::heaps, &Snapshot::nextHeap, true, list);
}

BOOL Heap32ListNext(HANDLE snapshot, HEAPLIST32* list) {
    return TakeEntry(snapshot, &Snapshot::heaps, &Snapshot::nextHeap, false, list);
}

BOOL Heap32First(HEAPENTRY32* entry, DWORD processId, uintptr_t heapId) {
    if (!entry || !IsOwnProcess(processId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return FillHeapEntry(entry, heapId, 0);
}

BOOL Heap32Next(HEAPENTRY32* entry) {
    if (!entry) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return FillHeapEntry(entry, entry->th32HeapID, entry->dwAddress);
}

}  // namespace win
