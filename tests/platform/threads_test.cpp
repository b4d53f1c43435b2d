// Contract tests of the layer's threads, events, waits and clock.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/win.h"

using namespace win;

namespace {

DWORD ReturnParameter(LPVOID p) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p));
}

HANDLE Start(LPTHREAD_START_ROUTINE entry, LPVOID parameter = nullptr) {
    HANDLE h = CreateThread(nullptr, 0, entry, parameter, 0, nullptr);
    EXPECT_NE(h, nullptr);
    return h;
}

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

struct ManualClock : ::testing::Test {
    void SetUp() override { testclock::UseManualClock(1000); }
    void TearDown() override { testclock::UseRealClock(); }
};

}  // namespace

TEST(Threads, WaitReturnsWhenThreadEndsAndKeepsItsExitCode) {
    HANDLE t = Start(ReturnParameter, reinterpret_cast<LPVOID>(uintptr_t{42}));
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), 42u);
    EXPECT_TRUE(CloseHandle(t));
}

TEST(Threads, ExitThreadEndsTheThreadFromAnyDepth) {
    static std::atomic<bool> ranPastExit{false};
    auto entry = [](LPVOID) -> DWORD {
        auto deep = [] { ExitThread(7); };
        deep();
        ranPastExit = true;
        return 0;
    };
    HANDLE t = Start(entry);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), 7u);
    EXPECT_FALSE(ranPastExit);
    CloseHandle(t);
}

TEST(Threads, WaitAnyReportsTheThreadThatEnded) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto blocked = [](LPVOID g) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(g), INFINITE);
        return 1;
    };
    HANDLE handles[2] = {Start(blocked, gate), Start(ReturnParameter)};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(handles[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(ExitCodeOf(handles[0]), STILL_ACTIVE);
    SetEvent(gate);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(handles[0]), 1u);
    for (HANDLE h : handles) CloseHandle(h);
    CloseHandle(gate);
}

TEST(Threads, TerminateEndsAThreadBlockedInAWaitWithoutItsEndSteps) {
    static std::atomic<bool> endSteps{false};
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto entry = [](LPVOID g) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(g), INFINITE);
        endSteps = true;
        return 1;
    };
    HANDLE t = Start(entry, gate);
    ASSERT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateThread(t, 0));
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), 0u);
    EXPECT_FALSE(endSteps);
    CloseHandle(t);
    CloseHandle(gate);
}

TEST(Threads, TerminateEndsAThreadBlockedInTheKernel) {
    static int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto entry = [](LPVOID) -> DWORD {
        pollfd p{fds[0], POLLIN, 0};
        detail::BlockingPoll(&p, 1, -1);
        return 1;
    };
    HANDLE t = Start(entry);
    ASSERT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(TerminateThread(t, 5));
    EXPECT_EQ(ExitCodeOf(t), 5u);
    CloseHandle(t);
    close(fds[0]);
    close(fds[1]);
}

TEST(Threads, ASpinningTimeCriticalThreadCannotStarveItsTerminatorOnOneCpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    cpu_set_t before;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
    ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof one, &one), 0);
    HANDLE idle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto spin = [](LPVOID e) -> DWORD {
        cpu_set_t cpu;
        CPU_ZERO(&cpu);
        CPU_SET(0, &cpu);
        pthread_setaffinity_np(pthread_self(), sizeof cpu, &cpu);
        for (;;) WaitForSingleObject(static_cast<HANDLE>(e), 0);
    };
    HANDLE t = Start(spin, idle);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(TerminateThread(t, 9));
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), 9u);
    CloseHandle(t);
    CloseHandle(idle);
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
}

TEST(Threads, PriorityOutOfRangeIsRefused) {
    HANDLE t = Start(ReturnParameter);
    EXPECT_FALSE(SetThreadPriority(t, 8));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

TEST(Handles, AClosedValueNeverNamesALaterObject) {
    HANDLE first = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    CloseHandle(second);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(EventModify(e, EVENT_SET));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(EventModify(e, EVENT_RESET));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    CloseHandle(e);
}

TEST(Events, ASecondCreationOfANameReturnsTheSameEventInItsState) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, L"VeltraboxEventTest");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetEvent(a);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, L"VeltraboxEventTest");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    CloseHandle(a);
    ResetEvent(b);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    CloseHandle(b);
    // Once every handle is closed the name is free again.
    HANDLE c = CreateEventW(nullptr, TRUE, FALSE, L"VeltraboxEventTest");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(c);
}

TEST_F(ManualClock, ATimedWaitEndsExactlyWhenTheClockReachesItsTimeOut) {
    static HANDLE never;
    never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto entry = [](LPVOID) -> DWORD { return WaitForSingleObject(never, 5000); };
    HANDLE t = Start(entry);
    ASSERT_TRUE(testclock::AwaitTimedWaiters(1));
    testclock::Advance(4999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room to end too early
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    testclock::Advance(1);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), WAIT_TIMEOUT);
    CloseHandle(t);
    CloseHandle(never);
}

// The waiter sits in both events' queues; only setting the second one can end its wait, as
// the clock stands still.
TEST_F(ManualClock, AWaitOnTwoEventsIsWokenBySettingTheSecond) {
    static HANDLE events[2];
    for (HANDLE& e : events) e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto entry = [](LPVOID) -> DWORD { return WaitForMultipleObjects(2, events, FALSE, 5000); };
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, entry, nullptr, 0, &id);
    ASSERT_TRUE(testclock::AwaitTimedWait(id));
    EXPECT_TRUE(SetEvent(events[1]));
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), WAIT_OBJECT_0 + 1);
    CloseHandle(t);
    for (HANDLE e : events) CloseHandle(e);
}

TEST_F(ManualClock, TickCountWrapsAtThirtyTwoBits) {
    testclock::UseManualClock(0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    testclock::Advance(0x20);
    EXPECT_EQ(GetTickCount(), 0x10u);
    EXPECT_EQ(GetTickCount() - 0xFFFFFFF0u, 0x20u);
}

TEST_F(ManualClock, SleepWaitsOnTheManualClock) {
    auto entry = [](LPVOID) -> DWORD {
        Sleep(1000);
        return GetTickCount();
    };
    HANDLE t = Start(entry);
    ASSERT_TRUE(testclock::AwaitTimedWaiters(1));
    testclock::Advance(1000);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(t), 2000u);
    CloseHandle(t);
}

TEST(Tls, ValuesArePerThreadAndAFreshSlotReadsNull) {
    DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int marker = 0;
    ASSERT_TRUE(TlsSetValue(slot, &marker));
    EXPECT_EQ(TlsGetValue(slot), &marker);
    static DWORD shared;
    shared = slot;
    auto other = [](LPVOID) -> DWORD { return TlsGetValue(shared) == nullptr ? 1 : 0; };
    HANDLE t = Start(other);
    WaitForSingleObject(t, INFINITE);
    EXPECT_EQ(ExitCodeOf(t), 1u);
    CloseHandle(t);
    ASSERT_TRUE(TlsFree(slot));
    EXPECT_EQ(TlsAlloc(), slot);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    TlsFree(slot);
}
