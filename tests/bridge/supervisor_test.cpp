// The supervisor on a manual clock, over a real loopback client and the simulated interface.
#include "bridge/supervisor.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "instance/status.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/lon_ioctl.h"
#include "platform/simlon.h"
#include "support/emulation.h"
#include "support/heap_blocks.h"
#include "support/log_capture.h"
#include "support/test_client.h"
#include "tcp/server_socket.h"

using namespace win;
using namespace std::chrono_literals;

namespace {

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

std::string Counters(int readNoAlive, int writeAlive) {
    return "ReadNoAliveCount=" + std::to_string(readNoAlive) +
           " WriteAliveCount=" + std::to_string(writeAlive) + " ";
}

// Kernel state that nothing signals: short naps until it holds (false after about 10 s).
template <class Condition>
bool Await(Condition condition) {
    for (int i = 0; i < 10000 && !condition(); ++i) usleep(1000);
    return condition();
}

class Supervisor : public ::testing::Test {
  protected:
    void SetUp() override {
        SetDebugZoneMask(ZONE_DEFAULT | ZONE_INIT | ZONE_ERROR);
        // Just below the wrap of the tick counter: every test crosses it.
        testclock::UseManualClock(0xFFFFF000u);
        instance.Port = FreePort();
        instance.DevName = channel;
        instance.ListenSocket = INVALID_SOCKET;
        instance.ClientSocket = INVALID_SOCKET;
        instance.hLon = INVALID_HANDLE_VALUE;
        simlon::ResetChannel(channel);
        supervisor = CreateThread(nullptr, 0, MainLoop, &instance, 0, &supervisorId);
        ASSERT_NE(supervisor, nullptr);
    }

    void TearDown() override {
        // Back at accept after the client has gone; end the supervisor there.
        if (client.Connected()) CloseClient();
        TerminateThread(supervisor, 0);
        CloseHandle(supervisor);
        StopServer(&instance);
        CloseListenSocket(&instance);
        testclock::UseRealClock();
        SetDebugZoneMask(ZONE_ERROR);
        if (HasFailure()) {
            for (const auto& line : log.Lines()) std::printf("log: %s\n", line.c_str());
        }
    }

    void ConnectClient() {
        ASSERT_TRUE(client.Connect(instance.Port));
        ASSERT_TRUE(log.WaitFor("LON und TCP erfolgreich gestartet.", ++starts));
        AwaitWatching();
    }

    // The client leaves: its pump thread ends the cycle.
    void CloseClient() {
        client.Close();
        ASSERT_TRUE(log.WaitFor("Server wird neu gestartet.", ++restarts));
    }

    // The supervisor waits in its watch loop (and the LON reader in its read).
    void AwaitWatching() {
        ASSERT_TRUE(testclock::AwaitTimedWait(supervisorId));
        ASSERT_TRUE(testclock::AwaitTimedWaiters(2));
    }

    // The clock moves on to the supervisor's next wake, and the supervisor has woken.
    void Wake() {
        const uint32_t left = testclock::AwaitTimeLeft(supervisorId);
        ASSERT_GT(left, 0u);
        int seen = log.Count("ev=258");
        testclock::Advance(left);
        ASSERT_TRUE(log.WaitFor("ev=258", seen + 1));
    }
    // The same, and the supervisor has handled the wake.
    void NextWake() {
        ASSERT_NO_FATAL_FAILURE(Wake());
        AwaitWatching();
    }

    // Wakes until the next keep-alive period ends.
    void Period() {
        int ends = log.Count("ReadNoAliveCount=");
        for (int i = 0; i < 6 && log.Count("ReadNoAliveCount=") == ends; ++i) NextWake();
        ASSERT_EQ(log.Count("ReadNoAliveCount="), ends + 1);
    }

    const wchar_t* channel = L"LON7:";
    ServerInstance instance{};
    HANDLE supervisor = nullptr;
    DWORD supervisorId = 0;
    LogCapture log;
    e2e::TestClient client;
    int starts = 0;
    int restarts = 0;
};

}  // namespace

