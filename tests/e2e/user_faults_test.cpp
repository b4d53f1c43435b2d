// Faults a user would feel, with the real server: it must be reachable on every address, work
// through the LDV library (-m), and never pass on what a former client left half sent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "flow.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

struct TwoNodes : ::testing::Test {
    int portA = FreePort(), portB = FreePort();
    size_t mark = 0;

    // Serves `client` on `port` of `server`.
    void Serve(ServerProcess& server, TestClient& client, int port) {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    }
};

// A plain connection to `address` (never outside 127.0.0.0/8).
int ConnectTo(const char* address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = Loopback(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const ipmsg::Bytes& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::optional<ipmsg::Bytes> ReceiveData(int fd, ipmsg::Decoder& decoder) {
    for (;;) {
        ipmsg::Message message;
        while (ipmsg::Next(decoder, &message)) {
            if (message.id == ipmsg::ID_DATA) return message.data;
        }
        pollfd ready{fd, POLLIN, 0};
        uint8_t buffer[4096];
        ssize_t n = 0;
        if (poll(&ready, 1, int(WAIT.count())) <= 0 ||
            (n = recv(fd, buffer, sizeof buffer, 0)) <= 0) {
            return std::nullopt;
        }
        ipmsg::Feed(decoder, buffer, size_t(n));
    }
}

// Instance A takes its client on 127.0.0.2 (it listens on every address, not on 127.0.0.1
// alone) and works through the LDV library; instance B, on the same channel, through the
// stream driver.
TEST_F(TwoNodes, TheLibraryWayServesAClientOnAnyLocalAddress) {
    ServerProcess server({"-p", std::to_string(portA), "-m", "-i", "-p", std::to_string(portB)});
    TestClient b;
    Serve(server, b, portB);
    ASSERT_TRUE(WaitForListener(portA));
    int a = ConnectTo("127.0.0.2", portA);
    ASSERT_GE(a, 0) << "not listening on 127.0.0.2";
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    ipmsg::Decoder decoder;
    for (uint32_t i = 0; i < 100; ++i) {
        ASSERT_TRUE(SendAll(a, ipmsg::Encode(ipmsg::ID_DATA, NumberedTelegram(0xA1, i))));
        ASSERT_EQ(b.ReceiveData(), NumberedTelegram(0xA1, i)) << server.Tail();
        ASSERT_TRUE(b.SendData(NumberedTelegram(0xB2, i)));
        ASSERT_EQ(ReceiveData(a, decoder), NumberedTelegram(0xB2, i)) << server.Tail();
    }
    close(a);
}

// A client sends half a message and leaves; the bytes it left must not be taken as the start
// of the next client's stream.
TEST_F(TwoNodes, HalfAMessageLeftByOneClientNeverReachesTheBus) {
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)});
    TestClient b, first, second;
    Serve(server, b, portB);
    Serve(server, first, portA);
    ipmsg::Bytes half = ipmsg::Encode(ipmsg::ID_DATA, NumberedTelegram(0xEE, 7));
    half.resize(half.size() / 2);
    ASSERT_TRUE(first.SendRaw(half));
    ASSERT_TRUE(server.WaitForLine("GetPacketFromTcp()=104", &mark)) << server.Tail();
    first.Close();
    ASSERT_TRUE(server.WaitForLine(RESTARTING, &mark)) << server.Tail();
    Serve(server, second, portA);
    ASSERT_TRUE(second.SendData(NumberedTelegram(0xA1, 1)));
    EXPECT_EQ(b.ReceiveData(), NumberedTelegram(0xA1, 1)) << server.Tail();
}

}  // namespace
}  // namespace e2e
