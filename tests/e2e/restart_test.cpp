// The real server rebuilds its connection after every kind of failure, and a client can
// connect again at once each time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "flow.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

// One telegram each way between two clients of instances on one simulated channel.
void ExpectExchange(TestClient& a, TestClient& b, uint32_t number) {
    ASSERT_TRUE(a.SendData(NumberedTelegram(0xA1, number)));
    EXPECT_EQ(b.ReceiveData(), NumberedTelegram(0xA1, number));
    ASSERT_TRUE(b.SendData(NumberedTelegram(0xB2, number)));
    EXPECT_EQ(a.ReceiveData(), NumberedTelegram(0xB2, number));
}

// One telegram each way between a client and the LON side of a serial line.
void ExpectExchange(TestClient& client, PtyLon& lon, uint32_t number) {
    ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, number)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, number));
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, number)));
    EXPECT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, number));
}

struct TwoInstances : ::testing::Test {
    int portA = FreePort(), portB = FreePort();
    ServerProcess server{{"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)}};
    size_t mark = 0;

    // Connects `client` to `port` and waits until its instance is serving it.
    void Serve(TestClient& client, int port) {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    }
};

TEST_F(TwoInstances, AClientThatClosesIsReplacedAtOnce) {
    TestClient a, b;
    Serve(b, portB);
    for (uint32_t round = 0; round < 3; ++round) {
        Serve(a, portA);
        ExpectExchange(a, b, round);
        a.Close();
        ASSERT_TRUE(server.WaitForLine(RESTARTING, &mark)) << server.Tail();
    }
    EXPECT_TRUE(server.Running());
}

TEST_F(TwoInstances, AClientThatVanishesWhileTelegramsFlowNeverKillsTheServer) {
    TestClient a, b;
    Serve(b, portB);
    // Client B floods the channel, so instance A always has telegrams to send to its client.
    std::jthread flood([&](std::stop_token stop) {
        for (uint32_t i = 0; !stop.stop_requested() && i < 100000; ++i) {
            if (!b.SendData(NumberedTelegram(0xB2, i))) return;
            // Paced, so that the flood does not drown the log.
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 5; ++round) {
        Serve(a, portA);
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(a.ReceiveData()) << server.Tail();
        a.Abort();
        ASSERT_TRUE(server.WaitForLine(RESTARTING, &mark)) << server.Tail();
    }
    flood.request_stop();
    flood.join();
    // And the other way: the client sends a burst and vanishes in the middle of it.
    for (int round = 0; round < 3; ++round) {
        Serve(a, portA);
        for (uint32_t i = 0; i < 500; ++i) ASSERT_TRUE(a.SendData(NumberedTelegram(0xA1, i)));
        a.Abort();
        ASSERT_TRUE(server.WaitForLine(RESTARTING, &mark)) << server.Tail();
    }
    ASSERT_TRUE(server.Running());
    // Whatever of the bursts reached B is drained by waiting for a marked telegram.
    Serve(a, portA);
    ASSERT_TRUE(a.SendData(NumberedTelegram(0xEE, 1)));
    std::optional<ipmsg::Bytes> seen;
    while ((seen = b.ReceiveData()) && *seen != NumberedTelegram(0xEE, 1)) {
    }
    ASSERT_TRUE(seen) << server.Tail();
    ExpectExchange(a, b, 7);
}

// A client that sends nothing at all: the server sends it one ID_ALIVE (at the second period
// end) and drops it at the fourth (about 20 to 24 s). A veltraclient beside it, on the other
// instance, keeps its connection with its own keep-alives all that time. Slow: real time.
TEST_F(TwoInstances, ASilentClientGetsAliveAndIsDroppedAtTheFourthPeriodEnd) {
    ASSERT_TRUE(WaitForListener(portB));
    std::string command = BuiltProgram("veltraclient") + " -p " + std::to_string(portB) +
                          " -n 1 -t 60 2>&1 </dev/null";
    auto keeper = std::async(std::launch::async, [&] { return RunCommand(command); });
    TestClient silent;
    ASSERT_TRUE(silent.Connect(portA));
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();

    auto first = silent.Receive(15s);  // due 10 s after the cycle began
    ASSERT_TRUE(first) << server.Tail();
    EXPECT_EQ(first->id, ipmsg::ID_ALIVE);
    EXPECT_TRUE(first->data.empty());
    EXPECT_FALSE(silent.Receive(15s)) << "a second message";  // dropped 10 s after it
    EXPECT_TRUE(silent.WaitClosed(0ms)) << server.Tail();
    EXPECT_TRUE(server.WaitForLine("ReadNoAliveCount=4 WriteAliveCount=2")) << server.Tail();
    EXPECT_TRUE(server.WaitForLine("ReadNoAliveCount >= MAX_READ_NOALIVE_COUNT")) << server.Tail();

    // It can come back at once, and the veltraclient beside it was never dropped.
    ASSERT_TRUE(server.WaitForLine(RESTARTING, &mark)) << server.Tail();
    TestClient again;
    Serve(again, portA);
    ASSERT_TRUE(again.SendData(NumberedTelegram(0xA1, 5)));
    auto [text, status] = keeper.get();
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find(" id=0 len=0\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" id=16 len=" + std::to_string(NumberedTelegram(0xA1, 5).size()) + " " +
                        ipmsg::HexOf(NumberedTelegram(0xA1, 5)) + "\n"),
              std::string::npos)
        << text;
}

// The LON interface fails (the serial line hangs up): the server closes the client first, so
// the connection's TIME_WAIT stays on the server's port. The instance keeps its listening
// socket and serves the next client at once. A server started anew on the port (as systemd
// restarts it) must bind the port while that connection is still in TIME_WAIT.
TEST(Restart, AfterALonFailureAndWithTheServerPortInTimeWait) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("veltrabox-lon-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::path link = dir / "lon";
    auto pointLinkAt = [&](const PtyLon& lon) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(lon.Path(), link);
    };
    auto lon = std::make_unique<PtyLon>();
    pointLinkAt(*lon);
    int port = FreePort();
    const std::vector<std::string> args = {"-p", std::to_string(port), "-d", link.string()};
    auto server = std::make_unique<ServerProcess>(args);
    size_t mark = 0;
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    ExpectExchange(client, *lon, 1);

    lon->Hangup();
    EXPECT_TRUE(client.WaitClosed()) << server->Tail();
    client.Close();
    ASSERT_TRUE(server->WaitForLine(RESTARTING, &mark)) << server->Tail();
    lon = std::make_unique<PtyLon>();
    pointLinkAt(*lon);
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    ExpectExchange(client, *lon, 2);

    client.Close();
    EXPECT_EQ(server->Stop(), 0);
    ASSERT_GE(SocketsInState(port, TCP_TIME_WAIT), 1);
    server = std::make_unique<ServerProcess>(args);
    mark = 0;
    ASSERT_TRUE(client.Connect(port)) << server->Tail();
    ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    ExpectExchange(client, *lon, 3);
    EXPECT_EQ(server->CountLines(ADDRESS_IN_USE), 0u);
    std::filesystem::remove_all(dir);
}

TEST(Restart, WithTheLonDeviceAbsentEveryClientIsAcceptedAndClosed) {
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", "/dev/does-not-exist"});
    size_t mark = 0;
    for (int round = 0; round < 3; ++round) {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        EXPECT_TRUE(client.WaitClosed()) << server.Tail();
        EXPECT_TRUE(server.WaitForLine(LON_START_FAILED, &mark)) << server.Tail();
        ASSERT_TRUE(server.WaitForLine(STOPPED, &mark)) << server.Tail();
    }
    EXPECT_TRUE(server.Running());
    EXPECT_EQ(server.CountLines(STARTED), 0u);
}

}  // namespace
}  // namespace e2e
