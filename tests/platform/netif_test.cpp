// The LON network-interface driver on a TUN device that plays the Linux LON driver's lonN:
// opening, frames both ways, what is dropped and counted, and what wakes its blocking calls.
#include "platform/netif.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "platform/faults.h"
#include "platform/lon_ioctl.h"
#include "platform/win.h"
#include "support/emulation.h"
#include "support/log_capture.h"
#include "support/tun_lon.h"

using namespace win;
using e2e::TunLon;
using ::testing::HasSubstr;

namespace {

constexpr DWORD SHORT_WAIT_MS = 200;
// Far longer than the test needs: only closing the handle ends such a read in time.
constexpr DWORD LONG_WAIT_MS = 60000;

// Lines under the init and error zones (0x02, 0x10) show.
DBGPARAM Zones = {L"netif", {}, 0x12};

class Netif : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = TunLon::Unavailable();
        SKIP_IF_MISSING(why);
        RegisterDbgZones(nullptr, &Zones);
        lon.emplace();
        ASSERT_TRUE(lon->Plugged());
    }
    void TearDown() override {
        if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    }

    HANDLE OpenIt(const std::string& name) {
        std::wstring wide(name.begin(), name.end());
        return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    // One read request as the server makes it; nullopt on failure, {} on time-out.
    std::optional<ipmsg::Bytes> Read(DWORD timeoutMs = 5000, HANDLE h = nullptr) {
        BYTE buffer[512];
        DWORD count = 0;
        if (!DeviceIoControl(h ? h : device, IOCTL_READ, buffer, sizeof buffer, &timeoutMs,
                             sizeof timeoutMs, &count, nullptr)) {
            return std::nullopt;
        }
        return ipmsg::Bytes(buffer, buffer + count);
    }
    bool Write(const ipmsg::Bytes& telegram) {
        DWORD written = 0;
        return WriteFile(device, telegram.data(), DWORD(telegram.size()), &written, nullptr) &&
               written == telegram.size();
    }

    LogCapture log;
    std::optional<TunLon> lon;
    HANDLE device = INVALID_HANDLE_VALUE;
};

ipmsg::Bytes Longest(uint8_t command) {
    ipmsg::Bytes telegram = {command, 0xFF};
    for (int i = 0; i < 255; ++i) telegram.push_back(uint8_t(i));
    return telegram;
}

// Clears CAP_NET_RAW from the calling thread's effective set (capabilities are per thread).
bool DropNetRawOfThisThread() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(Netif, AnAbsentOrDownInterfaceFailsTheOpenAndTheLogNamesIt) {
    std::string absent = lon->Name() + "x";
    EXPECT_EQ(OpenIt(absent), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    EXPECT_TRUE(log.WaitFor("netif/" + absent + ": cannot open the network interface: no "));

    ASSERT_TRUE(lon->SetUp(false));
    EXPECT_EQ(OpenIt(lon->Name()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_TRUE(log.WaitFor(lon->Name() + ": cannot open the network interface: the network "
                                          "interface is down"));
}

TEST_F(Netif, WithoutCapNetRawTheOpenSaysThatTheCapabilityIsMissing) {
    DWORD error = 0;
    HANDLE opened = nullptr;
    std::thread unprivileged([&] {
        if (!DropNetRawOfThisThread()) return;
        opened = OpenIt(lon->Name());
        error = GetLastError();
    });
    unprivileged.join();
    EXPECT_EQ(opened, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(log.WaitFor(lon->Name() + ": cannot open the network interface: a packet "
                                          "socket needs the capability CAP_NET_RAW"));
}

// The 257-byte telegram travels in the extended form both ways; the driver's version answers.
TEST_F(Netif, TelegramsCrossInTheirFramesBothWays) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(log.WaitFor(lon->Name() + ": receive buffer of "));
    ipmsg::Bytes small = {0x18, 3, 1, 2, 3};
    ASSERT_TRUE(lon->WriteFrame(small));
    ASSERT_TRUE(lon->Write(Longest(0x18)));
    ASSERT_TRUE(lon->WriteFrame({0x18, 0xFF, 2, 0, 0xAA, 0xBB}));  // extended, yet short
    EXPECT_EQ(Read(), small);
    EXPECT_EQ(Read(), Longest(0x18));
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 2, 0xAA, 0xBB}));
    EXPECT_EQ(Read(SHORT_WAIT_MS), ipmsg::Bytes{});

    ASSERT_TRUE(Write({0x12, 1, 9}));
    ASSERT_TRUE(Write(Longest(0x12)));
    EXPECT_EQ(lon->ReadFrame(), (ipmsg::Bytes{0x12, 1, 9}));
    std::optional<ipmsg::Bytes> extended = lon->ReadFrame();
    ASSERT_TRUE(extended);
    ASSERT_EQ(extended->size(), 259u);
    EXPECT_EQ(ipmsg::Bytes(extended->begin(), extended->begin() + 4),
              (ipmsg::Bytes{0x12, 0xFF, 0xFF, 0x00}));
    const ipmsg::Bytes longest = Longest(0x12);
    EXPECT_EQ(ipmsg::Bytes(extended->begin() + 4, extended->end()),
              ipmsg::Bytes(longest.begin() + 2, longest.end()));

    // A telegram whose byte 1 disagrees with its size makes no frame.
    EXPECT_FALSE(Write({0x12, 5, 1}));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(lon->ReadFrame(std::chrono::milliseconds(SHORT_WAIT_MS)), std::nullopt);
}

