#include "support/loopback_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
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

// The system call that thread `tid` sleeps in, as /proc shows it; -1 while it runs or sleeps
// in none.
long SleepingIn(pid_t tid) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream stat(task + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    if (end == std::string::npos || line.compare(end, 3, ") S") != 0) return -1;
    std::ifstream syscall(task + "/syscall");
    long number = -1;
    syscall >> number;
    return number;
}

// The number that /proc shows while a thread sits in `block` until `release` runs. It is the
// kernel's own, which is not this program's SYS_ number when an emulator (qemu-user) makes the
// call on the program's behalf.
template <class Block, class Release>
long ShownWhileBlocked(Block block, Release release) {
    std::atomic<pid_t> tid{0};
    std::thread thread([&] {
        tid = CurrentThreadId();
        block();
    });
    long number = -1;
    AwaitCondition([&] {
        long seen = tid ? SleepingIn(tid) : -1;
        // Twice in a row: a wait on the way into `block` does not count.
        bool steady = seen >= 0 && seen == number;
        number = seen;
        return steady;
    });
    release();
    thread.join();
    return number;
}

long ShownForPoll() {
    static const long number = [] {
        int fds[2];
        if (::pipe(fds) != 0) return -1L;
        long shown = ShownWhileBlocked(
            [&] {
                pollfd readable{fds[0], POLLIN, 0};
                ::poll(&readable, 1, -1);
            },
            [&] { ::close(fds[1]); });
        ::close(fds[0]);
        return shown;
    }();
    return number;
}

long ShownForLockWait() {
    static const long number = [] {
        std::mutex mutex;
        mutex.lock();
        return ShownWhileBlocked([&] { std::lock_guard<std::mutex> wait(mutex); },
                                 [&] { mutex.unlock(); });
    }();
    return number;
}

bool AwaitSyscall(pid_t tid, std::initializer_list<long> numbers) {
    return AwaitCondition([&] {
        long number = SleepingIn(tid);
        return number >= 0 && std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    });
}

}  // namespace

bool AwaitBlockedInPoll(pid_t tid) {
    return AwaitSyscall(tid, {ShownForPoll()});
}

bool AwaitBlocked(pid_t tid) {
    return AwaitSyscall(tid, {ShownForPoll(), ShownForLockWait()});
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
