// The serial interface over a real pty: the test holds the other end, as the LON adapter would.
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "lon_fixture.h"
#include "startup/options.h"

using namespace win;
using ::testing::HasSubstr;

namespace {

struct SerialWay : LonTest {
    int master = -1;
    std::wstring slave;
    BYTE buffer[512];
    DWORD length = 0xDEAD;

    void SetUp() override {
        LonTest::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        std::string path = ptsname(master);
        slave.assign(path.begin(), path.end());
        instance.DevName = slave.c_str();
    }
    void TearDown() override {
        LonTest::TearDown();
        if (master >= 0) close(master);
    }
    DWORD Read() { return GetPacketFromLon(&instance, buffer, sizeof buffer, &length); }
    void Put(const std::vector<BYTE>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whatever the interface wrote, once `count` bytes have come (or five seconds have gone).
    std::vector<BYTE> Take(size_t count) {
        std::vector<BYTE> got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            BYTE b[512];
            ssize_t n = read(master, b, std::min(sizeof b, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
        }
        return got;
    }
    bool Silent() {
        pollfd p{master, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
};

// True once the thread sleeps in the kernel (the read's poll).
bool Sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

const std::vector<BYTE> NEURON_ID_MESSAGE = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F, 0,    0,    0, 0,
                                             0,    0,    0,    0,    0,    0,    0x6E, 0x01, 0, 0,
                                             0x06, 0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0xFF};

}  // namespace

TEST_F(SerialWay, OpenWritesTheNeuronIdTelegramIntoTheDevice) {
    const BYTE id[6] = {0x05, 0x01, 0x02, 0x03, 0x04, 0xFF};
    std::memcpy(instance.NeuronId, id, 6);
    ASSERT_EQ(StartLon(&instance), 0u);
    EXPECT_TRUE(instance.IsQuorvelDriver);
    EXPECT_EQ(Take(28), NEURON_ID_MESSAGE);
    EXPECT_TRUE(Silent());
}

TEST_F(SerialWay, NeuronIdOptionReachesTheDeviceAsItsTelegram) {
    std::vector<std::wstring> words = {L"veltrabox", L"-d", slave, L"-n", L"0501020304FF"};
    std::vector<wchar_t*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    InstanceTable table{};
    ASSERT_EQ(BuildInstanceTable(static_cast<int>(words.size()), argv.data(), &table), 0);
    ServerInstance* parsed = table.Slots[0];
    EXPECT_EQ(StartLon(parsed), 0u);
    EXPECT_EQ(Take(28), NEURON_ID_MESSAGE);
    StopLon(parsed);
    delete parsed;
    std::free(table.Slots);
}

// The project's LDV library opens the line as the stream driver does: the neuron ID goes in
// first, then telegrams pass both ways.
TEST_F(SerialWay, TheLibraryWayOpensTheLineAndCarriesTelegramsBothWays) {
    setenv("VELTRABOX_LIBRARY_PATH", VELTRABOX_BINARY_DIR, 1);
    instance.DllName = L"ldv_vni.dll";
    const BYTE id[6] = {0x05, 0x01, 0x02, 0x03, 0x04, 0xFF};
    std::memcpy(instance.NeuronId, id, 6);
    ASSERT_EQ(StartLon(&instance), 0u);
    EXPECT_EQ(Take(28), NEURON_ID_MESSAGE);
    Put({0x11, 0x02, 0xCA, 0xFE});
    for (int i = 0; i < 10 && Read() == LON_READ_DONE && length == 0; ++i) {
    }
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + length),
              (std::vector<BYTE>{0x11, 0x02, 0xCA, 0xFE}));
    const BYTE out[] = {0x12, 0x01, 0x77};
    EXPECT_EQ(SendPacketToLon(&instance, out, sizeof out), LON_SEND_DONE);
    EXPECT_EQ(Take(3), (std::vector<BYTE>(out, out + 3)));
}

TEST_F(SerialWay, OpenWithoutNeuronIdWritesNothing) {
    ASSERT_EQ(StartLon(&instance), 0u);
    EXPECT_TRUE(Silent());
}

TEST_F(SerialWay, LonNameMappedToAPathOpensTheDevice) {
    std::string path(slave.begin(), slave.end());
    setenv("VELTRABOX_LON77", path.c_str(), 1);
    instance.DevName = L"LON77:";
    instance.NeuronId[0] = 0x05;
    EXPECT_EQ(StartLon(&instance), 0u);
    unsetenv("VELTRABOX_LON77");
    EXPECT_EQ(Take(28).size(), 28u);
}

TEST_F(SerialWay, TelegramsComeOutWholeAndInOrderHoweverTheyAreSplit) {
    ASSERT_EQ(StartLon(&instance), 0u);
    std::vector<std::vector<BYTE>> telegrams = {
        Telegram(0x11, {1}), Telegram(0x12, std::vector<BYTE>(16, 0x44)),
        Telegram(0x13, std::vector<BYTE>(255, 0x99)), Telegram(0x14, {})};
    std::vector<BYTE> stream;
    for (auto& t : telegrams) stream.insert(stream.end(), t.begin(), t.end());
    for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{100}, stream.size()}) {
        std::thread feeder([&] {
            for (size_t at = 0; at < stream.size(); at += piece) {
                size_t n = std::min(piece, stream.size() - at);
                ASSERT_EQ(write(master, stream.data() + at, n), static_cast<ssize_t>(n));
            }
        });
        for (auto& t : telegrams) {
            do {
                ASSERT_EQ(Read(), LON_READ_DONE);
            } while (length == 0);
            ASSERT_EQ(length, t.size()) << "pieces of " << piece;
            EXPECT_EQ(std::vector<BYTE>(buffer, buffer + length), t) << "pieces of " << piece;
        }
        feeder.join();
    }
}