TEST_F(Netif, MalformedFramesAreDroppedCountedAndLoggedWhileTheStreamGoesOn) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ipmsg::Bytes extendedTooLong = {0x18, 0xFF, 0x00, 0x01};
    extendedTooLong.resize(4 + 256);
    for (const ipmsg::Bytes& frame : std::vector<ipmsg::Bytes>{{0x18, 1, 7},
                                                               {0x18},
                                                               {0x18, 4, 1, 2},
                                                               {0x18, 0xFF, 3, 0, 1},
                                                               extendedTooLong,
                                                               {0x18, 1, 8}}) {
        ASSERT_TRUE(lon->WriteFrame(frame));
    }
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 7}));
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 8}));
    EXPECT_EQ(netif::InterfaceErrors(device), 4u);
    EXPECT_TRUE(log.WaitFor(": frame of ", 4));
    EXPECT_EQ(log.Count("frame of 4 bytes dropped: its length says 4 bytes follow (2 bad frames)"),
              1)
        << ::testing::PrintToString(log.Lines());
}

// Bursts that overflow the receive buffer: what the kernel dropped is counted, added up over
// every look at its count (each look resets it) and over the openings that count into one
// record; closing looks once more.
TEST_F(Netif, FramesTheKernelDroppedAddUpOverOpenings) {
    SKIP_IF_MISSING(WhyNoPacketStatistics());
    netif::Counts counts;
    constexpr int BURST = 12000;
    int received = 0;
    for (int round = 0; round < 2; ++round) {
        device = OpenIt(lon->Name());
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(netif::CountInto(device, &counts));
        for (int i = 0; i < BURST; ++i) ASSERT_TRUE(lon->WriteFrame({0x18, 1, uint8_t(i)}));
        for (;;) {
            std::optional<ipmsg::Bytes> telegram = Read(SHORT_WAIT_MS);
            ASSERT_TRUE(telegram) << GetLastError();
            if (telegram->empty()) break;
            ++received;
        }
        ASSERT_LT(received, BURST * (round + 1)) << "the burst did not overflow";
        ASSERT_TRUE(CloseHandle(device));
        device = INVALID_HANDLE_VALUE;
    }
    EXPECT_EQ(counts.FramesDroppedByKernel, uint64_t(2 * BURST - received));
    EXPECT_EQ(counts.BadFrames, 0u);
    EXPECT_TRUE(log.WaitFor("the receive buffer overflowed", 2));

    // Closed without a read: the overflow is counted all the same.
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(netif::CountInto(device, &counts));
    for (int i = 0; i < BURST; ++i) ASSERT_TRUE(lon->WriteFrame({0x18, 1, uint8_t(i)}));
    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    EXPECT_GT(counts.FramesDroppedByKernel, uint64_t(2 * BURST - received));
}