TEST_F(Supervisor, ASilentClientGetsOneAliveAndIsDroppedAtTheFourthPeriodEnd) {
    ConnectClient();
    Period();
    EXPECT_EQ(log.Count(Counters(1, 1)), 1);
    EXPECT_FALSE(client.Receive(20ms));
    Period();
    EXPECT_EQ(log.Count(Counters(2, 2)), 1);
    EXPECT_TRUE(log.WaitFor("send(ID_ALIVE)=OK"));
    auto alive = client.Receive(2s);
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->id, ipmsg::ID_ALIVE);
    EXPECT_TRUE(alive->data.empty());
    Period();
    EXPECT_EQ(log.Count(Counters(3, 1)), 1);
    int seen = log.Count("ev=258");
    testclock::Advance(6000);  // the fourth period end; the restart's waits need no more time
    ASSERT_TRUE(log.WaitFor("ev=258", seen + 1));
    ASSERT_TRUE(log.WaitFor("ReadNoAliveCount >= MAX_READ_NOALIVE_COUNT"));
    EXPECT_EQ(log.Count(Counters(4, 2)), 1);
    ASSERT_TRUE(log.WaitFor("Server wird neu gestartet.", ++restarts));
    EXPECT_FALSE(client.Receive(2s));  // no second ID_ALIVE, and the connection is closed
    EXPECT_TRUE(client.WaitClosed(1s));
    EXPECT_EQ(log.Count("send(ID_ALIVE)=OK"), 1);
    client.Close();
}

// The watch sleeps through a period, as nothing is due before its end: the first moment more
// than 5000 ms after it began.
TEST_F(Supervisor, TheWatchSleepsUntilThePeriodEndsJustPast5000Ms) {
    ConnectClient();
    EXPECT_EQ(testclock::AwaitTimeLeft(supervisorId), 5001u);
    testclock::Advance(5000);
    EXPECT_EQ(testclock::AwaitTimeLeft(supervisorId), 1u);  // still asleep in the same wait
    EXPECT_EQ(log.Count("ev="), 0);
    NextWake();
    EXPECT_EQ(log.Count("DiffTime= 5001"), 1);
    EXPECT_EQ(testclock::AwaitTimeLeft(supervisorId), 5001u);  // the next period's end
    EXPECT_EQ(log.Count("ev="), 1);
}

TEST_F(Supervisor, AClientThatTalksEveryPeriodIsNeverDropped) {
    ConnectClient();
    for (int period = 0; period < 6; ++period) {
        int received = log.Count("GetPacketFromTcp()=104");
        ASSERT_TRUE(client.SendAlive());
        ASSERT_TRUE(log.WaitFor("GetPacketFromTcp()=104", received + 1));
        Period();
        EXPECT_EQ(log.Count("ReadNoAliveCount=1 "), period + 1);
    }
    EXPECT_EQ(log.Count("MAX_READ_NOALIVE_COUNT"), 0);
    EXPECT_EQ(log.Count("send(ID_ALIVE)=OK"), 3);  // every second period nothing else went out
}

TEST_F(Supervisor, TelegramsToTheClientKeepAliveMessagesAway) {
    ConnectClient();
    const BYTE telegram[] = {0x11, 0x02, 0xAA, 0xBB};
    for (int period = 0; period < 4; ++period) {
        int sent = log.Count("SendPacketToTcp(04)=OK");
        simlon::InjectTelegram(channel, telegram, sizeof telegram);
        ASSERT_TRUE(log.WaitFor("SendPacketToTcp(04)=OK", sent + 1));
        int received = log.Count("GetPacketFromTcp()=104");
        ASSERT_TRUE(client.SendAlive());
        ASSERT_TRUE(log.WaitFor("GetPacketFromTcp()=104", received + 1));
        Period();
        EXPECT_EQ(log.Count(Counters(1, 1)), period + 1);
    }
    EXPECT_EQ(log.Count("send(ID_ALIVE)"), 0);
    for (int i = 0; i < 4; ++i) {
        auto message = client.Receive(2s);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->id, ipmsg::ID_DATA);
        EXPECT_EQ(message->data, (ipmsg::Bytes{0x11, 0x02, 0xAA, 0xBB}));
    }
    EXPECT_FALSE(client.Receive(20ms));
}

