// The real server with its system calls made to fail (VELTRABOX_FAULTS), on a pty that plays
// a serial LON interface: a failure ends at most the cycle it hits, is logged, and the next
// client is served with every telegram passed once, in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "flow.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"
#include "support/tun_lon.h"

namespace e2e {
namespace {

constexpr auto LOSS_WAIT = std::chrono::milliseconds(1500);
constexpr char INJECTED[] = "faults: ";

struct InjectedFaults : ::testing::Test {
    PtyLon lon;
    int port = FreePort();
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<TestClient> client;
    size_t mark = 0;
    int breaks = 0;

    void Start(const std::string& faults) {
        ASSERT_TRUE(lon.Open());
        server = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port), "-d", lon.Path()},
            std::vector<std::string>{"VELTRABOX_FAULTS=" + faults});
    }
    // A fresh client, served once the server has opened both sides for it.
    void Serve() {
        client = std::make_unique<TestClient>();
        ASSERT_TRUE(client->Connect(port));
        ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    }
    // After a telegram did not arrive: the cycle must have ended (the server closes the
    // client), and the next client is served.
    void Reconnect() {
        ++breaks;
        ASSERT_TRUE(client->WaitClosed()) << "a telegram vanished, the session went on\n"
                                          << server->Tail();
        Serve();
    }
    // Telegrams client -> bus and bus -> client, one at a time. One that does not arrive is
    // sent again on the next session once the break has shown (one that arrives late, from
    // the bus, is taken as it is); none may arrive twice or out of order.
    void Exchange(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            ipmsg::Bytes up = NumberedTelegram(0xA1, i);
            for (;;) {
                client->SendData(up);
                auto got = lon.Read(LOSS_WAIT);
                if (got) {
                    ASSERT_EQ(*got, up) << server->Tail();
                    break;
                }
                ASSERT_NO_FATAL_FAILURE(Reconnect());
            }
            ipmsg::Bytes down = NumberedTelegram(0xB2, i);
            ASSERT_TRUE(lon.Write(down));
            for (;;) {
                auto got = client->ReceiveData(LOSS_WAIT);
                if (got) {
                    ASSERT_EQ(*got, down) << server->Tail();
                    break;
                }
                ASSERT_NO_FATAL_FAILURE(Reconnect());
                // Bytes a failed read left in the interface reach the new session.
                if (auto late = client->ReceiveData(LOSS_WAIT)) {
                    ASSERT_EQ(*late, down) << server->Tail();
                    break;
                }
                ASSERT_TRUE(lon.Write(down));
            }
        }
        // Nothing left over: no telegram doubled at the end either.
        EXPECT_FALSE(lon.Read(std::chrono::milliseconds(200)));
        EXPECT_FALSE(client->ReceiveData(std::chrono::milliseconds(200)));
    }
};

// Out of descriptors at accept: logged, and the instance goes on to serve the next client.
TEST_F(InjectedFaults, AcceptOutOfDescriptorsKeepsTheInstance) {
    Start("accept:EMFILE:1");
    ASSERT_TRUE(server->WaitForLine("accept():10024", &mark)) << server->Tail();
    Serve();
    Exchange(3);
    EXPECT_EQ(breaks, 0);
    EXPECT_TRUE(server->Running());
}

// A connection reset in the middle of a session, and a send that fails: each ends its cycle
// only, and the next client gets every telegram after it once.
TEST_F(InjectedFaults, ABrokenSessionEndsOnlyItsCycle) {
    Start("recv:ECONNRESET:12,send:EPIPE:12");
    Serve();
    Exchange(30);
    EXPECT_EQ(server->CountLines(INJECTED), 3u) << server->Tail();  // "armed" and two faults
    EXPECT_GE(breaks, 2);
    EXPECT_EQ(server->CountLines(RESTARTING), size_t(breaks)) << server->Tail();
}