TEST_F(SerialWay, TelegramLongerThanTheBufferIsCutAndTheNextStaysWhole) {
    ASSERT_EQ(StartLon(&instance), 0u);
    Put(Telegram(0x11, std::vector<BYTE>(100, 0x22)));
    Put(Telegram(0x12, {7, 8}));
    BYTE small[20];
    ASSERT_EQ(GetPacketFromLon(&instance, small, sizeof small, &length), LON_READ_DONE);
    EXPECT_EQ(length, sizeof small);
    ASSERT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + length), Telegram(0x12, {7, 8}));
}

TEST_F(SerialWay, UnfinishedTelegramIsDroppedAfterAQuietTimeOut) {
    ASSERT_EQ(StartLon(&instance), 0u);
    Put({0x11, 0x20, 1, 2});  // promises 32 bytes, brings 2
    ASSERT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);  // the piece arrived within this read: kept
    ASSERT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);  // a whole time-out without a byte: dropped
    Put(Telegram(0x12, {3}));
    ASSERT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + length), Telegram(0x12, {3}));
}

TEST_F(SerialWay, WritePutsExactlyTheTelegramIntoTheDevice) {
    ASSERT_EQ(StartLon(&instance), 0u);
    std::vector<BYTE> t = Telegram(0x11, std::vector<BYTE>(40, 0x0D));  // CR: raw, no mapping
    t.push_back(0x0A);
    t[1] = 41;
    EXPECT_EQ(SendPacketToLon(&instance, t.data(), static_cast<DWORD>(t.size())), LON_SEND_DONE);
    EXPECT_EQ(Take(t.size()), t);
    EXPECT_TRUE(Silent());
}

TEST_F(SerialWay, DeviceThatGoesAwayMidTelegramFailsTheRead) {
    ASSERT_EQ(StartLon(&instance), 0u);
    Put({0x11, 0x10, 1, 2, 3});
    close(master);
    master = -1;
    EXPECT_EQ(Read(), LON_READ_FAILED);
    EXPECT_THAT(Log(), HasSubstr("Error: DeviceIoControl(IOCTL_READ)=FALSE: LastError="));
    EXPECT_EQ(Read(), LON_READ_FAILED);
    const BYTE t[] = {0x11, 0x00};
    EXPECT_EQ(SendPacketToLon(&instance, t, sizeof t), LON_SEND_FAILED);
}

TEST_F(SerialWay, StopWakesAReaderBlockedOnTheDevice) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(StartLon(&instance), 0u);
        std::atomic<pid_t> tid{0};
        std::atomic<DWORD> result{0};
        std::thread reader([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            BYTE b[512];
            DWORD n;
            result = GetPacketFromLon(&instance, b, sizeof b, &n);
        });
        while (tid == 0 || !Sleeping(tid)) std::this_thread::yield();
        StopLon(&instance);
        reader.join();
        EXPECT_EQ(result.load(), LON_READ_FAILED);
    }
}

// A server that leads its own session (as one started by a service manager does) and has no
// terminal must not gain the adapter as its controlling terminal: a hang-up on the line would
// then send it SIGHUP, and the adapter's data would be subject to job control.
// Ends the child after `seconds` if it has not ended; -1 then.
static int AwaitChild(pid_t child, int seconds) {
    int status = 0;
    for (int i = 0; i < seconds * 100; ++i) {
        if (waitpid(child, &status, WNOHANG) == child) return status;
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
}

TEST_F(SerialWay, SessionLeaderDoesNotGainTheDeviceAsItsTerminal) {
    // A child forked from a process with other threads can inherit a lock that one of them
    // held at the fork (the allocator's, under a sanitizer) and wait on it for ever; such a
    // child is ended and the fork tried again.
    int status = -1;
    for (int attempt = 0; attempt < 3 && status == -1; ++attempt) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setsid() < 0 || StartLon(&instance) != 0) _exit(2);
            int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
            StopLon(&instance);
            _exit(tty < 0 ? 0 : 1);
        }
        status = AwaitChild(child, 20);
    }
    ASSERT_NE(status, -1) << "every forked child hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the device became the controlling terminal";
}