// LonToTcp waits in its send to a client that reads slowly, with the connection full. The
// keep-alive due meanwhile cannot go out at once; it is tried again at every wake, and the
// session goes on once the client reads. A client that never reads is still dropped: at the
// period end after its keep-alive was due.
TEST_F(Supervisor, AKeepAliveThatMeetsAFullConnectionIsTriedAgainWithinThePeriod) {
    client.ShrinkReceiveBuffer();
    ConnectClient();
    int served = client.TakeServerEnd(getpid());
    ASSERT_GE(served, 0);
    e2e::ShrinkSendBuffer(served);
    // LonToTcp waits for room in the connection, the supervisor on the clock. A wake is over
    // once the supervisor waits again, or has given up on the keep-alive.
    const std::string givenUp = "ID_ALIVE not sent within a period";
    auto slice = [&] {
        ASSERT_NO_FATAL_FAILURE(Wake());
        ASSERT_TRUE(Await(
            [&] { return log.Count(givenUp) > 0 || testclock::AwaitTimedWait(supervisorId, 1); }));
    };
    auto talkingPeriod = [&] {
        int received = log.Count("GetPacketFromTcp()=104");
        ASSERT_TRUE(client.SendAlive());
        ASSERT_TRUE(log.WaitFor("GetPacketFromTcp()=104", received + 1));
        int ends = log.Count("ReadNoAliveCount=");
        for (int i = 0; i < 7 && log.Count("ReadNoAliveCount=") == ends && log.Count(givenUp) == 0;
             ++i) {
            slice();
        }
    };
    // More than the connection holds. It is full once the server's end holds more than half
    // its send buffer unacknowledged and takes no more: LonToTcp then waits in its send, and
    // so would a keep-alive.
    BYTE telegram[255] = {0xB2, 253};
    auto full = [&] {
        int queued = 0;
        ::pollfd room{served, POLLOUT, 0};
        return ::ioctl(served, SIOCOUTQ, &queued) == 0 &&
               queued > e2e::SocketOption(served, SOL_SOCKET, SO_SNDBUF) / 2 &&
               ::poll(&room, 1, 0) == 0;
    };
    auto fill = [&] {
        for (BYTE i = 0; i < 100; ++i) {
            telegram[2] = i;
            simlon::InjectTelegram(channel, telegram, sizeof telegram);
        }
        ASSERT_TRUE(Await(full));
    };
    fill();
    talkingPeriod();
    talkingPeriod();  // the keep-alive is due, and the connection is full
    EXPECT_EQ(log.Count("send(ID_ALIVE)=-1"), 1);
    slice();
    slice();
    EXPECT_EQ(log.Count("send(ID_ALIVE)=-1"), 3);
    ASSERT_EQ(log.Count("Server wird neu gestartet."), 0);
    for (BYTE i = 0; i < 100; ++i) {
        auto data = client.ReceiveData(5s);
        ASSERT_TRUE(data);
        ASSERT_EQ((*data)[2], i);
    }
    // Data reached the client instead: the pending keep-alive is dropped at the next wake, and
    // the next one is due at the end of the second period after that.
    ASSERT_TRUE(Await([&] { return instance.WriteAliveCount.load() == 0; }));
    talkingPeriod();
    EXPECT_EQ(log.Count("send(ID_ALIVE)=OK"), 0);
    talkingPeriod();
    EXPECT_EQ(log.Count("send(ID_ALIVE)=OK"), 1);
    EXPECT_EQ(log.Count("Server wird neu gestartet."), 0);

    fill();  // and never read
    close(served);
    talkingPeriod();
    talkingPeriod();
    int ends = log.Count("ReadNoAliveCount=");
    const int wakes = log.Count("ev=258");
    talkingPeriod();
    EXPECT_EQ(log.Count(givenUp), 1);
    EXPECT_EQ(log.Count("ev=258") - wakes, 6) << "given up at the first slice past 5000 ms";
    ASSERT_TRUE(log.WaitFor("Server wird neu gestartet.", ++restarts));
    EXPECT_EQ(log.Count("ReadNoAliveCount="), ends);
    client.Close();
}