// Sends of bursts that the connection refuses for the moment (EAGAIN) or that a signal
// interrupts (EINTR) are taken up again: every telegram reaches the client whole, once and in
// order, and the session goes on.
TEST_F(InjectedFaults, ABurstWhoseSendsAreRefusedArrivesWhole) {
    Start("seed=5,send:EAGAIN:~300000,send:EINTR:~300000");
    Serve();
    EXPECT_EQ(RunBurst([&](const ipmsg::Bytes& piece) { return lon.Write(piece); },
                       [&] { return client->ReceiveData(); }, 0xE7, 3000, 100),
              "")
        << server->Tail();
    EXPECT_GT(server->CountLines("faults: send fails"), 0u) << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

// The device fails a read and a write with EIO: the LON side is opened again, and the next
// client gets what followed.
TEST_F(InjectedFaults, ADeviceErrorRestartsTheLonSide) {
    Start("read:EIO:6,write:EIO:6");
    Serve();
    Exchange(20);
    EXPECT_EQ(server->CountLines("faults: read fails with EIO"), 1u) << server->Tail();
    EXPECT_EQ(server->CountLines("LON Reboot SendPacketToLon()=201"), 1u) << server->Tail();
    EXPECT_EQ(breaks, 2);
}

// The device cannot be opened once: logged, that client is closed, the next one is served.
TEST_F(InjectedFaults, ADeviceThatCannotBeOpenedIsTriedAgain) {
    Start("open:EACCES:1");
    TestClient first;
    ASSERT_TRUE(first.Connect(port));
    ASSERT_TRUE(server->WaitForLine(LON_START_FAILED, &mark)) << server->Tail();
    EXPECT_TRUE(first.WaitClosed());
    Serve();
    Exchange(3);
}

// No wake descriptor or no mapped memory, wherever the server asks for one: the server logs
// an error (a pump thread that cannot be created among them) or carries on, and serves a
// client after it.
TEST_F(InjectedFaults, NoEventDescriptorOrMemoryIsNeverFatal) {
    bool threadFailureLogged = false;
    for (int nth = 1; nth <= 8; ++nth) {
        for (const char* call : {"eventfd:EMFILE:", "mmap:ENOMEM:"}) {
            SCOPED_TRACE(call + std::to_string(nth));
            mark = 0;
            Start(call + std::to_string(nth) + "*");
            // A client the server cannot take is closed at once, never held silent.
            for (int tries = 0;; ++tries) {
                ASSERT_LT(tries, 5) << server->Tail();
                client = std::make_unique<TestClient>();
                ASSERT_TRUE(client->Connect(port));
                if (server->WaitForLine(STARTED, &mark, std::chrono::seconds(3))) break;
                ASSERT_TRUE(client->WaitClosed(std::chrono::seconds(1))) << server->Tail();
            }
            // Served clients may still lose their cycle to the next failing call.
            const ipmsg::Bytes telegram = NumberedTelegram(0xC3, uint32_t(nth));
            std::optional<ipmsg::Bytes> arrived;
            for (int tries = 0; tries < 5 && !arrived; ++tries) {
                if (tries > 0) {
                    ASSERT_NO_FATAL_FAILURE(Reconnect());
                }
                client->SendData(telegram);
                arrived = lon.Read(LOSS_WAIT);
            }
            ASSERT_EQ(arrived, telegram) << server->Tail();
            EXPECT_TRUE(server->Running());
            threadFailureLogged |= server->CountLines("CreateThread():") > 0;
            client.reset();
            server.reset();
        }
    }
    EXPECT_TRUE(threadFailureLogged);
}

// The second instance's thread cannot be created: the server says so and ends with exit code 1.
// The main thread's first eventfd is the service's wake, its second the thread's.
TEST_F(InjectedFaults, AnInstanceThreadThatCannotBeCreatedIsReported) {
    ServerProcess two({"-p", std::to_string(port), "-i", "-p", std::to_string(FreePort())},
                      {"VELTRABOX_FAULTS=eventfd:EMFILE:2"});
    EXPECT_EQ(two.WaitForExit(), 1);
    EXPECT_EQ(two.CountLines("CreateThread():"), 1u) << two.Tail();
}

// The service gets no signal descriptor: it says so and leaves SIGTERM to end the process,
// which blocked and never read would be lost.
TEST_F(InjectedFaults, WithoutASignalDescriptorSigtermStillEndsTheServer) {
    Start("signalfd:EMFILE:1");
    ASSERT_TRUE(server->WaitForLine("Error: no signalfd", &mark)) << server->Tail();
    Serve();
    Exchange(1);
    ASSERT_EQ(kill(server->Pid(), SIGTERM), 0);
    EXPECT_EQ(server->WaitForExit(), 128 + SIGTERM) << server->Tail();
}

// A client's bursts toward a network interface (a TUN device plays it), each in one send of
// the client, and the interface's sends made to fail.
struct InjectedFaultsToAnInterface : ::testing::Test {
    std::optional<TunLon> lon;
    int port = FreePort();
    std::unique_ptr<ServerProcess> server;
    TestClient client;
    size_t mark = 0;

    void SetUp() override {
        std::string why = TunLon::Unavailable();
        SKIP_IF_MISSING(why);
        lon.emplace();
    }
    void Serve(const std::string& faults) {
        server = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port), "-d", lon->Name()},
            std::vector<std::string>{"VELTRABOX_FAULTS=" + faults});
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    }
    // Short telegrams, so that one receive of the server holds the whole burst.
    static ipmsg::Bytes Small(uint32_t number) {
        return {0xA5, 2, uint8_t(number), uint8_t(number >> 8)};
    }
    void SendBurst(uint32_t first, uint32_t count) {
        ipmsg::Bytes burst;
        for (uint32_t i = first; i < first + count; ++i) {
            ipmsg::Bytes message = ipmsg::Encode(ipmsg::ID_DATA, Small(i));
            burst.insert(burst.end(), message.begin(), message.end());
        }
        ASSERT_TRUE(client.SendRaw(burst));
    }
    // The most "SendPacketToLon(4):" lines in a row: the telegrams that went in one write.
    size_t LongestWrite() {
        size_t longest = 0, run = 0;
        for (const std::string& line : server->Lines()) {
            run = line.find("SendPacketToLon(4):") != std::string::npos ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    }
};