// A kernel count that cannot be read (qemu-user passes no SOL_PACKET option through) is
// reported once for the record, however many looks and openings fail.
TEST_F(Netif, AKernelCountThatCannotBeReadIsReportedOnce) {
    netif::Counts counts;
    struct Disarm {
        ~Disarm() { faults::Disarm(); }
    } disarm;
    faults::Arm({{faults::Call::Getsockopt, EOPNOTSUPP, 0, false, 1000000}});
    for (int round = 0; round < 2; ++round) {
        device = OpenIt(lon->Name());
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(netif::CountInto(device, &counts));
        EXPECT_EQ(Read(SHORT_WAIT_MS), ipmsg::Bytes{});
        EXPECT_EQ(Read(SHORT_WAIT_MS), ipmsg::Bytes{});
        ASSERT_TRUE(CloseHandle(device));
        device = INVALID_HANDLE_VALUE;
    }
    EXPECT_GE(faults::Injected(faults::Call::Getsockopt), 4u);
    EXPECT_EQ(log.Count(lon->Name() + ": frames that overflow the receive buffer cannot be "
                                      "counted: getsockopt(PACKET_STATISTICS): "),
              1)
        << ::testing::PrintToString(log.Lines());
}

// A full transmit queue is waited out, and closing the handle ends the wait, as it ends a
// read that waits for a telegram.
TEST_F(Netif, AFullTransmitQueueIsWaitedOutAndClosingWakesEveryWait) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(lon->SetQueueLimit(0));
    auto write = std::async(std::launch::async, [&] { return Write({0x12, 1, 1}); });
    const auto deadline = e2e::Clock::now() + e2e::WAIT;
    while (lon->QueueDrops() < 1 && e2e::Clock::now() < deadline) std::this_thread::yield();
    ASSERT_GE(lon->QueueDrops(), 1) << "the write never met the full queue";
    ASSERT_TRUE(lon->SetQueueLimit(100));
    EXPECT_TRUE(write.get());
    EXPECT_EQ(lon->ReadFrame(), (ipmsg::Bytes{0x12, 1, 1}));

    ASSERT_TRUE(lon->SetQueueLimit(0));
    long dropsBefore = lon->QueueDrops();
    auto stuck = std::async(std::launch::async, [&] {
        bool ok = Write({0x12, 1, 2});
        return ok ? ERROR_SUCCESS : GetLastError();
    });
    auto reading = std::async(std::launch::async, [&] {
        std::optional<ipmsg::Bytes> telegram = Read(LONG_WAIT_MS);
        return telegram ? ERROR_SUCCESS : GetLastError();
    });
    while (lon->QueueDrops() <= dropsBefore && e2e::Clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GT(lon->QueueDrops(), dropsBefore);
    ASSERT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    EXPECT_EQ(stuck.get(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reading.get(), ERROR_INVALID_HANDLE);
}

// Many telegrams in one request leave in batches of frames, whole and in order, also when the
// kernel takes only part of a batch or none of it for the moment; a malformed one ends the
// request after those before it went, and the counts say so.
TEST_F(Netif, ManyTelegramsInOneRequestGoWholeAndInOrderThroughPartialSends) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    struct Disarm {
        ~Disarm() { faults::Disarm(); }
    } disarm;
    auto request = [&](const std::vector<ipmsg::Bytes>& telegrams, DWORD* returned) {
        std::vector<BYTE> records(telegrams.size() * (TELEGRAM_RECORD_HEADER + TELEGRAM_MAX));
        DWORD size = 0;
        for (const auto& t : telegrams)
            size += PutTelegramRecord(records.data() + size, t.data(), DWORD(t.size()));
        std::vector<DWORD> written(telegrams.size());
        return DeviceIoControl(device, IOCTL_WRITE_TELEGRAMS, records.data(), size, written.data(),
                               DWORD(written.size() * sizeof(DWORD)), returned, nullptr);
    };
    std::vector<ipmsg::Bytes> telegrams;
    for (int i = 0; i < 150; ++i) {
        telegrams.push_back(i % 50 == 7 ? Longest(uint8_t(i)) : ipmsg::Bytes{0x12, 1, uint8_t(i)});
    }
    faults::Arm({{faults::Call::Send, ENOBUFS, 5},
                 {faults::Call::Send, EAGAIN, 65},
                 {faults::Call::Send, EINTR, 66},
                 {faults::Call::Send, ENOBUFS, 140}});
    DWORD returned = 0;
    ASSERT_TRUE(request(telegrams, &returned)) << GetLastError();
    EXPECT_EQ(returned, 150 * sizeof(DWORD));
    EXPECT_EQ(faults::Injected(faults::Call::Send), 4u);
    for (const ipmsg::Bytes& t : telegrams) ASSERT_EQ(lon->Read(), t);

    faults::Disarm();
    ASSERT_FALSE(request({{0x12, 1, 1}, {0x12, 1, 2}, {0x12, 5, 3}, {0x12, 1, 4}}, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(returned, 2 * sizeof(DWORD));
    EXPECT_EQ(lon->Read(), (ipmsg::Bytes{0x12, 1, 1}));
    EXPECT_EQ(lon->Read(), (ipmsg::Bytes{0x12, 1, 2}));
    EXPECT_EQ(lon->ReadFrame(std::chrono::milliseconds(SHORT_WAIT_MS)), std::nullopt);
}

// Unplugged, the interface fails its calls; plugged back (with a new index), the next open
// finds it by its name. VELTRABOX_LONn may name it too.
TEST_F(Netif, AnUnpluggedInterfaceFailsAndTheNextOpenFindsItPluggedBack) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    lon->Unplug();
    EXPECT_EQ(Read(), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    EXPECT_FALSE(Write({0x12, 1, 3}));
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    CloseHandle(device);

    ASSERT_TRUE(lon->Plug());
    setenv("VELTRABOX_LON917", lon->Name().c_str(), 1);
    device = OpenIt("LON917:");
    unsetenv("VELTRABOX_LON917");
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(lon->WriteFrame({0x18, 1, 4}));
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 4}));
    ASSERT_TRUE(Write({0x12, 1, 5}));
    EXPECT_EQ(lon->ReadFrame(), (ipmsg::Bytes{0x12, 1, 5}));
}

