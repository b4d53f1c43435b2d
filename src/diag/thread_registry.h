// The registry of running threads: one record per registered thread in a private heap, found
// again only by walking the process's heaps.
#pragma once

#include <atomic>

#include "platform/win.h"

// The record's bytes are a memory format: byte arrays keep it packed and little-endian.
struct ThreadRegistryBlock {
    char Magic[16];          // "QuorThreadMagic" and its zero
    win::BYTE ThreadId[4];   // little-endian
    win::BYTE ProcessId[4];  // little-endian
    char Name[64];           // at most 63 characters, always terminated
};
static_assert(sizeof(ThreadRegistryBlock) == 88);

// Null until the first registration; tests may replace it (with no registration running).
extern std::atomic<win::HANDLE> ThreadRegistryHeap;

void RegisterQuorThread(win::LPCWSTR name);
void UnRegisterQuorThread(win::DWORD threadId);
[[noreturn]] void ExitRegisteredThread(win::DWORD exitCode);

// Fills a zeroed record.
void WriteThreadRegistryBlock(ThreadRegistryBlock* block, win::DWORD threadId, win::DWORD processId,
                              win::LPCWSTR name);

// The heap walk reads candidates only through ReadProcessMemory and compares private copies,
// so it cannot fault on Linux; its two guards catch RegistryWalkFault instead. A test installs
// a probe that the walk calls at each of these points and that may throw it.
enum class RegistryWalkPoint { TakeSnapshot, ReadBlock, CompareBlock };
struct RegistryWalkFault {};
extern std::atomic<void (*)(RegistryWalkPoint)> RegistryWalkProbe;
