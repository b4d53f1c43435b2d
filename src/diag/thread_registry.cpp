// Thread registry: records in a private heap, released by a heap walk.
#include "diag/thread_registry.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "diag/debug.h"

std::atomic<win::HANDLE> ThreadRegistryHeap{nullptr};
std::atomic<void (*)(RegistryWalkPoint)> RegistryWalkProbe{nullptr};

namespace {

constexpr char THREAD_MAGIC[16] = "QuorThreadMagic";
static_assert(sizeof THREAD_MAGIC == sizeof ThreadRegistryBlock::Magic);
constexpr win::DWORD RECORD_BLOCK_SIZE = 96;  // what a walk reports for an 88-byte record
constexpr win::DWORD HEAP_LIST_SIZE = 16;
constexpr win::DWORD HEAP_ENTRY_SIZE = 36;

void StoreLittleEndian(win::BYTE* out, win::DWORD value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<win::BYTE>(value >> (8 * i));
}

win::DWORD LoadLittleEndian(const win::BYTE* in) {
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<win::DWORD>(in[3]) << 24;
}

void Probe(RegistryWalkPoint point) {
    if (auto probe = RegistryWalkProbe.load(std::memory_order_relaxed)) probe(point);
}

// Created once even when several threads register for the first time together: records are
// released through this one handle.
win::HANDLE RegistryHeap() {
    win::HANDLE heap = ThreadRegistryHeap.load(std::memory_order_acquire);
    if (heap) return heap;
    static std::mutex creation;
    std::lock_guard lock(creation);
    heap = ThreadRegistryHeap.load(std::memory_order_acquire);
    if (!heap) {
        heap = win::HeapCreate(0, sizeof(ThreadRegistryBlock), 0);
        ThreadRegistryHeap.store(heap, std::memory_order_release);
    }
    return heap;
}

// Handles of the walk are closed also when a fault or the thread's end leaves it early.
using HandleCloser = std::unique_ptr<void, win::BOOL (*)(win::HANDLE)>;

bool ReadCandidate(const win::HEAPENTRY32& entry, ThreadRegistryBlock* copy) {
    Probe(RegistryWalkPoint::ReadBlock);
    win::HANDLE process = win::OpenProcess(0, win::FALSE, entry.th32ProcessID);
    if (!process) return false;
    HandleCloser closer(process, win::CloseHandle);
    win::SIZE_T got = 0;
    win::BOOL read = win::ReadProcessMemory(
        process, reinterpret_cast<win::LPCVOID>(entry.dwAddress), copy, sizeof *copy, &got);
    return read && got == sizeof *copy;
}

// The inner guard: a fault here skips only this block.
bool ReleaseIfRecordOf(win::HANDLE heap, const ThreadRegistryBlock& copy, uintptr_t address,
                       win::DWORD threadId) {
    try {
        Probe(RegistryWalkPoint::CompareBlock);
        if (std::memcmp(copy.Magic, THREAD_MAGIC, sizeof THREAD_MAGIC) != 0) return false;
        if (LoadLittleEndian(copy.ThreadId) != threadId) return false;
        win::HeapFree(heap, 0, reinterpret_cast<win::LPVOID>(address));
        return true;
    } catch (const RegistryWalkFault&) {
        DebugPrint(L"RtlEqualMemory(): __except()\n");
        return false;
    }
}

// The second used block of a heap that is not record-sized ends the walk of that heap.
bool ReleaseFromHeap(win::HANDLE heap, const win::HEAPLIST32& list, win::DWORD threadId,
                     ThreadRegistryBlock* copy) {
    win::HEAPENTRY32 entry{};
    entry.dwSize = HEAP_ENTRY_SIZE;
    if (!win::Heap32First(&entry, list.th32ProcessID, list.th32HeapID)) return false;
    int foreign = 0;
    do {
        if (entry.dwFlags & win::LF32_FREE) continue;
        if (entry.dwBlockSize != RECORD_BLOCK_SIZE) {
            if (++foreign == 2) return false;
            continue;
        }
        if (ReadCandidate(entry, copy) && ReleaseIfRecordOf(heap, *copy, entry.dwAddress, threadId))
            return true;
    } while (win::Heap32Next(&entry));
    return false;
}

void ReleaseRecord(win::HANDLE heap, win::DWORD threadId) {
    Probe(RegistryWalkPoint::TakeSnapshot);
    win::HANDLE snapshot =
        win::CreateToolhelp32Snapshot(win::TH32CS_SNAPHEAPLIST, win::GetCurrentProcessId());
    if (snapshot == win::INVALID_HANDLE_VALUE) return;
    HandleCloser closer(snapshot, win::CloseToolhelp32Snapshot);
    ThreadRegistryBlock copy{};
    win::HEAPLIST32 list{};
    list.dwSize = HEAP_LIST_SIZE;
    for (win::BOOL more = win::Heap32ListFirst(snapshot, &list); more;
         more = win::Heap32ListNext(snapshot, &list)) {
        if (ReleaseFromHeap(heap, list, threadId, &copy)) return;
    }
}

}  // namespace

void WriteThreadRegistryBlock(ThreadRegistryBlock* block, win::DWORD threadId, win::DWORD processId,
                              win::LPCWSTR name) {
    std::memcpy(block->Magic, THREAD_MAGIC, sizeof THREAD_MAGIC);
    StoreLittleEndian(block->ThreadId, threadId);
    StoreLittleEndian(block->ProcessId, processId);
    // The last byte keeps its zero when the name is cut.
    win::_snprintf(block->Name, sizeof block->Name - 1, "%ls", name);
}

void RegisterQuorThread(win::LPCWSTR name) {
    win::DWORD threadId = win::GetCurrentThreadId();
    if (ZoneOn(ZONE_THREAD)) DebugPrint(L"%ls: ThreadId=%08X\n", name, threadId);
    win::HANDLE heap = RegistryHeap();
    if (!heap) return;
    auto* block = static_cast<ThreadRegistryBlock*>(
        win::HeapAlloc(heap, win::HEAP_ZERO_MEMORY, sizeof(ThreadRegistryBlock)));
    if (!block) return;
    WriteThreadRegistryBlock(block, threadId, win::GetCurrentProcessId(), name);
}

void UnRegisterQuorThread(win::DWORD threadId) {
    win::HANDLE heap = ThreadRegistryHeap.load(std::memory_order_acquire);
    if (!heap) return;
    try {
        ReleaseRecord(heap, threadId);
    } catch (const RegistryWalkFault&) {
        DebugPrint(L"UnRegisterQuorThread(%08X): __except()\n", threadId);
    }
}

void ExitRegisteredThread(win::DWORD exitCode) {
    win::DWORD threadId = win::GetCurrentThreadId();
    if (ZoneOn(ZONE_THREAD)) DebugPrint(L"ThreadId=%08X: ExitThread(%X)\n", threadId, exitCode);
    UnRegisterQuorThread(threadId);
    ClearThreadDebugName();
    win::ExitThread(exitCode);
}
