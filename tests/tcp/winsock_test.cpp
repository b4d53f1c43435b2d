// Contracts of the socket layer that the server relies on beyond plain BSD behaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "platform/win.h"
#include "support/missing.h"
#include "tcp/framing.h"
#include "tcp/loopback.h"
#include "tcp/server_socket.h"

using win::DWORD;

namespace {

// The kernel hands the next connection the descriptor number the closed socket had; a thread
// still holding the closed value must not reach it.
TEST(Winsock, ClosedValueHeldByAnotherThreadNeverReachesTheNextSocket) {
    Link link;
    uint16_t port = FreePort();
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, port));
    win::SOCKET stale = link.instance->ClientSocket.load();

    std::promise<void> nextCycleOpen;
    auto holder = std::async(std::launch::async, [&, stale] {
        nextCycleOpen.get_future().wait();
        uint8_t bytes[4] = {0xBA, 0xD0, 0xBA, 0xD0};
        int sent = win::send(stale, reinterpret_cast<const char*>(bytes), 4, 0);
        return std::make_pair(sent, win::WSAGetLastError());
    });

    CloseTcp(link.instance.get());
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, port));
    EXPECT_NE(link.instance->ClientSocket.load(), stale);
    nextCycleOpen.set_value();
    auto [sent, error] = holder.get();
    EXPECT_EQ(sent, win::SOCKET_ERROR);
    EXPECT_EQ(error, win::WSAENOTSOCK);
    EXPECT_EQ(win::closesocket(stale), win::SOCKET_ERROR);

    uint8_t marker = 0x5A;
    ASSERT_EQ(SendOneMessage(link.instance.get(), &marker, 1), 0u);
    EXPECT_EQ(link.client.ReadRaw(5), (Bytes{ID_DATA, 0, 1, 0, 0x5A}));
    CloseTcp(link.instance.get());
}

// An AF_INET6 socket on the wildcard address takes clients of both families; accept reports an
// IPv4 client in its IPv4-mapped form, which the server turns back into IPv4.
TEST(Winsock, ADualStackListenerTakesBothFamilies) {
    win::BYTE bytes[16];
    wchar_t text[46];
    ASSERT_EQ(win::InetPtonW(win::AF_INET6, L"2001:DB8:0:0::7", bytes), 1);
    EXPECT_STREQ(win::InetNtopW(win::AF_INET6, bytes, text, 46), L"2001:db8::7");
    EXPECT_EQ(win::InetNtopW(win::AF_INET6, bytes, text, 11), nullptr) << "no room";
    EXPECT_EQ(win::InetPtonW(win::AF_INET, L"::1", bytes), 0);
    EXPECT_EQ(win::InetPtonW(win::AF_INET6, L"127.0.0.1", bytes), 0);

    win::SOCKET listener = win::socket(win::AF_INET6, win::SOCK_STREAM, 0);
    SKIP_IF_MISSING(listener == win::INVALID_SOCKET &&
                            win::WSAGetLastError() == win::WSAEAFNOSUPPORT
                        ? "IPv6 is switched off in this kernel"
                        : "");
    uint16_t port = FreePort();
    win::sockaddr_in6 any{};
    any.sin6_family = win::AF_INET6;
    any.sin6_port = win::htons(port);
    ASSERT_EQ(win::bind(listener, reinterpret_cast<win::sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(win::listen(listener, 4), 0);
    auto peerText = [listener](int* family) {
        win::sockaddr_storage peer{};
        int length = sizeof peer;
        win::SOCKET s = win::accept(listener, reinterpret_cast<win::sockaddr*>(&peer), &length);
        win::sockaddr_in6 in6{};
        std::memcpy(&in6, &peer, sizeof in6);
        *family = peer.ss_family;
        wchar_t address[46] = L"";
        if (s != win::INVALID_SOCKET && length == int(sizeof in6)) {
            win::InetNtopW(win::AF_INET6, in6.sin6_addr.u.Byte, address, 46);
        }
        win::closesocket(s);
        return std::wstring(address);
    };
    int family = 0;
    e2e::TestClient v4;
    ASSERT_TRUE(v4.Connect(port, e2e::WAIT, "127.0.0.1", ""));
    EXPECT_EQ(peerText(&family), L"::ffff:127.0.0.1");
    EXPECT_EQ(family, win::AF_INET6);
    if (e2e::Ipv6LoopbackMissing().empty()) {
        e2e::TestClient v6;
        ASSERT_TRUE(v6.Connect(port, e2e::WAIT, "::1", ""));
        EXPECT_EQ(peerText(&family), L"::1");
    }
    win::closesocket(listener);
}

// One thread's message is larger than the connection can buffer, so its send waits part-way;
// a second thread's send on the same socket then must wait its turn, not slip in between.
TEST(Winsock, ConcurrentSendsOnOneSocketNeverInterleave) {
    constexpr size_t LARGE = 16 << 20;  // well above the largest TCP send buffer
    constexpr size_t SMALL = 1 << 20;
    Link link;
    link.client.ShrinkReceiveBuffer();
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    win::SOCKET s = link.instance->ClientSocket.load();

    auto sender = [s](size_t size, char tag, std::atomic<pid_t>& tid) {
        return std::async(std::launch::async, [s, size, tag, &tid] {
            std::vector<char> message(size, tag);
            tid = CurrentThreadId();
            return win::send(s, message.data(), int(size), 0);
        });
    };
    std::atomic<pid_t> largeTid{0};
    std::atomic<pid_t> smallTid{0};
    auto large = sender(LARGE, char(0xA1), largeTid);
    CloseTcpOnExit closer{link.instance.get()};
    while (largeTid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlocked(largeTid.load()));
    auto small = sender(SMALL, char(0xB2), smallTid);
    CloseTcpOnExit smallCloser{link.instance.get()};
    while (smallTid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlocked(smallTid.load()));

    Bytes first = link.client.ReadRaw(LARGE);
    ASSERT_EQ(first.size(), LARGE);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0xA1), ptrdiff_t(LARGE));
    Bytes second = link.client.ReadRaw(SMALL);
    ASSERT_EQ(second.size(), SMALL);
    EXPECT_EQ(std::count(second.begin(), second.end(), 0xB2), ptrdiff_t(SMALL));
    EXPECT_EQ(large.get(), int(LARGE));
    EXPECT_EQ(small.get(), int(SMALL));
}