TEST_F(Supervisor, EveryCycleReleasesTheHandlesItOpened) {
    ConnectClient();
    size_t running = detail::LiveHandleCount();
    for (int cycle = 0; cycle < 5; ++cycle) {
        CloseClient();
        ConnectClient();
    }
    EXPECT_EQ(detail::LiveHandleCount(), running);
    EXPECT_EQ(log.Count("TcpToLon beendet"), 5);
}

// What a process holds that a cycle could leak.
struct Holdings {
    size_t descriptors, threads, handles, heapBlocks, mallocBytes;
    bool operator==(const Holdings&) const = default;
};

Holdings Hold() {
    size_t descriptors = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++descriptors;
    }
    // Used heap blocks: thread registry records and more.
    return {descriptors, size_t(ThreadCount()), detail::LiveHandleCount(),
            heapwalk::UsedBlockCount(), mallinfo2().uordblks};
}

std::string Show(const Holdings& h) {
    return std::to_string(h.descriptors) + " fds, " + std::to_string(h.threads) + " threads, " +
           std::to_string(h.handles) + " handles, " + std::to_string(h.heapBlocks) +
           " heap blocks, " + std::to_string(h.mallocBytes) + " bytes allocated";
}

// A thousand clients, one after another, each served and gone: the process holds as much
// after the last as after the 300th, by which the channel's record of requests is full.
// (Resident memory is the soak command's business.)
TEST_F(Supervisor, NothingLeaksPerCycleOverAThousandCycles) {
    SetDebugZoneMask(ZONE_ERROR);  // a quiet log: its own lines would grow the heap
    testclock::UseRealClock();     // every wait of a cycle ends, as in the field
    const int idle = ThreadCount();
    Holdings after300{};
    for (int cycle = 1; cycle <= 1000; ++cycle) {
        ASSERT_TRUE(client.Connect(instance.Port));
        ASSERT_TRUE(Await([&] { return simlon::OpenNodes(channel) == 1; })) << cycle;
        client.Close();
        // Served and torn down: restarted and back in accept, with no thread of the cycle left.
        ASSERT_TRUE(Await([&] {
            return instance.Status.Counters[COUNT_RESTARTS].load() == uint64_t(cycle) &&
                   instance.Status.State.load() == STATE_LISTENING &&
                   simlon::OpenNodes(channel) == 0 && ThreadCount() == idle;
        })) << cycle;
        if (cycle == 300) after300 = Hold();
    }
    Holdings after1000 = Hold();
    EXPECT_EQ(after1000.descriptors, after300.descriptors);
    EXPECT_EQ(after1000.threads, after300.threads);
    EXPECT_EQ(after1000.handles, after300.handles);
    // The thread registry finds an ended thread's record through process_vm_readv; where an
    // emulator lacks it, each pump and turn-away thread leaves its record behind.
    if (WhyNoProcessReads().empty()) {
        EXPECT_EQ(after1000.heapBlocks, after300.heapBlocks);
    }
    // A leak of even 16 bytes a cycle shows; allocator slack stays below it.
    EXPECT_LT(after1000.mallocBytes, after300.mallocBytes + 700 * 16)
        << Show(after300) << " -> " << Show(after1000);
}

