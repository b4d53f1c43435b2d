// Inside the platform layer: the walkable heaps behind HeapCreate, GetProcessHeap and
// LocalAlloc, as Tool Help sees them. Not for system code.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/win.h"
#include "private.h"

namespace win::detail {

// Heaps are named to Tool Help by their object's address, which is unique while they live.
std::vector<uintptr_t> LiveHeapIds();
uintptr_t ProcessHeapId();

struct HeapBlock {
    uintptr_t address;
    DWORD size;   // used blocks: the request rounded up to 16 bytes (88 gives 96)
    DWORD flags;  // LF32_FIXED or LF32_FREE
};

// The block after `address` (the first block when `address` is 0) in the heap `heapId`, as it
// stands now. Nothing when the heap is gone or has no further block.
std::optional<HeapBlock> NextHeapBlock(uintptr_t heapId, uintptr_t address);

}  // namespace win::detail