// The telegrams of a burst go to the interface in one write; where the kernel takes only part
// of it, or none for the moment, the rest follows: every telegram arrives once, in order.
TEST_F(InjectedFaultsToAnInterface, ABurstGoesInOneWriteAndWholeThroughPartialSends) {
    Serve("send:ENOBUFS:5,send:EAGAIN:50,send:EINTR:51");
    for (uint32_t burst = 0; burst < 3; ++burst) {
        SendBurst(burst * 40, 40);
        for (uint32_t i = burst * 40; i < burst * 40 + 40; ++i)
            ASSERT_EQ(lon->Read(), Small(i)) << server->Tail();
    }
    EXPECT_EQ(lon->ReadFrame(std::chrono::milliseconds(200)), std::nullopt);
    EXPECT_EQ(server->CountLines("faults: send fails"), 3u) << server->Tail();
    EXPECT_GT(LongestWrite(), 1u) << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

// A send that fails in mid-burst ends the cycle: the telegrams before it went and are counted,
// none after it goes.
TEST_F(InjectedFaultsToAnInterface, ASendFailingInMidBurstEndsTheCycleAfterThoseBeforeIt) {
    Serve("send:EIO:5,send:EIO:6");
    SendBurst(0, 10);
    for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(lon->Read(), Small(i)) << server->Tail();
    EXPECT_TRUE(client.WaitClosed()) << server->Tail();
    EXPECT_EQ(lon->ReadFrame(std::chrono::milliseconds(200)), std::nullopt);
    EXPECT_EQ(server->CountLines("LON Reboot SendPacketToLon()=201"), 1u) << server->Tail();
    EXPECT_EQ(StatusByPort(*server)[port]["to_bus"], 4) << server->Tail();
}

}  // namespace
}  // namespace e2e
