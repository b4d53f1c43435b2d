// The veltraclient tool: its framing, and the program against a fake server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <regex>

#include "support/missing.h"
#include "support/server_process.h"
#include "tools/veltraclient/ipmsg.h"

namespace {

using ipmsg::Bytes;

TEST(IpMsgFraming, DecodesMessagesWhateverPiecesTheyArriveIn) {
    Bytes stream = ipmsg::Encode(ipmsg::ID_DATA, {0x00, 0x01, 0xAA});
    Bytes alive = ipmsg::Encode(ipmsg::ID_ALIVE, {});
    Bytes other = ipmsg::Encode(0x1234, Bytes(300, 0x5A));
    stream.insert(stream.end(), alive.begin(), alive.end());
    stream.insert(stream.end(), other.begin(), other.end());
    ASSERT_EQ(stream.size(), 7u + 4u + 304u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 4), (Bytes{0x10, 0x00, 0x03, 0x00}));

    ipmsg::Decoder decoder;
    std::vector<ipmsg::Message> messages;
    ipmsg::Message message;
    for (uint8_t byte : stream) {
        ipmsg::Feed(decoder, &byte, 1);
        while (ipmsg::Next(decoder, &message)) messages.push_back(message);
    }
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].id, ipmsg::ID_DATA);
    EXPECT_EQ(messages[0].data, (Bytes{0x00, 0x01, 0xAA}));
    EXPECT_EQ(messages[1].id, ipmsg::ID_ALIVE);
    EXPECT_TRUE(messages[1].data.empty());
    EXPECT_EQ(messages[2].id, 0x1234);
    EXPECT_EQ(messages[2].data, Bytes(300, 0x5A));
    EXPECT_TRUE(decoder.pending.empty());
}

TEST(IpMsgFraming, ParsesHexTelegramsAndRejectsAnythingElse) {
    Bytes bytes;
    EXPECT_TRUE(ipmsg::ParseHex("00 03 0a Bc ff", &bytes));
    EXPECT_EQ(bytes, (Bytes{0x00, 0x03, 0x0A, 0xBC, 0xFF}));
    EXPECT_TRUE(ipmsg::ParseHex("\t0001aa ", &bytes));
    EXPECT_EQ(bytes, (Bytes{0x00, 0x01, 0xAA}));
    EXPECT_EQ(ipmsg::HexOf(bytes), "00 01 AA");
    for (const char* bad : {"0", "00 1", "0 01", "0x01", "zz", "00,01"}) {
        EXPECT_FALSE(ipmsg::ParseHex(bad, &bytes)) << bad;
    }
}

// A listening socket on a free loopback port, playing the server: on 127.0.0.1, or on ::1
// (port 0 when IPv6 is switched off).
struct FakeServer {
    int listener = -1;
    int port = 0;
    explicit FakeServer(int family = AF_INET) {
        listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        socklen_t size = family == AF_INET ? sizeof *in : sizeof *in6;
        address.ss_family = sa_family_t(family);
        if (family == AF_INET) in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (family == AF_INET6) in6->sin6_addr = in6addr_loopback;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port = ntohs(family == AF_INET ? in->sin_port : in6->sin6_port);
        }
    }
    ~FakeServer() { close(listener); }
};

// Reads messages from `fd` until `count` have come or the wait runs out.
std::vector<ipmsg::Message> ReadMessages(int fd, size_t count) {
    ipmsg::Decoder decoder;
    std::vector<ipmsg::Message> messages;
    ipmsg::Message message;
    while (messages.size() < count) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, int(e2e::Duration(e2e::WAIT).count())) <= 0) break;
        uint8_t buffer[1024];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        ipmsg::Feed(decoder, buffer, size_t(n));
        while (ipmsg::Next(decoder, &message)) messages.push_back(message);
    }
    return messages;
}

