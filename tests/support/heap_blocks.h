// The blocks of this process's heaps as a Tool Help walk shows them, the way the thread registry
// finds its records: for tests that look for records, leaks and the heaps' own layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win.h"

namespace heapwalk {

// Every heap of the process; the process heap (LocalAlloc's) alone when `processHeapOnly`.
inline std::vector<uintptr_t> HeapIds(bool processHeapOnly = false) {
    std::vector<uintptr_t> ids;
    win::HANDLE snapshot =
        win::CreateToolhelp32Snapshot(win::TH32CS_SNAPHEAPLIST, win::GetCurrentProcessId());
    win::HEAPLIST32 list{};
    list.dwSize = 16;
    for (win::BOOL more = win::Heap32ListFirst(snapshot, &list); more;
         more = win::Heap32ListNext(snapshot, &list)) {
        if (!processHeapOnly || list.dwFlags == win::HF32_DEFAULT) ids.push_back(list.th32HeapID);
    }
    win::CloseToolhelp32Snapshot(snapshot);
    return ids;
}

// The blocks of one heap, used and free, in the walk's order.
inline std::vector<win::HEAPENTRY32> Blocks(uintptr_t heapId, bool usedOnly = false) {
    std::vector<win::HEAPENTRY32> blocks;
    win::HEAPENTRY32 entry{};
    entry.dwSize = 36;
    for (win::BOOL more = win::Heap32First(&entry, win::GetCurrentProcessId(), heapId); more;
         more = win::Heap32Next(&entry)) {
        if (!usedOnly || !(entry.dwFlags & win::LF32_FREE)) blocks.push_back(entry);
    }
    return blocks;
}

// The used blocks of every heap, or of the process heap alone.
inline size_t UsedBlockCount(bool processHeapOnly = false) {
    size_t count = 0;
    for (uintptr_t id : HeapIds(processHeapOnly)) count += Blocks(id, true).size();
    return count;
}

}  // namespace heapwalk
