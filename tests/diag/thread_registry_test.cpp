// The thread registry: record bytes, release by heap walk, its two guards, and threads that
// register and exit together.
#include "diag/thread_registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "platform/handles.h"
#include "support/emulation.h"
#include "support/heap_blocks.h"
#include "support/log_capture.h"

namespace {

using namespace win;
using ::testing::HasSubstr;

using heapwalk::HeapIds;

std::vector<ThreadRegistryBlock*> UsedBlocks(uintptr_t heapId) {
    std::vector<ThreadRegistryBlock*> used;
    for (const HEAPENTRY32& entry : heapwalk::Blocks(heapId, true)) {
        used.push_back(reinterpret_cast<ThreadRegistryBlock*>(entry.dwAddress));
    }
    return used;
}

// Records of `threadId` in any heap.
std::vector<ThreadRegistryBlock*> RecordsOf(DWORD threadId) {
    std::vector<ThreadRegistryBlock*> records;
    for (uintptr_t id : HeapIds()) {
        for (ThreadRegistryBlock* block : UsedBlocks(id)) {
            DWORD owner;
            std::memcpy(&owner, block->ThreadId, 4);
            if (std::memcmp(block->Magic, "QuorThreadMagic", 16) == 0 && owner == threadId) {
                records.push_back(block);
            }
        }
    }
    return records;
}

bool StillAllocated(const void* block) {
    for (uintptr_t id : HeapIds()) {
        for (ThreadRegistryBlock* used : UsedBlocks(id)) {
            if (used == block) return true;
        }
    }
    return false;
}

// The probe runs on every thread that walks.
struct ProbeLog {
    std::atomic<int> snapshots{0};
    std::atomic<int> reads{0};
    std::atomic<int> compares{0};
    std::atomic<RegistryWalkPoint> faultAt{};
    std::atomic<int> faultsLeft{0};
};
ProbeLog probeLog;

void RecordingProbe(RegistryWalkPoint point) {
    if (point == RegistryWalkPoint::TakeSnapshot) ++probeLog.snapshots;
    if (point == RegistryWalkPoint::ReadBlock) ++probeLog.reads;
    if (point == RegistryWalkPoint::CompareBlock) ++probeLog.compares;
    if (point == probeLog.faultAt && probeLog.faultsLeft.fetch_sub(1) > 0) {
        throw RegistryWalkFault{};
    }
}

class ThreadRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        savedMask = DebugZoneSettings.ulZoneMask;
        SetDebugZoneMask(0);
        ThreadRegistryHeap = nullptr;  // as at program start
        probeLog.snapshots = probeLog.reads = probeLog.compares = probeLog.faultsLeft = 0;
        RegistryWalkProbe = RecordingProbe;
    }
    void TearDown() override {
        RegistryWalkProbe = nullptr;
        if (HANDLE heap = ThreadRegistryHeap.exchange(nullptr)) HeapDestroy(heap);
        SetDebugZoneMask(savedMask);
    }
    void FaultAt(RegistryWalkPoint point, int times) {
        probeLog.faultAt = point;
        probeLog.faultsLeft = times;
    }
    DWORD savedMask = 0;
};

TEST_F(ThreadRegistry, RecordHoldsMagicIdsAndACutName) {
    ThreadRegistryBlock block{};
    std::wstring name(70, L'n');
    name[62] = L'X';
    WriteThreadRegistryBlock(&block, 0x12345678, 0x00A0B0C0, name.c_str());
    auto* bytes = reinterpret_cast<const unsigned char*>(&block);
    EXPECT_EQ(std::memcmp(bytes, "QuorThreadMagic\0", 16), 0);
    EXPECT_EQ(bytes[15], 0);
    const unsigned char ids[8] = {0x78, 0x56, 0x34, 0x12, 0xC0, 0xB0, 0xA0, 0x00};
    EXPECT_EQ(std::memcmp(bytes + 16, ids, 8), 0);
    EXPECT_EQ(std::string(block.Name), std::string(62, 'n') + "X");
    EXPECT_EQ(bytes[24 + 63], 0);
}

TEST_F(ThreadRegistry, RegistrationLeavesOneRecordThatUnregistrationReleases) {
    SKIP_WITHOUT_PROCESS_READS();
    RegisterQuorThread(L"MainLoop(49152)");
    std::vector<ThreadRegistryBlock*> records = RecordsOf(GetCurrentThreadId());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(records[0]->Name, "MainLoop(49152)");
    DWORD processId;
    std::memcpy(&processId, records[0]->ProcessId, 4);
    EXPECT_EQ(processId, GetCurrentProcessId());

    UnRegisterQuorThread(GetCurrentThreadId());
    EXPECT_TRUE(RecordsOf(GetCurrentThreadId()).empty());
    EXPECT_EQ(probeLog.snapshots, 1);
}

