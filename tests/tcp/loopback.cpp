#include "tcp/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "diag/debug.h"
#include "tcp/server_socket.h"

namespace {

// Kernel-state waits: a bounded loop of short naps until the condition holds.
template <class Condition>
bool AwaitCondition(Condition condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class WinsockEnvironment : public ::testing::Environment {
    void SetUp() override {
        win::WSADATA data;
        ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
        // Every message path runs (and is checked by the sanitizers) in the tests.
        SetDebugZoneMask(ZONE_DEFAULT | ZONE_ERROR);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

::sockaddr_in Loopback(uint16_t port) {
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

Bytes Message(uint16_t id, const Bytes& payload) {
    Bytes bytes = {uint8_t(id), uint8_t(id >> 8), uint8_t(payload.size()),
                   uint8_t(payload.size() >> 8)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes Message(uint16_t id, uint16_t announcedLength, size_t payloadBytes, uint8_t fill) {
    Bytes bytes = Message(id, Bytes(payloadBytes, fill));
    bytes[2] = uint8_t(announcedLength);
    bytes[3] = uint8_t(announcedLength >> 8);
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void TestClient::ShrinkReceiveBuffer() {
    smallReceiveBuffer_ = true;
}

bool TestClient::TryConnect(uint16_t port) {
    // A fresh socket per try: a refused connect may leave the old one unusable.
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (smallReceiveBuffer_) {
        int size = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ::sockaddr_in address = Loopback(port);
    return ::connect(fd_, reinterpret_cast<::sockaddr*>(&address), sizeof address) == 0;
}

void TestClient::Send(const Bytes& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    ASSERT_TRUE(AwaitCondition([&] {
        int unacknowledged = 0;
        return ::ioctl(fd_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
    }));
}

Bytes TestClient::Read(size_t count) {
    Bytes bytes(count);
    size_t got = 0;
    while (got < count) {
        ssize_t n = ::recv(fd_, bytes.data() + got, count - got, 0);
        if (n <= 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

bool TestClient::AwaitEndOfStream() {
    uint8_t byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
}

void TestClient::Reset() {
    ::linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

void TestClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::sockaddr_in address = Loopback(0);
    ::bind(fd, reinterpret_cast<::sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<::sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::future<win::DWORD> StartServerAsync(ServerInstance* instance) {
    return std::async(std::launch::async, [instance] { return StartTcpServer(instance); });
}

bool ConnectDuringStart(TestClient& client, uint16_t port, std::future<win::DWORD>& start) {
    bool connected = false;
    AwaitCondition([&] {
        if (start.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
        connected = client.TryConnect(port);
        return connected;
    });
    return connected;
}

void OpenLink(Link& link, uint16_t port) {
    link.instance->Port = port;
    auto start = StartServerAsync(link.instance.get());
    ASSERT_TRUE(ConnectDuringStart(link.client, port, start));
    ASSERT_EQ(start.get(), 0u);
}

CloseTcpOnExit::~CloseTcpOnExit() {
    CloseTcp(instance);
}

pid_t CurrentThreadId() {
    return pid_t(::syscall(SYS_gettid));
}

namespace {

bool AwaitSyscall(pid_t tid, std::initializer_list<long> numbers) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    return AwaitCondition([&] {
        std::ifstream file(path);
        long number = -1;
        file >> number;
        return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    });
}

}  // namespace

bool AwaitBlockedInPoll(pid_t tid) {
#ifdef SYS_poll
    return AwaitSyscall(tid, {SYS_poll, SYS_ppoll});
#else
    return AwaitSyscall(tid, {SYS_ppoll});
#endif
}

bool AwaitBlocked(pid_t tid) {
#ifdef SYS_poll
    return AwaitSyscall(tid, {SYS_poll, SYS_ppoll, SYS_futex});
#else
    return AwaitSyscall(tid, {SYS_ppoll, SYS_futex});
#endif
}

bool AwaitTimeWait(uint16_t port) {
    char local[8];
    std::snprintf(local, sizeof local, ":%04X", port);
    return AwaitCondition([&] {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, localAddress, remoteAddress, state;
            fields >> slot >> localAddress >> remoteAddress >> state;
            if (localAddress.ends_with(local) && state == "06") return true;
        }
        return false;
    });
}