// After the LON interface is closed, a reader without IOCTL_READ keeps failing with a tolerated
// error and spins at the highest priority; the supervisor must still get to end it, even with
// the whole process on one CPU.
TEST(SupervisorOnOneCpu, EndsASpinningPumpThreadAfterItsWaits) {
    cpu_set_t one, before;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // inherited by every thread below
    LogCapture log;
    SetDebugZoneMask(ZONE_ERROR);  // the spinning reader's lines would flood
    testclock::UseManualClock(0);
    const wchar_t* channel = L"LON8:";
    simlon::ResetChannel(channel);
    simlon::FailRequest(channel, IOCTL_GETVERSION, 50, -1);
    ServerInstance instance{};
    instance.Port = FreePort();
    instance.DevName = channel;
    instance.ListenSocket = INVALID_SOCKET;
    instance.ClientSocket = INVALID_SOCKET;
    instance.hLon = INVALID_HANDLE_VALUE;
    const int threadsBefore = ThreadCount();
    HANDLE supervisor = CreateThread(nullptr, 0, MainLoop, &instance, 0, nullptr);
    e2e::TestClient first, second;
    ASSERT_TRUE(first.Connect(instance.Port));
    ASSERT_TRUE(testclock::AwaitTimedWaiters(2));
    simlon::ResetChannel(channel);  // the next cycle's reader ends by itself again
    first.Close();                  // TcpToLon ends; after StopServer, LonToTcp spins
    // The first cycle has closed its LON side.
    for (int i = 0; i < 5000 && simlon::OpenNodes(channel) > 0; ++i) usleep(1000);
    ASSERT_EQ(simlon::OpenNodes(channel), 0u);
    // The next client waits in the listening socket's queue; only a supervisor that got past
    // its waits and ended the spinning thread opens the LON side for it.
    ASSERT_TRUE(second.Connect(instance.Port));
    for (int i = 0; i < 200 && simlon::OpenNodes(channel) == 0; ++i) {
        testclock::Advance(1000);
        usleep(10000);
    }
    ASSERT_EQ(simlon::OpenNodes(channel), 1u);
    ASSERT_TRUE(testclock::AwaitTimedWaiters(2));
    SetDebugZoneMask(ZONE_DEFAULT | ZONE_ERROR);
    second.Close();
    ASSERT_TRUE(log.WaitFor("Server wird neu gestartet."));
    // No pump thread of either cycle is left (an ended thread leaves the process just after).
    for (int i = 0; i < 5000 && ThreadCount() != threadsBefore + 1; ++i) usleep(1000);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    TerminateThread(supervisor, 0);
    CloseHandle(supervisor);
    StopServer(&instance);
    CloseListenSocket(&instance);
    testclock::UseRealClock();
    SetDebugZoneMask(ZONE_ERROR);
    sched_setaffinity(0, sizeof before, &before);
}

// Where raising priorities is permitted, the pump threads really run at nice -10.
TEST_F(Supervisor, PumpThreadsRunAtTheHighestPriorityWherePermitted) {
    ConnectClient();
    SKIP_IF_MISSING(log.Count("failed setting thread priority") > 0
                        ? "raising a thread's priority needs root or CAP_SYS_NICE"
                        : "");
    int raised = 0;
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        id_t tid = id_t(std::stoi(task.path().filename()));
        errno = 0;
        if (getpriority(PRIO_PROCESS, tid) == -10 && errno == 0) ++raised;
    }
    EXPECT_EQ(raised, 2);
}

TEST_F(Supervisor, APumpThreadThatDoesNotEndIsTerminatedAfterItsWait) {
    const int idle = ThreadCount();
    ConnectClient();
    simlon::HangRequests(channel, simlon::REQUEST_WRITE, true);
    ASSERT_TRUE(client.SendData({0x11, 0x02, 0xAA, 0xBB}));
    ASSERT_TRUE(log.WaitFor("SendPacketToLon(4):"));  // TcpToLon now hangs in the driver
    simlon::FailRequest(channel, IOCTL_READ, 50, 1);  // LonToTcp's next read fails
    testclock::Advance(1000);
    ASSERT_TRUE(log.WaitFor("WaitForSingleObject(Events[EV_LON_TO_TCP]=0"));
    // TcpToLon's own 5000 ms run out; closing its sockets and device did not end it.
    for (int i = 0; i < 100 && log.Count("EV_TCP_TO_LON]=258") == 0; ++i) {
        testclock::Advance(5000);
        log.WaitFor("EV_TCP_TO_LON]=258", 1, 50);
    }
    ASSERT_EQ(log.Count("EV_TCP_TO_LON]=258"), 1);
    ASSERT_TRUE(log.WaitFor("Server wird neu gestartet.", ++restarts));
    EXPECT_EQ(log.Count("Error: LON Reboot"), 0);  // a terminated thread runs no end steps
    // Really gone, not only signalled: the process is back to its idle threads.
    EXPECT_TRUE(Await([&] { return ThreadCount() == idle; }));
    simlon::HangRequests(channel, simlon::REQUEST_WRITE, false);
    client.Close();
}

