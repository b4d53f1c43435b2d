// Cost of a registration and its release while `range` other records sit in the registry
// heap (three per server instance: the supervisor and its two pump threads).
#include <benchmark/benchmark.h>

#include "diag/thread_registry.h"

namespace {

void RegisterAndRelease(benchmark::State& state) {
    win::HANDLE heap = win::HeapCreate(0, sizeof(ThreadRegistryBlock), 0);
    ThreadRegistryHeap = heap;
    for (int64_t i = 0; i < state.range(0); ++i) {
        ThreadRegistryBlock* other = static_cast<ThreadRegistryBlock*>(
            win::HeapAlloc(heap, win::HEAP_ZERO_MEMORY, sizeof(ThreadRegistryBlock)));
        WriteThreadRegistryBlock(other, 0x7000 + static_cast<win::DWORD>(i), 1, L"Other");
    }
    for (auto _ : state) {
        RegisterQuorThread(L"Pump");
        UnRegisterQuorThread(win::GetCurrentThreadId());
    }
    ThreadRegistryHeap = nullptr;
    win::HeapDestroy(heap);
}
BENCHMARK(RegisterAndRelease)->Arg(0)->Arg(3)->Arg(30)->Arg(300);

void AllocateAndFree(benchmark::State& state) {
    win::HANDLE heap = win::HeapCreate(0, 0, 0);
    for (auto _ : state) {
        void* block = win::HeapAlloc(heap, 0, 88);
        benchmark::DoNotOptimize(block);
        win::HeapFree(heap, 0, block);
    }
    win::HeapDestroy(heap);
}
BENCHMARK(AllocateAndFree);

}  // namespace
