// The real server with real TCP clients: telegrams cross the bridge whole, in order, none lost
// or doubled, on the simulated interface and on a serial line (a pty).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "flow.h"
#include "support/missing.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr uint32_t TELEGRAMS = 10000;

// The server's end of the client's connection; -1 with `why` set when this machine cannot give
// it (pidfd_getfd needs Linux 5.6 and the right to trace the server), -1 alone on failure.
int ServerEnd(const TestClient& client, const ServerProcess& server, std::string* why) {
    int served = client.TakeServerEnd(server.Pid());
    if (served < 0 && (errno == EPERM || errno == ENOSYS)) {
        *why = std::string(
                   "the server's socket cannot be taken (pidfd_getfd needs Linux 5.6 and "
                   "the right to trace the server): ") +
               std::strerror(errno);
    }
    return served;
}

// Two instances on the one simulated channel "LON1:": what client A sends, client B receives
// from the bus, and back. This is also `-p A -i -p B` serving both ports at once.
TEST(Transfer, TenThousandTelegramsEachWayBetweenTwoInstancesOnOneSimulatedChannel) {
    int portA = FreePort(), portB = FreePort();
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)});
    TestClient a, b;
    ASSERT_TRUE(a.Connect(portA));
    ASSERT_TRUE(b.Connect(portB));
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();

    auto aToB = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return a.SendData(t); },
                       [&] { return b.ReceiveData(); }, 0xA1, TELEGRAMS);
    });
    std::string bToA = RunFlow([&](const ipmsg::Bytes& t) { return b.SendData(t); },
                               [&] { return a.ReceiveData(); }, 0xB2, TELEGRAMS);
    EXPECT_EQ(aToB.get(), "") << server.Tail();
    EXPECT_EQ(bToA, "") << server.Tail();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();
}

// A server on a pty that plays its serial interface, with one client.
struct SerialLine : ::testing::Test {
    PtyLon lon;
    int port = FreePort();
    std::unique_ptr<ServerProcess> server;
    TestClient client;

    // Starts the server and waits until it serves the client.
    void Serve() {
        ASSERT_TRUE(lon.Open());
        server = std::make_unique<ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port), "-d", lon.Path()});
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server->WaitForLine(STARTED)) << server->Tail();
    }
};

TEST_F(SerialLine, TenThousandTelegramsEachWay) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    auto toLon = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, 0xC3, TELEGRAMS);
    });
    std::string fromLon = RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); },
                                  [&] { return client.ReceiveData(); }, 0xD4, TELEGRAMS);
    EXPECT_EQ(toLon.get(), "") << server->Tail();
    EXPECT_EQ(fromLon, "") << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

// Bursts from the bus, many telegrams to a write on the line so that one read of the server
// brings many, over a connection with small buffers at both ends, so that the server's sends
// go out part by part: each telegram arrives whole and in order. A single telegram after them
// arrives on its own, without a further one to push it out.
TEST_F(SerialLine, BurstsReachASlowClientWholeAndInOrderAndALoneTelegramFollows) {
    client.ShrinkReceiveBuffer();
    ASSERT_NO_FATAL_FAILURE(Serve());
    std::string why;
    int served = ServerEnd(client, *server, &why);
    SKIP_IF_MISSING(why);
    ASSERT_GE(served, 0) << std::strerror(errno);
    ShrinkSendBuffer(served);
    close(served);

    EXPECT_EQ(RunBurst([&](const ipmsg::Bytes& piece) { return lon.Write(piece); },
                       [&] { return client.ReceiveData(); }, 0xE5, TELEGRAMS, 300),
              "")
        << server->Tail();
    const ipmsg::Bytes alone = NumberedTelegram(0xE6, 1);
    ASSERT_TRUE(lon.Write(alone));
    EXPECT_EQ(client.ReceiveData(), alone) << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

// The served connection's options, read back from the server's own socket: each message leaves
// at once (TCP_NODELAY), and the stack probes a peer that falls silent (SO_KEEPALIVE).
TEST(Transfer, TheServedConnectionSendsAtOnceAndProbesASilentPeer) {
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port)});
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    std::string why;
    int served = ServerEnd(client, server, &why);
    SKIP_IF_MISSING(why);
    ASSERT_GE(served, 0) << std::strerror(errno);
    EXPECT_EQ(SocketOption(served, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(SocketOption(served, SOL_SOCKET, SO_KEEPALIVE), 1);
    close(served);
}

}  // namespace
}  // namespace e2e