// Capabilities are per thread on Linux: a thread created while this one lacks
// CAP_NET_BIND_SERVICE cannot bind a privileged port, even when the process runs as root.
class WithoutPrivilegedPorts {
  public:
    WithoutPrivilegedPorts() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~(1u << CAP_NET_BIND_SERVICE);
        syscall(SYS_capset, &header_, reduced);
    }
    ~WithoutPrivilegedPorts() { syscall(SYS_capset, &header_, saved_); }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
};

TEST_F(Supervisor, AStartThatFailsBeforeAnyClientIsRetriedAfterAPause) {
    // The fixture's supervisor waits for clients on a free port; this one is refused its bind.
    ServerInstance refused{};
    refused.Port = 1;
    refused.DevName = channel;
    refused.ListenSocket = INVALID_SOCKET;
    refused.ClientSocket = INVALID_SOCKET;
    refused.hLon = INVALID_HANDLE_VALUE;
    HANDLE thread;
    DWORD threadId;
    {
        WithoutPrivilegedPorts unprivileged;
        SKIP_IF_MISSING(CanBind(1) ? "privileged ports are open to everyone here" : "");
        thread = CreateThread(nullptr, 0, MainLoop, &refused, 0, &threadId);
    }
    const std::string failed = "Starten der TCP Verbindung nicht m";
    for (int attempt = 1; attempt <= 3; ++attempt) {
        ASSERT_TRUE(log.WaitFor(failed, attempt));
        ASSERT_TRUE(testclock::AwaitTimedWait(threadId));  // pausing, not retrying
        EXPECT_EQ(log.Count(failed), attempt);
        testclock::Advance(1000);
    }
    TerminateThread(thread, 0);
    CloseHandle(thread);
    StopServer(&refused);
    CloseListenSocket(&refused);
}

TEST_F(Supervisor, AClientWhoseLonSideFailedMakesRoomForTheNextAtOnce) {
    simlon::FailRequest(channel, simlon::REQUEST_OPEN, ERROR_FILE_NOT_FOUND, 2);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        e2e::TestClient refused;
        ASSERT_TRUE(refused.Connect(instance.Port));
        EXPECT_TRUE(refused.WaitClosed(5s));
        // Its listening socket is gone too: the next client reaches the next attempt.
        ASSERT_TRUE(log.WaitFor("LON und Tcp Beendet.", attempt));
        EXPECT_EQ(log.Count("Starten der LON Schnittstelle nicht m"), attempt);
    }
    ConnectClient();  // the clock never moved: no pause between the attempts
}

// One listening socket for the instance's life. While a client is served, a newcomer is closed
// at once and the served client keeps its connection. Once the served connection has ended, a
// newcomer waits through the teardown (held up here by a pump thread hung in the driver) and is
// served next; meanwhile no other program can take the port.
TEST_F(Supervisor, NewcomersAreTurnedAwayWhileAClientIsServedAndServedOnceItIsGone) {
    ConnectClient();
    e2e::TestClient early;
    ASSERT_TRUE(early.Connect(instance.Port));
    EXPECT_TRUE(early.WaitClosed(5s)) << "a newcomer is held silent";
    const BYTE telegram[] = {0x11, 0x02, 0xAA, 0xBB};
    simlon::InjectTelegram(channel, telegram, sizeof telegram);
    auto message = client.ReceiveData(5s);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, (ipmsg::Bytes{0x11, 0x02, 0xAA, 0xBB}));

    simlon::HangRequests(channel, simlon::REQUEST_WRITE, true);
    ASSERT_TRUE(client.SendData({0x11, 0x02, 0xAA, 0xBB}));
    ASSERT_TRUE(log.WaitFor("SendPacketToLon(4):"));  // TcpToLon now hangs in the driver
    simlon::FailRequest(channel, IOCTL_READ, 50, 1);  // LonToTcp's next read ends the cycle
    testclock::Advance(1000);
    ASSERT_TRUE(log.WaitFor("WaitForSingleObject(Events[EV_LON_TO_TCP]=0"));
    EXPECT_TRUE(client.WaitClosed(5s));
    // The restart now waits for TcpToLon, on a clock that stands still.
    EXPECT_FALSE(CanListen(instance.Port));
    e2e::TestClient next;
    ASSERT_TRUE(next.Connect(instance.Port));
    for (int i = 0; i < 100 && log.Count("EV_TCP_TO_LON]=258") == 0; ++i) {
        testclock::Advance(5000);
        log.WaitFor("EV_TCP_TO_LON]=258", 1, 50);
    }
    simlon::HangRequests(channel, simlon::REQUEST_WRITE, false);
    ASSERT_TRUE(log.WaitFor("LON und TCP erfolgreich gestartet.", ++starts));
    client.Close();
    AwaitWatching();
    simlon::InjectTelegram(channel, telegram, sizeof telegram);
    message = next.ReceiveData(5s);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, (ipmsg::Bytes{0x11, 0x02, 0xAA, 0xBB}));
    // A newcomer whose predecessor hangs up just after it came is the next cycle's client too:
    // the hang-up gets a moment to arrive.
    e2e::TestClient last;
    ASSERT_TRUE(last.Connect(instance.Port));
    next.Close();
    ASSERT_TRUE(log.WaitFor("LON und TCP erfolgreich gestartet.", ++starts));
    EXPECT_EQ(log.Count("Weiterer Client abgewiesen."), 1);
    last.Close();
    ASSERT_TRUE(log.WaitFor("Server wird neu gestartet.", 3));
}

