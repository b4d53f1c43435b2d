#include "support/test_client.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/ports.h"

namespace e2e {

int SocketsInState(int port, unsigned state) {
    int count = 0;
    // A dual-stack socket, and its IPv4 clients, show in the IPv6 table.
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);
        unsigned localPort, lineState;
        while (std::getline(table, line)) {
            if (std::sscanf(line.c_str(), " %*d: %*[0-9A-F]:%x %*[0-9A-F]:%*x %x", &localPort,
                            &lineState) == 2 &&
                int(localPort) == port && lineState == state) {
                ++count;
            }
        }
    }
    return count;
}

std::string Ipv6LoopbackMissing() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("no IPv6 in this kernel: ") + std::strerror(errno);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    int r = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int error = errno;
    close(fd);
    return r == 0 ? "" : std::string("::1 cannot be bound: ") + std::strerror(error);
}

namespace {

// `text`, an IPv4 or IPv6 address, and `port` as a socket address; its length, 0 for no address.
socklen_t SocketAddress(const std::string& text, int port, sockaddr_storage* address) {
    *address = {};
    auto* in = reinterpret_cast<sockaddr_in*>(address);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(uint16_t(port));
        return sizeof *in;
    }
    if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(uint16_t(port));
        return sizeof *in6;
    }
    return 0;
}

// A blocking connect, also where a signal cuts it short (libFuzzer's periodic alarm does): the
// connection then goes on in the background, and writability tells its outcome.
bool ConnectWhole(int fd, const sockaddr_storage& address, socklen_t length) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
    if (errno != EINTR) return false;
    const auto deadline = Clock::now() + WAIT;
    pollfd pfd = {fd, POLLOUT, 0};
    int r;
    while ((r = poll(&pfd, 1, Remaining(deadline))) < 0 && errno == EINTR) {
    }
    return r == 1 && SocketOption(fd, SOL_SOCKET, SO_ERROR) == 0;
}

}  // namespace

bool WaitForListener(int port, Duration timeout) {
    return AwaitCondition([port] { return SocketsInState(port, TCP_LISTEN) > 0; }, timeout);
}

void ShrinkSendBuffer(int fd) {
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

int SocketOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

bool TestClient::Connect(int port, Duration timeout, const std::string& to,
                         const std::string& from) {
    Close();
    sockaddr_storage address, source;
    socklen_t addressLength = SocketAddress(to, port, &address);
    socklen_t sourceLength = from.empty() ? 0 : SocketAddress(from, 0, &source);
    if (addressLength == 0 || (!from.empty() && sourceLength == 0)) return false;
    // Without a wait the connect itself tells: the kernel's socket table is long to read where
    // connections come and go by the thousand (the framing's fuzz target).
    if (timeout > Duration(0) && !WaitForListener(port, timeout)) return false;
    fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (smallReceiveBuffer_) {
        int size = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if ((!from.empty() && bind(fd_, reinterpret_cast<sockaddr*>(&source), sourceLength) != 0) ||
        !ConnectWhole(fd_, address, addressLength)) {
        Close();
        return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that stops reading fails the send instead of hanging the test.
    timeval sendLimit = {std::chrono::duration_cast<std::chrono::seconds>(WAIT).count(), 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    decoder_ = {};
    return true;
}

bool TestClient::SendRaw(const ipmsg::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void TestClient::SendAndAwaitAck(const ipmsg::Bytes& bytes) {
    if (!SendRaw(bytes)) throw std::runtime_error("send failed");
    if (!AwaitCondition([&] {
            int unacknowledged = 0;
            return ioctl(fd_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        })) {
        throw std::runtime_error("the server's host acknowledged not all bytes");
    }
}

void TestClient::FinishSending() {
    shutdown(fd_, SHUT_WR);
}

ssize_t TestClient::ReceiveSome(uint8_t* buffer, size_t size, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd = {fd_, POLLIN, 0};
        int r = poll(&pfd, 1, Remaining(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return TIMED_OUT;
        ssize_t n = recv(fd_, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : n;
    }
}

std::optional<ipmsg::Message> TestClient::Receive(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    ipmsg::Message message;
    while (!ipmsg::Next(decoder_, &message)) {
        uint8_t buffer[8192];
        ssize_t n = ReceiveSome(buffer, sizeof buffer, deadline);
        if (n <= 0) return std::nullopt;
        ipmsg::Feed(decoder_, buffer, size_t(n));
    }
    return message;
}

std::optional<ipmsg::Bytes> TestClient::ReceiveData(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        auto message = Receive(std::chrono::milliseconds(Remaining(deadline)));
        if (!message) return std::nullopt;
        if (message->id == ipmsg::ID_DATA) return message->data;
    }
}

ipmsg::Bytes TestClient::ReadRaw(size_t count, Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    ipmsg::Bytes bytes(count);
    size_t got = 0;
    while (got < count) {
        ssize_t n = ReceiveSome(bytes.data() + got, count - got, deadline);
        if (n <= 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

bool TestClient::WaitClosed(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    ssize_t n;
    uint8_t buffer[8192];
    while ((n = ReceiveSome(buffer, sizeof buffer, deadline)) > 0) {
    }
    return n != TIMED_OUT;
}

bool TestClient::WaitEndOfStream(Duration timeout) {
    uint8_t byte;
    return ReceiveSome(&byte, 1, Clock::now() + timeout) == 0;
}

int TestClient::TakeServerEnd(pid_t server) const {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
    length = sizeof peer;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
    // The server's end is the socket whose ports are ours the other way round; a dual-stack
    // server's shows in the IPv6 table.
    unsigned long inode = 0;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);
        unsigned localPort, remotePort;
        while (inode == 0 && std::getline(table, line)) {
            unsigned long found;
            if (std::sscanf(line.c_str(),
                            " %*d: %*[0-9A-F]:%x %*[0-9A-F]:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                            &localPort, &remotePort, &found) == 3 &&
                localPort == ntohs(peer.sin_port) && remotePort == ntohs(local.sin_port)) {
                inode = found;
            }
        }
    }
    if (inode == 0) {
        errno = ENOENT;
        return -1;
    }
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    int process = int(syscall(SYS_pidfd_open, server, 0));
    if (process < 0) return -1;
    int taken = -1;
    errno = ENOENT;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(server) + "/fd", error)) {
        char link[64] = {};
        if (readlink(entry.path().c_str(), link, sizeof link - 1) > 0 && link == target) {
            taken = int(syscall(SYS_pidfd_getfd, process, std::stoi(entry.path().filename()), 0));
            break;
        }
    }
    int saved = errno;
    close(process);
    errno = saved;
    return taken;
}

void TestClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void TestClient::Abort() {
    if (fd_ < 0) return;
    linger reset = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
}

}  // namespace e2e