// The open's neuron-ID message: the response is the open's, what comes before it the pump's.
TEST_F(Netif, TheNeuronIdResponseIsConsumedAndOtherMessagesAreKept) {
    device = OpenIt(lon->Name());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    BYTE message[NEURON_ID_MESSAGE_SIZE] = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F};
    message[16] = 0x6E;
    auto exchange = [&] {
        BYTE reply[245] = {};
        DWORD count = 0;
        BOOL ok = DeviceIoControl(device, IOCTL_LON_NETMGMT, message, sizeof message, reply,
                                  sizeof reply, &count, nullptr);
        return ok ? ipmsg::Bytes(reply, reply + count) : ipmsg::Bytes{};
    };
    auto answered = std::async(std::launch::async, exchange);
    std::optional<ipmsg::Bytes> sent = lon->ReadFrame();
    ASSERT_TRUE(sent);
    EXPECT_EQ(*sent, ipmsg::Bytes(message, message + sizeof message));
    ASSERT_TRUE(lon->WriteFrame({0x18, 1, 1}));
    ASSERT_TRUE(lon->Write(e2e::NeuronIdResponse()));
    ASSERT_TRUE(lon->WriteFrame({0x18, 1, 2}));
    EXPECT_EQ(answered.get(), e2e::NeuronIdResponse());
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 1}));
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 2}));

    // No response: the wait ends, says so, and what arrived is still kept.
    auto unanswered = std::async(std::launch::async, exchange);
    ASSERT_TRUE(lon->ReadFrame());
    ASSERT_TRUE(lon->WriteFrame({0x18, 1, 3}));
    EXPECT_EQ(unanswered.get(), ipmsg::Bytes{});
    EXPECT_TRUE(log.WaitFor(lon->Name() + ": no response to the neuron-ID message"));
    EXPECT_EQ(Read(), (ipmsg::Bytes{0x18, 1, 3}));
}

}  // namespace