TEST(Veltraclient, SendsTelegramsPrintsMessagesAndKeepsTheConnectionAlive) {
    FakeServer server;
    ASSERT_GT(server.port, 0);
    // Telegrams from the command line first, then the lines of standard input (a bad line is
    // skipped); it exits after the second data message received.
    std::string command = "printf '00 02 0B 0C\\nnot hex\\n0000\\n' | " +
                          e2e::BuiltProgram("veltraclient") + " -p " + std::to_string(server.port) +
                          " -n 2 -t 60 0001AA - 2>/dev/null";
    auto output = std::async(std::launch::async, [&] { return e2e::RunCommand(command); });

    int client = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(client, 0);
    auto sent = ReadMessages(client, 3);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].id, ipmsg::ID_DATA);
    EXPECT_EQ(sent[0].data, (Bytes{0x00, 0x01, 0xAA}));
    EXPECT_EQ(sent[1].data, (Bytes{0x00, 0x02, 0x0B, 0x0C}));
    EXPECT_EQ(sent[2].data, (Bytes{0x00, 0x00}));

    // Silent for a while: the client speaks up with a keep-alive of its own.
    auto alive = ReadMessages(client, 1);
    ASSERT_EQ(alive.size(), 1u);
    EXPECT_EQ(alive[0].id, ipmsg::ID_ALIVE);
    EXPECT_TRUE(alive[0].data.empty());

    Bytes reply = ipmsg::Encode(ipmsg::ID_ALIVE, {});
    Bytes data1 = ipmsg::Encode(ipmsg::ID_DATA, {0x00, 0x01, 0xFE});
    Bytes data2 = ipmsg::Encode(ipmsg::ID_DATA, {0x12, 0x00});
    reply.insert(reply.end(), data1.begin(), data1.end());
    reply.insert(reply.end(), data2.begin(), data2.end());
    ASSERT_EQ(send(client, reply.data(), reply.size(), MSG_NOSIGNAL), ssize_t(reply.size()));

    auto [text, status] = output.get();
    close(client);
    EXPECT_EQ(status, 0) << text;
    std::regex expected(
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} id=0 len=0\n"
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} id=16 len=3 00 01 FE\n"
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} id=16 len=2 12 00\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

// A connection that ends before the client has what it waited for ends with the reason the wire
// gives: closed at once (3), closed after messages came (4), no answer within -t (5).
TEST(Veltraclient, AnEndBeforeWhatItWaitedForIsAFailureWithItsReason) {
    struct Case {
        const char* options;
        bool sendFirst;  // the server sends a keep-alive before it closes
        bool close;
        int status;
    };
    for (const Case& c : {Case{"-n 0 0001AA", false, true, 3}, Case{"-n 2", true, true, 4},
                          Case{"-n 1 -t 0.3", false, false, 5}}) {
        FakeServer server;
        std::string command = e2e::BuiltProgram("veltraclient") + " -p " +
                              std::to_string(server.port) + " " + c.options +
                              " </dev/null 2>&1 >/dev/null";
        auto result = std::async(std::launch::async, [&] { return e2e::RunCommand(command); });
        int client = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(client, 0);
        Bytes alive = ipmsg::Encode(ipmsg::ID_ALIVE, {});
        if (c.sendFirst) {
            ASSERT_EQ(send(client, alive.data(), alive.size(), 0), 4);
        }
        if (c.close) close(client);
        auto [text, status] = result.get();
        EXPECT_EQ(status, c.status) << c.options << ": " << text;
        if (!c.close) close(client);
    }
}

// Sends one telegram to `host` and ends; true when `listener` got it.
bool ReachedThrough(const std::string& host, int listener, int port) {
    std::string command = e2e::BuiltProgram("veltraclient") + " -h " + host + " -p " +
                          std::to_string(port) + " -n 0 0001AA </dev/null 2>&1";
    auto result = std::async(std::launch::async, [&] { return e2e::RunCommand(command); });
    pollfd waiting = {listener, POLLIN, 0};
    if (poll(&waiting, 1, int(e2e::Duration(e2e::WAIT).count())) != 1) return false;
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    auto got = ReadMessages(client, 1);
    // A server that serves keeps the connection: -n 0 ends once it has seen that.
    int status = result.get().status;
    close(client);
    return status == 0 && got.size() == 1 && got[0].data == Bytes{0x00, 0x01, 0xAA};
}

