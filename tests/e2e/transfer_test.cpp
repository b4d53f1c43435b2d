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

#include "flow.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr uint32_t TELEGRAMS = 10000;

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

TEST(Transfer, TenThousandTelegramsEachWayOverASerialLine) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()});
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();

    auto toLon = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, 0xC3, TELEGRAMS);
    });
    std::string fromLon = RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); },
                                  [&] { return client.ReceiveData(); }, 0xD4, TELEGRAMS);
    EXPECT_EQ(toLon.get(), "") << server.Tail();
    EXPECT_EQ(fromLon, "") << server.Tail();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();
}

// The served connection's options, read back from the server's own socket: each message leaves
// at once (TCP_NODELAY), and the stack probes a peer that falls silent (SO_KEEPALIVE).
TEST(Transfer, TheServedConnectionSendsAtOnceAndProbesASilentPeer) {
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port)});
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    int served = client.TakeServerEnd(server.Pid());
    if (served < 0 && (errno == EPERM || errno == ENOSYS)) {
        GTEST_SKIP() << "the server's socket cannot be taken (pidfd_getfd needs Linux 5.6 and the "
                        "right to trace the server): "
                     << std::strerror(errno);
    }
    ASSERT_GE(served, 0) << std::strerror(errno);
    EXPECT_EQ(SocketOption(served, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(SocketOption(served, SOL_SOCKET, SO_KEEPALIVE), 1);
    close(served);
}

}  // namespace
}  // namespace e2e
