#include "support/loopback_client.h"

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
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/ports.h"

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

bool TestClient::Write(const uint8_t* data, size_t size) {
    return ::send(fd_, data, size, MSG_NOSIGNAL) == ssize_t(size);
}

void TestClient::FinishSending() {
    ::shutdown(fd_, SHUT_WR);
}

void TestClient::Send(const Bytes& bytes) {
    ASSERT_TRUE(Write(bytes.data(), bytes.size()));
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