// The library way, with the project's LDV library hung inside a platform wait: its write of a
// telegram never returns. The restart is delayed only by the pump end waits, after which the
// hung thread is terminated; the library is not unloaded while that thread is inside it; and
// the next client is served through the library again.
class SupervisorOnTheLibrary : public Supervisor {
  protected:
    void SetUp() override {
        setenv("VELTRABOX_LIBRARY_PATH", VELTRABOX_BINARY_DIR, 1);
        instance.DllName = L"ldv_vni.dll";
        Supervisor::SetUp();
    }
};

TEST_F(SupervisorOnTheLibrary, AHungLibraryCallDelaysTheRestartOnlyByThePumpEndWaits) {
    ConnectClient();
    simlon::HangRequests(channel, simlon::REQUEST_WRITE, true);
    ASSERT_TRUE(client.SendData({0x11, 0x02, 0xAA, 0xBB}));
    ASSERT_TRUE(log.WaitFor("SendPacketToLon(4):"));  // TcpToLon now hangs inside the library
    const BYTE telegram[] = {0x11, 0x02, 0xAA, 0xBB};
    simlon::FailRequest(channel, IOCTL_READ, 50, 1);  // LonToTcp's next read ends the cycle
    simlon::InjectTelegram(channel, telegram, sizeof telegram);
    ASSERT_TRUE(log.WaitFor("LonToTcp beendet"));
    for (int i = 0; i < 100 && log.Count("Server wird neu gestartet.") == 0; ++i) {
        testclock::Advance(1000);
        log.WaitFor("Server wird neu gestartet.", 1, 50);
    }
    ASSERT_EQ(log.Count("Server wird neu gestartet."), 1);
    EXPECT_EQ(log.Count("LDV library still in use"), 1);
    EXPECT_EQ(log.Count("EV_TCP_TO_LON]=258"), 1);  // terminated after its wait
    simlon::HangRequests(channel, simlon::REQUEST_WRITE, false);

    client.Close();
    ConnectClient();
    simlon::InjectTelegram(channel, telegram, sizeof telegram);
    auto message = client.ReceiveData(5s);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, (ipmsg::Bytes{0x11, 0x02, 0xAA, 0xBB}));
    EXPECT_EQ(log.Count("LDV library kept loaded"), 0);  // the terminated thread had left it
    // Closing the library way pauses a moment on the clock: move it on.
    client.Close();
    for (int i = 0; i < 100 && log.Count("Server wird neu gestartet.") < 2; ++i) {
        testclock::Advance(1000);
        log.WaitFor("Server wird neu gestartet.", 2, 50);
    }
    EXPECT_EQ(log.Count("Server wird neu gestartet."), 2);
}