TEST(Veltraclient, TheHostIsAnIpv4OrIpv6AddressOrAName) {
    FakeServer v4;
    EXPECT_TRUE(ReachedThrough("127.0.0.1", v4.listener, v4.port));
    // localhost may name ::1 first, where nothing listens: the next address is tried.
    EXPECT_TRUE(ReachedThrough("localhost", v4.listener, v4.port));
    FakeServer v6(AF_INET6);
    SKIP_IF_MISSING(v6.port == 0 ? "::1 cannot be bound: IPv6 is switched off" : "");
    EXPECT_TRUE(ReachedThrough("::1", v6.listener, v6.port));
}

TEST(Veltraclient, EchoesDataMessagesButNotKeepAlives) {
    FakeServer server;
    std::string command = e2e::BuiltProgram("veltraclient") + " -p " + std::to_string(server.port) +
                          " -e -n 1 </dev/null >/dev/null 2>&1";
    auto result = std::async(std::launch::async, [&] { return e2e::RunCommand(command); });
    int client = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(client, 0);
    Bytes wire = ipmsg::Encode(ipmsg::ID_ALIVE, {});
    Bytes data = ipmsg::Encode(ipmsg::ID_DATA, {0x00, 0x01, 0x42});
    wire.insert(wire.end(), data.begin(), data.end());
    ASSERT_EQ(send(client, wire.data(), wire.size(), MSG_NOSIGNAL), ssize_t(wire.size()));
    auto echoed = ReadMessages(client, 1);
    ASSERT_EQ(echoed.size(), 1u);
    EXPECT_EQ(echoed[0].id, ipmsg::ID_DATA);
    EXPECT_EQ(echoed[0].data, (Bytes{0x00, 0x01, 0x42}));
    EXPECT_EQ(result.get().status, 0);
    close(client);
}

TEST(Veltraclient, DecodesAndMarksEveryTelegramBothWaysButNotKeepAlives) {
    FakeServer server;
    std::string command = e2e::BuiltProgram("veltraclient") + " -p " + std::to_string(server.port) +
                          " -D -n 2 -t 60 \"50 00\" </dev/null 2>/dev/null";
    auto output = std::async(std::launch::async, [&] { return e2e::RunCommand(command); });
    int client = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(client, 0);
    ASSERT_EQ(ReadMessages(client, 1).size(), 1u);
    Bytes wire = ipmsg::Encode(ipmsg::ID_ALIVE, {});
    Bytes data = ipmsg::Encode(ipmsg::ID_DATA, {0x12, 0x04, 0x60, 0x00, 0x01, 0x51});
    // What a monitor sees of the served client's telegrams to the bus.
    Bytes toBus = ipmsg::Encode(ipmsg::ID_TO_BUS, {0x70, 0x00});
    wire.insert(wire.end(), data.begin(), data.end());
    wire.insert(wire.end(), toBus.begin(), toBus.end());
    ASSERT_EQ(send(client, wire.data(), wire.size(), MSG_NOSIGNAL), ssize_t(wire.size()));
    auto [text, status] = output.get();
    close(client);
    EXPECT_EQ(status, 0) << text;
    std::regex expected(
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} sent id=16 len=2 50 00\n"
        "             reset\n"
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} id=0 len=0\n"
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} from bus id=16 len=6 12 04 60 00 01 51\n"
        "             niCOMM\\|niTQ tag 0 REQUEST; no address; QueryStatus\n"
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} to bus id=17 len=2 70 00\n"
        "             .+\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

}  // namespace
