// The listening socket and the one client connection of a cycle: starting, failing to start,
// closing from another thread, and starting again on the same port.
#include "tcp/server_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tcp/framing.h"
#include "tcp/loopback.h"

using win::DWORD;
using win::INVALID_SOCKET;

namespace {

TEST(StartTcpServer, PortHeldByAnotherListenerFailsWith10048) {
    Link holder;
    uint16_t port = FreePort();
    holder.instance->Port = port;
    auto holding = StartServerAsync(holder.instance.get());
    // Once a client got through, the holder is surely listening.
    ASSERT_TRUE(ConnectDuringStart(holder.client, port, holding));
    ASSERT_EQ(holding.get(), 0u);

    ServerInstance second{};
    second.Port = port;
    EXPECT_EQ(StartTcpServer(&second), DWORD(win::WSAEADDRINUSE));
    EXPECT_EQ(second.ListenSocket.load(), INVALID_SOCKET);  // a socket that failed is closed
    EXPECT_EQ(CloseTcp(&second), 0u);
}

TEST(StartTcpServer, Port70000ListensOn4464) {
    Link link;
    link.instance->Port = 70000;
    auto start = StartServerAsync(link.instance.get());
    ASSERT_TRUE(ConnectDuringStart(link.client, 4464, start));
    ASSERT_EQ(start.get(), 0u);
    uint8_t telegram[2] = {0x42, 0};
    ASSERT_EQ(SendOneMessage(link.instance.get(), telegram, 2), 0u);
    EXPECT_EQ(link.client.ReadRaw(6), (Bytes{ID_DATA, 0, 2, 0, 0x42, 0}));
    CloseTcp(link.instance.get());
}

// A new listening socket (a new process, say) binds the port again while a connection of the
// last one sits in TIME_WAIT.
TEST(StartTcpServer, RebindsItsPortWhileTheLastConnectionIsInTimeWait) {
    Link link;
    uint16_t port = FreePort();
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, port));
    // The server closes first, so its side of the connection goes to TIME_WAIT.
    CloseTcp(link.instance.get());
    CloseListenSocket(link.instance.get());
    ASSERT_TRUE(link.client.WaitEndOfStream());
    link.client.Close();
    ASSERT_TRUE(
        e2e::AwaitCondition([port] { return e2e::SocketsInState(port, e2e::TCP_TIME_WAIT) > 0; }));

    auto start = StartServerAsync(link.instance.get());
    ASSERT_TRUE(ConnectDuringStart(link.client, port, start));
    ASSERT_EQ(start.get(), 0u);
    CloseTcp(link.instance.get());
}

TEST(CloseListenSocket, WakesAStartBlockedInAcceptWith10004) {
    ServerInstance instance{};
    instance.Port = FreePort();
    std::atomic<pid_t> tid{0};
    auto start = std::async(std::launch::async, [&] {
        tid = CurrentThreadId();
        return StartTcpServer(&instance);
    });
    CloseTcpOnExit closer{&instance};
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(tid.load()));

    EXPECT_EQ(CloseListenSocket(&instance), 0u);
    EXPECT_EQ(start.get(), DWORD(win::WSAEINTR));
    EXPECT_EQ(instance.ListenSocket.load(), INVALID_SOCKET);
    EXPECT_FALSE(IsOpenSocket(instance.ClientSocket.load()));
}

TEST(CloseTcp, WakesAReceiveBlockedInAnotherThread) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    TcpReceiveState state;
    GetPacketFromTcp(link.instance.get(), &state, nullptr, 0, nullptr);
    std::atomic<pid_t> tid{0};
    auto receive = std::async(std::launch::async, [&] {
        tid = CurrentThreadId();
        uint8_t buffer[512];
        DWORD received = 0;
        return GetPacketFromTcp(link.instance.get(), &state, buffer, sizeof buffer, &received);
    });
    CloseTcpOnExit closer{link.instance.get()};
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(tid.load()));

    CloseTcp(link.instance.get());
    EXPECT_EQ(receive.get(), TCP_RECV_FAILED);
    EXPECT_EQ(state.RemainDataSize, 0u);
}

TEST(CloseTcp, WakesASendBlockedOnAFullConnection) {
    Link link;
    link.client.ShrinkReceiveBuffer();
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    std::atomic<pid_t> tid{0};
    // The client never reads, so the sends fill the connection and the last one blocks.
    auto sending = std::async(std::launch::async, [&] {
        tid = CurrentThreadId();
        uint8_t telegram[512] = {};
        DWORD result;
        while ((result = SendOneMessage(link.instance.get(), telegram, 512)) == 0) {
        }
        return result;
    });
    CloseTcpOnExit closer{link.instance.get()};
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(tid.load()));

    CloseTcp(link.instance.get());
    EXPECT_EQ(sending.get(), TCP_SEND_FAILED);
}

TEST(CloseTcp, CopesWithRecordsOfEveryStage) {
    ServerInstance fresh{};
    EXPECT_EQ(CloseTcp(&fresh), 0u);
    EXPECT_EQ(CloseTcp(&fresh), 0u);

    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    win::SOCKET client = link.instance->ClientSocket.load();
    EXPECT_EQ(CloseTcp(link.instance.get()), 0u);
    EXPECT_EQ(CloseTcp(link.instance.get()), 0u);
    EXPECT_TRUE(link.client.WaitEndOfStream());
    EXPECT_EQ(win::closesocket(client), win::SOCKET_ERROR);
}

TEST(SetSocketOptions, SetsAllThreeOnAClientAndReportsAFailure) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    EXPECT_TRUE(SetSocketOptions(link.instance->ClientSocket.load()));
    win::SOCKET closed = link.instance->ClientSocket.load();
    CloseTcp(link.instance.get());
    EXPECT_FALSE(SetSocketOptions(closed));
    EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
}

}  // namespace