// The keep-alive's send: while another thread's send waits on a full connection, a send that
// must not wait fails at once, and nothing of it reaches the stream.
TEST(Winsock, ASendThatMustNotWaitFailsAtOnceBehindAWaitingSend) {
    Link link;
    link.client.ShrinkReceiveBuffer();
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    win::SOCKET s = link.instance->ClientSocket.load();
    std::atomic<pid_t> tid{0};
    auto stuck = std::async(std::launch::async, [&] {
        tid = CurrentThreadId();
        std::vector<char> message(16 << 20, char(0xA1));
        return win::send(s, message.data(), int(message.size()), 0);
    });
    CloseTcpOnExit closer{link.instance.get()};
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(tid.load()));

    const char alive[4] = {};
    EXPECT_EQ(win::send(s, alive, 4, win::MSG_DONTWAIT), win::SOCKET_ERROR);
    EXPECT_EQ(win::WSAGetLastError(), win::WSAEWOULDBLOCK);
    CloseTcp(link.instance.get());
    EXPECT_EQ(stuck.get(), win::SOCKET_ERROR);
}

// What the turn-away thread watches: a peer that hangs up shows as POLLHUP (data waiting does
// not), and closing a socket in another thread wakes a poll on it with POLLNVAL.
TEST(Winsock, WSAPollSeesAHangUpAndAClose) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    win::WSAPOLLFD served = {link.instance->ClientSocket.load(), 0, 0};
    link.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, {1, 2}));
    EXPECT_EQ(win::WSAPoll(&served, 1, 0), 0);
    link.client.FinishSending();
    EXPECT_EQ(win::WSAPoll(&served, 1, -1), 1);
    EXPECT_EQ(served.revents, POLLHUP);

    std::atomic<pid_t> tid{0};
    auto polling = std::async(std::launch::async, [&] {
        tid = CurrentThreadId();
        win::WSAPOLLFD listening = {link.instance->ListenSocket.load(), POLLRDNORM, 0};
        int ready = win::WSAPoll(&listening, 1, -1);
        return std::make_pair(ready, listening.revents);
    });
    CloseTcpOnExit closer{link.instance.get()};
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(tid.load()));
    CloseListenSocket(link.instance.get());
    EXPECT_EQ(polling.get(), std::make_pair(1, short(POLLNVAL)));
}

// A socket closed just before the turn-away thread polls it again must end that poll at once;
// waiting on the rest would hold the restart until the thread is terminated.
TEST(Winsock, WSAPollReportsASocketClosedBeforeTheCallAtOnce) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    win::WSAPOLLFD watched[2] = {{link.instance->ClientSocket.load(), 0, 0},
                                 {link.instance->ListenSocket.load(), POLLRDNORM, 0}};
    win::closesocket(link.instance->ClientSocket.exchange(win::INVALID_SOCKET));
    auto polling = std::async(std::launch::async, [&] { return win::WSAPoll(watched, 2, -1); });
    CloseTcpOnExit closer{link.instance.get()};  // first to go: its close ends a stuck poll
    ASSERT_EQ(polling.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the poll waits on the other socket";
    EXPECT_EQ(polling.get(), 1);
    EXPECT_EQ(watched[0].revents, POLLNVAL);
    EXPECT_EQ(watched[1].revents, 0);
}

// The supervisor's last resort for a pump thread that does not end: the thread ends inside its
// receive, and the connection stays usable.
TEST(Winsock, TerminateThreadEndsAThreadBlockedInAReceive) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(OpenLink(link, FreePort()));
    struct Receiver {
        win::SOCKET socket;
        std::atomic<pid_t> tid{0};
    } receiver{link.instance->ClientSocket.load()};
    auto receive = [](win::LPVOID parameter) -> DWORD {
        auto* r = static_cast<Receiver*>(parameter);
        r->tid = CurrentThreadId();
        char byte;
        return DWORD(win::recv(r->socket, &byte, 1, 0));
    };
    win::HANDLE thread = win::CreateThread(nullptr, 0, receive, &receiver, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    while (receiver.tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(AwaitBlockedInPoll(receiver.tid.load()));

    ASSERT_TRUE(win::TerminateThread(thread, 77));
    DWORD code = 0;
    EXPECT_TRUE(win::GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u);
    win::CloseHandle(thread);

    link.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, {3}));
    uint8_t buffer[512];
    DWORD received = 0;
    TcpReceiveState state{};
    EXPECT_EQ(GetPacketFromTcp(link.instance.get(), &state, buffer, 512, &received),
              TCP_RECV_PENDING);
    EXPECT_EQ(GetPacketFromTcp(link.instance.get(), &state, buffer, 512, &received),
              TCP_PACKET_READY);
    CloseTcp(link.instance.get());
}

}  // namespace
