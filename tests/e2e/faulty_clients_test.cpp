// Clients that make faults: one that connects again the moment it closed, and one that stops
// reading while the bus is busy. Neither may leave the instance unable to serve the next.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "flow.h"
#include "server_status.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

// Each client connects, sends one telegram and closes; the next comes at once. Every one must
// be served in its turn, none refused or reset, so every telegram reaches the other instance.
TEST(ReconnectingClients, EachIsServedInItsTurn) {
    constexpr uint32_t CLIENTS = 300;
    int portA = FreePort(), portB = FreePort();
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)});
    TestClient b;
    ASSERT_TRUE(b.Connect(portB));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    for (uint32_t i = 0; i < CLIENTS; ++i) {
        TestClient a;
        ASSERT_TRUE(a.Connect(portA));
        ASSERT_TRUE(a.SendData(NumberedTelegram(0xA1, i)));
        // B's client stays alive however long the reconnections take: under an emulated ARM
        // core they outlast the four silent periods that would end its cycle.
        ASSERT_TRUE(b.SendAlive());
    }
    for (uint32_t i = 0; i < CLIENTS; ++i) {
        auto telegram = b.ReceiveData();
        ASSERT_TRUE(telegram) << "telegram " << i << " lost\n" << server.Tail();
        ASSERT_EQ(*telegram, NumberedTelegram(0xA1, i)) << server.Tail();
    }
}

// A plain socket with a tiny receive window that sends but never reads.
struct NonReader {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~NonReader() { close(fd); }
    bool Connect(int port) {
        int small = 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address = Loopback(port);
        return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    bool SendData(const ipmsg::Bytes& telegram) {
        ipmsg::Bytes wire = ipmsg::Encode(ipmsg::ID_DATA, telegram);
        return send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) == ssize_t(wire.size());
    }
};

// The longest telegram: byte 1 counts the 253 bytes after it.
ipmsg::Bytes LongTelegram(uint32_t number) {
    ipmsg::Bytes telegram(255, uint8_t(number));
    telegram[0] = 0xB2;
    telegram[1] = 253;
    return telegram;
}

// Client B floods the channel with more than any send buffer holds, so instance A's pump
// thread blocks in its send to a client that has stopped reading. The keep-alive that cannot
// go out within a period ends the cycle (about three keep-alive periods later); a newcomer is
// then served.
// The log leaves out the per-telegram lines, which would run to millions.
TEST(StalledClient, AClientThatStopsReadingUnderAFloodIsDroppedAndTheNextIsServed) {
    int portA = FreePort(), portB = FreePort();
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)}, {},
                         0x12);
    TestClient b;
    ASSERT_TRUE(b.Connect(portB));
    NonReader stalled;
    ASSERT_TRUE(stalled.Connect(portA));
    // Both are served once a telegram of the stalled client reaches B.
    bool bothServed = false;
    for (uint32_t i = 0; i < 100 && !bothServed; ++i) {
        ASSERT_TRUE(stalled.SendData(NumberedTelegram(0xA1, i)));
        bothServed = b.ReceiveData(200ms).has_value();
    }
    ASSERT_TRUE(bothServed) << server.Tail();
    std::jthread flood([&](std::stop_token stop) {
        for (uint32_t i = 0; !stop.stop_requested() && b.SendData(LongTelegram(i)); ++i) {
            // After the first 10 MB, a trickle keeps it full and gives the next client data.
            if (i > 40000) std::this_thread::sleep_for(1ms);
        }
    });
    // While the stalled client is still served, a newcomer is closed at once: it reads the end
    // of the stream, with nothing before it, while the stalled client's cycle still runs (its
    // drop takes two keep-alive periods at the least).
    TestClient early;
    ASSERT_TRUE(early.Connect(portA));
    EXPECT_TRUE(early.WaitEndOfStream()) << server.Tail();
    EXPECT_EQ(StatusByPort(server)[portA]["restarts"], 0);
    TestClient next;
    bool served = false;
    const Clock::time_point deadline = Clock::now() + 3 * WAIT;
    while (!served && Clock::now() < deadline) {
        served = next.Connect(portA) && next.ReceiveData(1s).has_value();
        if (!served) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(served) << server.Tail();
}

}  // namespace
}  // namespace e2e
