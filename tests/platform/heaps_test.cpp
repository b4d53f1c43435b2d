// Private heaps, the process heap and LocalAlloc, seen through their own calls and through a
// Tool Help walk.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/win.h"
#include "support/heap_blocks.h"

namespace {

using namespace win;

using heapwalk::Blocks;
using heapwalk::HeapIds;

// The heap in which `block` is a used block; 0 if none.
uintptr_t HeapIdOf(const void* block) {
    for (uintptr_t id : HeapIds()) {
        for (const HEAPENTRY32& entry : Blocks(id, true)) {
            if (entry.dwAddress == reinterpret_cast<uintptr_t>(block)) return id;
        }
    }
    return 0;
}

TEST(Heaps, WalkReportsUsedAndFreeBlocksWithRoundedSizes) {
    HANDLE heap = HeapCreate(0, 88, 0);
    ASSERT_NE(heap, nullptr);
    void* record = HeapAlloc(heap, HEAP_ZERO_MEMORY, 88);
    void* small = HeapAlloc(heap, 0, 1);
    void* freed = HeapAlloc(heap, 0, 40);
    ASSERT_TRUE(record && small && freed);
    ASSERT_TRUE(HeapFree(heap, 0, freed));
    uintptr_t id = HeapIdOf(record);
    ASSERT_NE(id, 0u);

    std::vector<HEAPENTRY32> blocks = Blocks(id);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].dwAddress, reinterpret_cast<uintptr_t>(record));
    EXPECT_EQ(blocks[0].dwBlockSize, 96u);
    EXPECT_EQ(blocks[0].dwFlags, LF32_FIXED);
    EXPECT_EQ(blocks[1].dwBlockSize, 16u);
    EXPECT_EQ(blocks[2].dwAddress, reinterpret_cast<uintptr_t>(freed));
    EXPECT_TRUE(blocks[2].dwFlags & LF32_FREE);
    EXPECT_EQ(blocks[0].th32HeapID, id);
    EXPECT_EQ(Blocks(id, true).size(), 2u);

    EXPECT_TRUE(HeapDestroy(heap));
    EXPECT_EQ(HeapIdOf(record), 0u);
    EXPECT_TRUE(Blocks(id).empty());
}

TEST(Heaps, ZeroMemoryClearsAReusedBlock) {
    HANDLE heap = HeapCreate(0, 0, 0);
    auto* first = static_cast<unsigned char*>(HeapAlloc(heap, 0, 88));
    std::memset(first, 0xAB, 88);
    ASSERT_TRUE(HeapFree(heap, 0, first));
    auto* again = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 88));
    EXPECT_EQ(again, first);
    for (int i = 0; i < 88; ++i) ASSERT_EQ(again[i], 0) << i;
    HeapDestroy(heap);
}