// Both pump threads stuck inside the LDV library, where ending a thread cannot reach: the
// restart waits 5 s for each, then up to 5 s more for each termination. Slow, but bounded, and
// the supervisor reports all along, so the service (which asks SupervisorAlive before every
// WATCHDOG=1) never takes it for stuck.
class SupervisorOnAStuckLibrary : public Supervisor {
  protected:
    void SetUp() override {
        setenv("VELTRABOX_LIBRARY_PATH", VELTRABOX_BINARY_DIR, 1);
        library = dlopen(VELTRABOX_BINARY_DIR "/libldv_stuck.so", RTLD_NOW);
        ASSERT_NE(library, nullptr) << dlerror();
        instance.DllName = L"ldv_stuck.dll";
        Supervisor::SetUp();
    }
    void* library = nullptr;
};

TEST_F(SupervisorOnAStuckLibrary, ARestartThatWaitsOutStuckPumpThreadsKeepsReporting) {
    auto inside = reinterpret_cast<int (*)()>(dlsym(library, "ldv_stuck_inside"));
    auto release = reinterpret_cast<void (*)()>(dlsym(library, "ldv_stuck_release"));
    ASSERT_TRUE(inside && release);
    ASSERT_TRUE(client.Connect(instance.Port));
    ASSERT_TRUE(client.SendData({0x11, 0x02, 0xAA, 0xBB}));
    ASSERT_TRUE(Await([&] { return inside() == 2; }));  // the reader and the writer
    bool alive = true;
    auto step = [&](uint32_t ms) {
        testclock::Advance(ms);
        alive = alive && SupervisorAlive(instance.Status, GetTickCount());
    };
    // The silent client's fourth period end, wake by wake.
    ASSERT_TRUE(testclock::AwaitTimedWait(supervisorId));
    for (int i = 0; i < 30 && log.Count("MAX_READ_NOALIVE_COUNT") == 0; ++i) {
        int seen = log.Count("ev=258");
        step(testclock::AwaitTimeLeft(supervisorId));
        ASSERT_TRUE(log.WaitFor("ev=258", seen + 1));
        ASSERT_TRUE(testclock::AwaitTimedWait(supervisorId));
    }
    ASSERT_EQ(log.Count("ReadNoAliveCount >= MAX_READ_NOALIVE_COUNT"), 1);
    // The interface's close, the pump end waits and the terminations, each to its end on the
    // clock, once the supervisor waits in it.
    for (int i = 0; i < 100 && log.Count("Server wird neu gestartet.") == 0; ++i) {
        const uint32_t left = testclock::AwaitTimeLeft(supervisorId, 100);
        if (left > 0) step(left);
    }
    ASSERT_EQ(log.Count("Server wird neu gestartet."), 1);
    EXPECT_EQ(log.Count("EV_LON_TO_TCP]=258"), 2);
    EXPECT_TRUE(alive) << "the supervisor fell silent for more than " << SUPERVISOR_SILENCE_MS
                       << " ms";
    release();
    // The released threads count themselves out of the gate in the fixture's instance: wait
    // for them before the fixture goes.
    EXPECT_TRUE(Await([&] { return (instance.LdvGate.load() & LDV_GATE_INSIDE) == 0; }));
    client.Close();
}

// The stop request is the process's, for good: this suite of its own, registered last, runs
// after every other one of the binary (a suite's tests run together, where its first stands).
class SupervisorLastOfAll : public Supervisor {};

// The server is ending while a client is served: the supervisor ends that cycle itself at
// once, without a watch slice going by (the clock stands still), closes the client and
// returns 0.
TEST_F(SupervisorLastOfAll, AStopRequestEndsTheServedCycleAtOnceAndTheSupervisorReturns) {
    ConnectClient();
    RequestStop();
    EXPECT_TRUE(client.WaitClosed());
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(
        Await([&] { return GetExitCodeThread(supervisor, &code) && code != STILL_ACTIVE; }));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(instance.Status.LastRestartReason.load(), REASON_STOPPING);
    EXPECT_EQ(instance.Status.State.load(), STATE_ENDED);
    EXPECT_EQ(log.Count("ev=258"), 0);
}