TEST_F(ThreadRegistry, UnregisteringBeforeAnyRegistrationTakesNoSnapshot) {
    size_t handles = detail::LiveHandleCount();
    UnRegisterQuorThread(GetCurrentThreadId());
    EXPECT_EQ(probeLog.snapshots, 0);
    EXPECT_EQ(ThreadRegistryHeap.load(), nullptr);
    EXPECT_EQ(detail::LiveHandleCount(), handles);
}

TEST_F(ThreadRegistry, UnknownIdReleasesNothing) {
    SKIP_WITHOUT_PROCESS_READS();
    RegisterQuorThread(L"Pump");
    ThreadRegistryBlock* record = RecordsOf(GetCurrentThreadId()).at(0);
    size_t handles = detail::LiveHandleCount();
    UnRegisterQuorThread(GetCurrentThreadId() ^ 0x80000000);
    EXPECT_TRUE(StillAllocated(record));
    EXPECT_GE(probeLog.compares, 1);
    EXPECT_EQ(detail::LiveHandleCount(), handles);
}

// Non-record blocks ahead of the record in its heap: the second used one ends the heap's walk.
TEST_F(ThreadRegistry, SecondForeignBlockOfAHeapHidesTheRecordsBehindIt) {
    SKIP_WITHOUT_PROCESS_READS();
    struct Case {
        int foreign;
        bool freeTheSecond;
        bool released;
    };
    for (Case c : {Case{1, false, true}, Case{2, false, false}, Case{2, true, true}}) {
        SCOPED_TRACE(testing::Message()
                     << c.foreign << " foreign, second freed " << c.freeTheSecond);
        HANDLE heap = HeapCreate(0, 88, 0);
        void* second = nullptr;
        for (int i = 0; i < c.foreign; ++i) second = HeapAlloc(heap, 0, 40 + 160 * i);
        ThreadRegistryHeap = heap;
        RegisterQuorThread(L"Pump");
        if (c.freeTheSecond) HeapFree(heap, 0, second);
        ThreadRegistryBlock* record = RecordsOf(GetCurrentThreadId()).at(0);

        UnRegisterQuorThread(GetCurrentThreadId());
        EXPECT_EQ(StillAllocated(record), !c.released);
        HeapDestroy(ThreadRegistryHeap.exchange(nullptr));
    }
}

TEST_F(ThreadRegistry, SixteenthMagicByteMustBeZero) {
    SKIP_WITHOUT_PROCESS_READS();
    RegisterQuorThread(L"Pump");
    ThreadRegistryBlock* record = RecordsOf(GetCurrentThreadId()).at(0);
    record->Magic[15] = '!';
    UnRegisterQuorThread(GetCurrentThreadId());
    EXPECT_TRUE(StillAllocated(record));
    record->Magic[15] = '\0';
    UnRegisterQuorThread(GetCurrentThreadId());
    EXPECT_FALSE(StillAllocated(record));
}

TEST_F(ThreadRegistry, FaultInTheWalkEndsItWithAMessageAndClosesItsHandles) {
    RegisterQuorThread(L"Pump");
    ThreadRegistryBlock* record = RecordsOf(GetCurrentThreadId()).at(0);
    size_t handles = detail::LiveHandleCount();
    FaultAt(RegistryWalkPoint::ReadBlock, 1);
    CaptureLog();
    UnRegisterQuorThread(0x0000ABCD);
    std::string out = CapturedLog();
    EXPECT_THAT(out, HasSubstr("UnRegisterQuorThread(0000ABCD): __except()\n"));
    EXPECT_EQ(probeLog.reads, 1);  // the walk went no further
    EXPECT_TRUE(StillAllocated(record));
    EXPECT_EQ(detail::LiveHandleCount(), handles);
}

TEST_F(ThreadRegistry, FaultWhileComparingSkipsOnlyThatBlock) {
    SKIP_WITHOUT_PROCESS_READS();
    RegisterQuorThread(L"Pump");
    RegisterQuorThread(L"Pump");  // two records: the second must still be found
    ASSERT_EQ(RecordsOf(GetCurrentThreadId()).size(), 2u);
    FaultAt(RegistryWalkPoint::CompareBlock, 1);
    CaptureLog();
    UnRegisterQuorThread(GetCurrentThreadId());
    std::string out = CapturedLog();
    EXPECT_THAT(out, HasSubstr("RtlEqualMemory(): __except()\n"));
    EXPECT_THAT(out, Not(HasSubstr("UnRegisterQuorThread")));
    EXPECT_EQ(RecordsOf(GetCurrentThreadId()).size(), 1u);
}

