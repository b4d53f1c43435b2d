// Walkable heaps. A heap is a list of chunks mapped from the kernel; each chunk is a run of
// blocks that each start with a 16-byte header, so Tool Help can step through a heap block by
// block. The process heap is also the local heap (LocalAlloc), as on the original platform.
#include "heaps.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "handles.h"
#include "syscalls.h"

namespace win::detail {
namespace {

constexpr size_t GRANULE = 16;
constexpr size_t GROW_BYTES = 64 * 1024;
constexpr size_t LARGEST_BLOCK = 0x7FFF0000;  // sizes must fit the walk's 32-bit fields
// The process heap lives as long as the process and is no table object. Its handle value has
// a zero index part, which the handle table never gives out.
HANDLE const PROCESS_HEAP_HANDLE = reinterpret_cast<HANDLE>(uintptr_t{0x7FFF0000});

struct BlockHeader {
    uint32_t capacity;  // payload bytes up to the next header
    uint32_t size;      // a used block's request, rounded up to the granule
    uint32_t used;
    uint32_t reserved;
};
static_assert(sizeof(BlockHeader) == GRANULE);

struct Chunk {
    std::byte* base;
    size_t bytes;
};

struct Heap : Object {
    std::mutex mutex;
    std::vector<Chunk> chunks;
    size_t limit = 0;  // total chunk bytes allowed; 0 for a growable heap
    size_t reserved = 0;
    ~Heap() override {
        for (const Chunk& chunk : chunks) munmap(chunk.base, chunk.bytes);
    }
};

struct HeapList {
    std::mutex mutex;
    std::vector<std::weak_ptr<Heap>> heaps;
    std::shared_ptr<Heap> processHeap;
};

size_t RoundUp(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::byte* Payload(BlockHeader* header) {
    return reinterpret_cast<std::byte*>(header + 1);
}

uintptr_t Address(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

BlockHeader* FirstBlock(const Chunk& chunk) {
    return reinterpret_cast<BlockHeader*>(chunk.base);
}

BlockHeader* Following(const Chunk& chunk, BlockHeader* header) {
    std::byte* next = Payload(header) + header->capacity;
    return next < chunk.base + chunk.bytes ? reinterpret_cast<BlockHeader*>(next) : nullptr;
}

bool Contains(const Chunk& chunk, uintptr_t address) {
    return address >= Address(chunk.base) && address < Address(chunk.base) + chunk.bytes;
}

// Caller holds the heap's lock (or owns the heap alone).
bool AddChunk(Heap& heap, size_t bytes) {
    bytes = RoundUp(bytes, PageSize());
    if (heap.limit != 0 && heap.reserved + bytes > heap.limit) return false;
    void* base =
        sys::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return false;
    // Fresh pages are zero: the chunk starts as one free block.
    Chunk chunk{static_cast<std::byte*>(base), bytes};
    FirstBlock(chunk)->capacity = static_cast<uint32_t>(bytes - sizeof(BlockHeader));
    heap.chunks.push_back(chunk);
    heap.reserved += bytes;
    return true;
}

// First fit; free neighbours are merged on the way.
void* TakeBlock(const Chunk& chunk, uint32_t size) {
    for (BlockHeader* block = FirstBlock(chunk); block; block = Following(chunk, block)) {
        if (block->used) continue;
        for (BlockHeader* next = Following(chunk, block); next && !next->used;
             next = Following(chunk, block)) {
            block->capacity += sizeof(BlockHeader) + next->capacity;
        }
        if (block->capacity < size) continue;
        if (block->capacity - size >= 2 * sizeof(BlockHeader)) {
            auto* rest = reinterpret_cast<BlockHeader*>(Payload(block) + size);
            *rest = {static_cast<uint32_t>(block->capacity - size - sizeof(BlockHeader)), 0, 0, 0};
            block->capacity = size;
        }
        block->used = 1;
        block->size = size;
        return Payload(block);
    }
    return nullptr;
}

void* Allocate(Heap& heap, uint32_t size) {
    for (const Chunk& chunk : heap.chunks) {
        if (void* p = TakeBlock(chunk, size)) return p;
    }
    size_t need = size + sizeof(BlockHeader);
    if (!AddChunk(heap, heap.limit != 0 ? need : std::max(need, GROW_BYTES))) return nullptr;
    return TakeBlock(heap.chunks.back(), size);
}

BlockHeader* FindUsedBlock(Heap& heap, const void* memory) {
    for (const Chunk& chunk : heap.chunks) {
        if (!Contains(chunk, Address(memory))) continue;
        for (BlockHeader* block = FirstBlock(chunk); block; block = Following(chunk, block)) {
            if (Payload(block) == memory) return block->used ? block : nullptr;
        }
        return nullptr;
    }
    return nullptr;
}

std::shared_ptr<Heap> MakeHeap(size_t initialSize, size_t maximumSize) {
    auto heap = std::make_shared<Heap>();
    heap->limit = maximumSize != 0 ? RoundUp(maximumSize, PageSize()) : 0;
    if (!AddChunk(*heap, std::max<size_t>(initialSize, 1))) return nullptr;
    return heap;
}

// Never destroyed: threads may still free memory while the process exits.
HeapList& Heaps() {
    static HeapList* const list = [] {
        auto* made = new HeapList;
        made->processHeap = MakeHeap(GROW_BYTES, 0);
        made->heaps.push_back(made->processHeap);
        return made;
    }();
    return *list;
}

std::shared_ptr<Heap> HeapOf(HANDLE handle) {
    HeapList& list = Heaps();
    if (handle == PROCESS_HEAP_HANDLE) return list.processHeap;
    return Lookup<Heap>(handle);
}

std::shared_ptr<Heap> HeapById(uintptr_t heapId) {
    HeapList& list = Heaps();
    std::lock_guard lock(list.mutex);
    for (const auto& weak : list.heaps) {
        auto heap = weak.lock();
        if (heap && Address(heap.get()) == heapId) return heap;
    }
    return nullptr;
}

}  // namespace

std::vector<uintptr_t> LiveHeapIds() {
    HeapList& list = Heaps();
    std::lock_guard lock(list.mutex);
    std::erase_if(list.heaps, [](const auto& weak) { return weak.expired(); });
    std::vector<uintptr_t> ids;
    for (const auto& weak : list.heaps) {
        if (auto heap = weak.lock()) ids.push_back(Address(heap.get()));
    }
    return ids;
}

uintptr_t ProcessHeapId() {
    return Address(Heaps().processHeap.get());
}

std::optional<HeapBlock> NextHeapBlock(uintptr_t heapId, uintptr_t address) {
    auto heap = HeapById(heapId);
    if (!heap) return std::nullopt;
    std::lock_guard lock(heap->mutex);
    // Blocks may have merged or split since `address` was reported: take the first block
    // that starts after it, in chunk order.
    bool started = address == 0;
    for (const Chunk& chunk : heap->chunks) {
        if (!started && !Contains(chunk, address)) continue;
        for (BlockHeader* block = FirstBlock(chunk); block; block = Following(chunk, block)) {
            uintptr_t at = Address(Payload(block));
            if (!started && at <= address) continue;
            return HeapBlock{at, block->used ? block->size : block->capacity,
                             block->used ? LF32_FIXED : LF32_FREE};
        }
        started = true;
    }
    return std::nullopt;
}

}  // namespace win::detail

namespace win {

using namespace detail;

HANDLE HeapCreate(DWORD /*options*/, SIZE_T initialSize, SIZE_T maximumSize) {
    auto heap = MakeHeap(initialSize, maximumSize);
    if (!heap) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = InsertObject(heap);
    if (!handle) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HeapList& list = Heaps();
    std::lock_guard lock(list.mutex);
    list.heaps.push_back(heap);
    return handle;
}

BOOL HeapDestroy(HANDLE handle) {
    auto heap = Lookup<Heap>(handle);
    if (!heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveObject(handle);
    return TRUE;
}

LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
    auto heap = HeapOf(handle);
    if (!heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (bytes > LARGEST_BLOCK) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto size = static_cast<uint32_t>(RoundUp(std::max<size_t>(bytes, 1), GRANULE));
    std::lock_guard lock(heap->mutex);
    void* memory = Allocate(*heap, size);
    if (!memory) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (flags & HEAP_ZERO_MEMORY) std::memset(memory, 0, size);
    return memory;
}

BOOL HeapFree(HANDLE handle, DWORD /*flags*/, LPVOID memory) {
    auto heap = HeapOf(handle);
    if (!heap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!memory) return TRUE;
    std::lock_guard lock(heap->mutex);
    BlockHeader* block = FindUsedBlock(*heap, memory);
    if (!block) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    block->used = 0;
    block->size = 0;
    return TRUE;
}

HANDLE GetProcessHeap() {
    return PROCESS_HEAP_HANDLE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return HeapAlloc(GetProcessHeap(), (flags & LMEM_ZEROINIT) ? HEAP_ZERO_MEMORY : 0, bytes);
}

HLOCAL LocalFree(HLOCAL memory) {
    return HeapFree(GetProcessHeap(), 0, memory) ? nullptr : memory;
}

}  // namespace win