TEST(Heaps, FreeRefusesWhatItDidNotHandOut) {
    HANDLE heap = HeapCreate(0, 0, 0);
    HANDLE other = HeapCreate(0, 0, 0);
    auto* block = static_cast<char*>(HeapAlloc(heap, 0, 64));
    int local = 0;
    EXPECT_FALSE(HeapFree(heap, 0, block + 16));
    EXPECT_FALSE(HeapFree(heap, 0, &local));
    EXPECT_FALSE(HeapFree(other, 0, block));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_FALSE(HeapFree(heap, 0, block));  // twice
    EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
    HeapDestroy(other);
    HeapDestroy(heap);
    EXPECT_EQ(HeapAlloc(heap, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A bounded heap refuses to grow past its maximum; within it, freed neighbours merge again.
TEST(Heaps, BoundedHeapRefusesToGrowPastItsMaximumAndMergesFreedBlocks) {
    HANDLE heap = HeapCreate(0, 4096, 8192);
    ASSERT_NE(heap, nullptr);
    void* first = HeapAlloc(heap, 0, 3000);
    EXPECT_NE(HeapAlloc(heap, 0, 3000), nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, 3000), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_TRUE(HeapFree(heap, 0, first));  // beside the rest of its page, free all along
    EXPECT_NE(HeapAlloc(heap, 0, 4000), nullptr);
    HeapDestroy(heap);
}

// Random allocations and frees across several chunks: no two live blocks may overlap, and
// every block keeps its contents.
TEST(Heaps, BlocksNeverOverlapUnderRandomUse) {
    HANDLE heap = HeapCreate(0, 88, 0);
    std::mt19937 random(7);
    struct Live {
        unsigned char* p;
        size_t size;
        unsigned char fill;
    };
    std::vector<Live> live;
    for (int step = 0; step < 4000; ++step) {
        if (!live.empty() && random() % 3 == 0) {
            size_t i = random() % live.size();
            for (size_t k = 0; k < live[i].size; ++k) ASSERT_EQ(live[i].p[k], live[i].fill);
            ASSERT_TRUE(HeapFree(heap, 0, live[i].p));
            live.erase(live.begin() + static_cast<long>(i));
        } else {
            size_t size = 1 + random() % 3000;
            auto* p = static_cast<unsigned char*>(HeapAlloc(heap, 0, size));
            ASSERT_NE(p, nullptr);
            auto fill = static_cast<unsigned char>(step);
            std::memset(p, fill, size);
            live.push_back({p, size, fill});
        }
    }
    for (const Live& block : live) {
        for (size_t k = 0; k < block.size; ++k) ASSERT_EQ(block.p[k], block.fill);
    }
    EXPECT_EQ(Blocks(HeapIdOf(live.front().p), true).size(), live.size());
    HeapDestroy(heap);
}

TEST(Heaps, LocalAllocBlocksAreZeroedAndWalkable) {
    // Dirty a block first, so that the zeroed one is likely to reuse its bytes.
    void* dirty = LocalAlloc(LMEM_FIXED, 128);
    std::memset(dirty, 0xFF, 128);
    ASSERT_EQ(LocalFree(dirty), nullptr);
    auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 128));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(block[i], 0) << i;
    uintptr_t id = HeapIdOf(block);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(HeapIdOf(HeapAlloc(GetProcessHeap(), 0, 8)), id);  // the process heap

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPHEAPLIST, 0);
    HEAPLIST32 list{};
    ASSERT_TRUE(Heap32ListFirst(snapshot, &list));
    EXPECT_EQ(list.th32HeapID, id);
    EXPECT_EQ(list.dwFlags, HF32_DEFAULT);
    CloseToolhelp32Snapshot(snapshot);

    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(LocalFree(block), block);  // already free
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(Heaps, WalksAllocationsAndFreesFromManyThreadsAtOnce) {
    HANDLE heap = HeapCreate(0, 88, 0);
    void* anchor = HeapAlloc(heap, 0, 88);
    uintptr_t id = HeapIdOf(anchor);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto release = [&](void* p) {
                if (!HeapFree(heap, 0, p)) {
                    EXPECT_EQ(LocalFree(p), nullptr);
                }
            };
            std::vector<void*> mine;
            for (int i = 0; i < 2000; ++i) {
                void* p = (i + t) % 2 == 0 ? HeapAlloc(heap, HEAP_ZERO_MEMORY, 88)
                                           : LocalAlloc(LPTR, 24 + i % 200);
                ASSERT_NE(p, nullptr);
                mine.push_back(p);
                if (mine.size() > 20) {
                    release(mine.front());
                    mine.erase(mine.begin());
                }
            }
            for (void* p : mine) release(p);
        });
    }
    std::thread walker([&] {
        while (!stop.load()) {
            for (uintptr_t heapId : HeapIds()) {
                for (const HEAPENTRY32& entry : Blocks(heapId)) {
                    ASSERT_NE(entry.dwBlockSize, 0u);
                }
            }
        }
    });
    for (auto& thread : threads) thread.join();
    stop = true;
    walker.join();
    ASSERT_EQ(Blocks(id, true).size(), 1u);
    EXPECT_EQ(Blocks(id, true)[0].dwAddress, reinterpret_cast<uintptr_t>(anchor));
    HeapDestroy(heap);
}

}  // namespace