struct Pump {
    HANDLE start = nullptr;
    DWORD exitCode = 0;
    DWORD threadId = 0;
};

DWORD RegisterAndExit(LPVOID parameter) {
    auto* pump = static_cast<Pump*>(parameter);
    pump->threadId = GetCurrentThreadId();
    if (pump->start) WaitForSingleObject(pump->start, INFINITE);
    RegisterQuorThread(L"Pump");
    ExitRegisteredThread(pump->exitCode);
}

DWORD RunToEnd(Pump* pump) {
    HANDLE thread = CreateThread(nullptr, 0, RegisterAndExit, pump, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

TEST_F(ThreadRegistry, ThreadExitStillEndsTheThreadAfterAFault) {
    RegisterQuorThread(L"Main");  // the heap exists, so the walk starts
    FaultAt(RegistryWalkPoint::TakeSnapshot, 1);
    Pump pump{nullptr, 7};
    CaptureLog();
    EXPECT_EQ(RunToEnd(&pump), 7u);
    std::string out = CapturedLog();
    char expected[64];
    std::snprintf(expected, sizeof expected, "UnRegisterQuorThread(%08X): __except()\n",
                  pump.threadId);
    EXPECT_THAT(out, HasSubstr(expected));
}

TEST_F(ThreadRegistry, ThreadZoneGatesRegistrationAndExitMessages) {
    SKIP_WITHOUT_PROCESS_READS();
    SetDebugZoneMask(~ZONE_THREAD);
    Pump pump{nullptr, 0x2A};
    CaptureLog();
    EXPECT_EQ(RunToEnd(&pump), 0x2Au);
    EXPECT_EQ(CapturedLog(), "");
    EXPECT_TRUE(RecordsOf(pump.threadId).empty());

    SetDebugZoneMask(ZONE_THREAD);
    CaptureLog();
    RunToEnd(&pump);
    std::string out = CapturedLog();
    char registered[64], exited[64];
    std::snprintf(registered, sizeof registered, "Pump: ThreadId=%08X\n", pump.threadId);
    std::snprintf(exited, sizeof exited, "ThreadId=%08X: ExitThread(2A)\n", pump.threadId);
    EXPECT_THAT(out, HasSubstr(registered));
    EXPECT_THAT(out, HasSubstr(exited));
}

DWORD NameRegisterAndExit(LPVOID) {
    SetThreadDebugName(L"Pump");
    RegisterQuorThread(L"Pump");
    ExitRegisteredThread(0);
}

TEST_F(ThreadRegistry, ThreadExitReleasesTheThreadsNameToo) {
    RegisterQuorThread(L"Main");  // the registry heap exists before counting
    uintptr_t localHeap = HeapIds().front();
    size_t before = UsedBlocks(localHeap).size();
    HANDLE thread = CreateThread(nullptr, 0, NameRegisterAndExit, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(UsedBlocks(localHeap).size(), before);
    EXPECT_EQ(RecordsOf(GetCurrentThreadId()).size(), 1u);  // another thread's record stays
}

TEST_F(ThreadRegistry, SixtyFourThreadsRegisterAndExitTogether) {
    SKIP_WITHOUT_PROCESS_READS();
    std::vector<uintptr_t> heapsBefore = HeapIds();
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Pump> pumps(64);
    std::vector<HANDLE> threads;
    for (DWORD i = 0; i < pumps.size(); ++i) {
        pumps[i] = {start, 100 + i};
        threads.push_back(CreateThread(nullptr, 0, RegisterAndExit, &pumps[i], 0, nullptr));
        ASSERT_NE(threads.back(), nullptr);
    }
    SetEvent(start);
    for (DWORD i = 0; i < threads.size(); ++i) {
        ASSERT_EQ(WaitForSingleObject(threads[i], INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(threads[i], &code);
        EXPECT_EQ(code, 100 + i);
        CloseHandle(threads[i]);
    }
    CloseHandle(start);

    std::vector<uintptr_t> heapsAfter = HeapIds();
    ASSERT_EQ(heapsAfter.size(), heapsBefore.size() + 1);  // one registry heap, not more
    EXPECT_TRUE(UsedBlocks(heapsAfter.back()).empty());    // every record released
    for (const Pump& pump : pumps) EXPECT_TRUE(RecordsOf(pump.threadId).empty());
}

}  // namespace
