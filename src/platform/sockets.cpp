// Winsock over BSD sockets. A SOCKET is a handle-table value, so a closed value never reaches
// the socket that later gets the same descriptor number. Descriptors are non-blocking: every
// wait happens in BlockingPoll on the descriptor and the socket's wake eventfd, which is how
// closesocket (and TerminateThread) end a call blocked in another thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

// win.h reuses these BSD names with their Winsock values: take the BSD ones, then drop the
// macros so that win.h can declare its own.
namespace bsd {
constexpr int BSD_AF_INET = AF_INET;
constexpr int BSD_AF_INET6 = AF_INET6;
constexpr int BSD_IPPROTO_IPV6 = IPPROTO_IPV6;
constexpr int BSD_IPV6_V6ONLY = IPV6_V6ONLY;
constexpr int BSD_IPV6_FREEBIND = IPV6_FREEBIND;
constexpr int BSD_SOL_SOCKET = SOL_SOCKET;
constexpr int BSD_SO_REUSEADDR = SO_REUSEADDR;
constexpr int BSD_SO_KEEPALIVE = SO_KEEPALIVE;
constexpr int BSD_IPPROTO_TCP = IPPROTO_TCP;
constexpr int BSD_TCP_NODELAY = TCP_NODELAY;
constexpr int BSD_IPPROTO_IP = IPPROTO_IP;
constexpr int BSD_IP_FREEBIND = IP_FREEBIND;
inline uint16_t HostToNet16(uint16_t value) {
    return htons(value);
}
inline uint16_t NetToHost16(uint16_t value) {
    return ntohs(value);
}
inline uint32_t HostToNet32(uint32_t value) {
    return htonl(value);
}
}  // namespace bsd
#undef AF_INET
#undef AF_INET6
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef TCP_NODELAY
#undef INADDR_ANY
#undef htons
#undef ntohs
#undef htonl

#include "errors.h"
#include "handles.h"
#include "platform/win.h"
#include "syscalls.h"

namespace win {
namespace {

using detail::WaitLock;

struct Socket : detail::Object {
    Socket(int socketFd, int eventFd) : fd(socketFd), wakeFd(eventFd) {}
    ~Socket() override {
        ::close(fd);
        ::close(wakeFd);
    }
    // Latches: once closed, every wait on the socket returns at once.
    void OnHandleClosed() override {
        if (closed.exchange(true)) return;
        ::shutdown(fd, SHUT_RDWR);
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
        // Under the wait lock, so a sender about to wait for its turn cannot miss this.
        auto lock = WaitLock();
        detail::Wake(queue);
    }

    const int fd;
    const int wakeFd;
    std::atomic<bool> closed{false};
    // One sender at a time (guarded by the wait lock), so that a message reaches the stream
    // whole even when another thread's send is waiting for room in the send buffer.
    bool sending = false;
};

int Fail(int code) {
    SetLastError(static_cast<DWORD>(code));
    return SOCKET_ERROR;
}

SOCKET FailSocket(int code) {
    Fail(code);
    return INVALID_SOCKET;
}

int ErrorOfErrno(int err) {
    return static_cast<int>(detail::ErrorOfErrno(err, detail::ErrnoFrom::Socket));
}

int FailErrno(int err) {
    return Fail(ErrorOfErrno(err));
}

HANDLE AsHandle(SOCKET s) {
    return reinterpret_cast<HANDLE>(s);
}

std::shared_ptr<Socket> Find(SOCKET s) {
    auto socket = detail::Lookup<Socket>(AsHandle(s));
    if (!socket) Fail(WSAENOTSOCK);
    return socket;
}

SOCKET Insert(int fd) {
    int wakeFd = sys::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        int err = errno;
        ::close(fd);
        return FailSocket(ErrorOfErrno(err));
    }
    // The socket object owns both descriptors from here on, also when the table is full.
    HANDLE handle = detail::InsertObject(std::make_shared<Socket>(fd, wakeFd));
    if (handle == nullptr) return FailSocket(WSAEMFILE);
    return reinterpret_cast<SOCKET>(handle);
}

// Waits until the descriptor is ready for `events` or the socket is closed. Returns false
// (last error set) when the wait ended for any reason but readiness.
bool AwaitReady(Socket& socket, short events) {
    pollfd fds[2] = {{socket.fd, events, 0}, {socket.wakeFd, POLLIN, 0}};
    if (detail::BlockingPoll(fds, 2, -1) < 0) {
        FailErrno(errno);
        return false;
    }
    if (socket.closed.load()) {
        Fail(WSAEINTR);
        return false;
    }
    return true;
}

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

// Holds the socket's send turn; released on every way out, ThreadExit included. Without
// `wait`, the turn is held only if it was free.
class SendTurn {
  public:
    SendTurn(Socket& socket, bool wait) : socket_(socket) {
        auto lock = WaitLock();
        detail::WaitUntil(lock, socket_.queue, wait ? INFINITE : 0,
                          [&] { return !socket_.sending || socket_.closed.load(); });
        held_ = !socket_.sending && !socket_.closed.load();
        if (held_) socket_.sending = true;
    }
    ~SendTurn() {
        if (!held_) return;
        auto lock = WaitLock();
        socket_.sending = false;
        detail::Wake(socket_.queue);
    }
    bool held() const { return held_; }

  private:
    Socket& socket_;
    bool held_ = false;
};

// One attempt: what the connection takes now, without waiting for room or for the turn.
int SendAtOnce(Socket& socket, const char* buffer, int length) {
    SendTurn turn(socket, false);
    if (!turn.held()) return Fail(socket.closed.load() ? WSAEINTR : WSAEWOULDBLOCK);
    ssize_t n = sys::send(socket.fd, buffer, size_t(length), MSG_NOSIGNAL | ::MSG_DONTWAIT);
    if (n >= 0) return int(n);
    return FailErrno(errno);
}

bool MapOption(int level, int name, int* linuxLevel, int* linuxName) {
    if (level == SOL_SOCKET && name == SO_REUSEADDR) {
        *linuxLevel = bsd::BSD_SOL_SOCKET;
        *linuxName = bsd::BSD_SO_REUSEADDR;
    } else if (level == SOL_SOCKET && name == SO_KEEPALIVE) {
        *linuxLevel = bsd::BSD_SOL_SOCKET;
        *linuxName = bsd::BSD_SO_KEEPALIVE;
    } else if (level == IPPROTO_TCP && name == TCP_NODELAY) {
        *linuxLevel = bsd::BSD_IPPROTO_TCP;
        *linuxName = bsd::BSD_TCP_NODELAY;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if ((versionRequested & 0xFF) < 1) return WSAVERNOTSUPPORTED;
    if (data == nullptr) return WSAEFAULT;
    *data = WSADATA{};
    data->wVersion = versionRequested;
    data->wHighVersion = 0x0202;
    std::strcpy(data->szDescription, "Veltrabox Winsock over BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 0xFFFF;
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

uint16_t htons(uint16_t value) {
    return bsd::HostToNet16(value);
}

uint16_t ntohs(uint16_t value) {
    return bsd::NetToHost16(value);
}

uint32_t htonl(uint32_t value) {
    return bsd::HostToNet32(value);
}

namespace {

// ASCII text of at most `room` - 1 characters; false for anything longer or beyond ASCII.
bool NarrowAddressText(LPCWSTR text, char* narrow, size_t room) {
    size_t length = 0;
    for (; text[length] != L'\0'; ++length) {
        if (length == room - 1 || static_cast<uint32_t>(text[length]) > 0x7F) return false;
        narrow[length] = static_cast<char>(text[length]);
    }
    narrow[length] = '\0';
    return true;
}

int LinuxFamily(int family) {
    return family == AF_INET6 ? bsd::BSD_AF_INET6 : bsd::BSD_AF_INET;
}

}  // namespace

int InetPtonW(int family, LPCWSTR text, void* address) {
    if (family != AF_INET && family != AF_INET6) return Fail(WSAEAFNOSUPPORT);
    if (text == nullptr || address == nullptr) return Fail(WSAEFAULT);
    // The longest address texts: 15 characters for IPv4, 45 for IPv6 (with an IPv4 tail).
    char narrow[46];
    if (!NarrowAddressText(text, narrow, family == AF_INET ? 16 : sizeof narrow)) return 0;
    return ::inet_pton(LinuxFamily(family), narrow, address);
}

LPCWSTR InetNtopW(int family, const void* address, LPWSTR buffer, size_t size) {
    if (family != AF_INET && family != AF_INET6) {
        Fail(WSAEAFNOSUPPORT);
        return nullptr;
    }
    char narrow[INET6_ADDRSTRLEN];
    if (address == nullptr || buffer == nullptr ||
        ::inet_ntop(LinuxFamily(family), address, narrow, sizeof narrow) == nullptr ||
        std::strlen(narrow) >= size) {
        Fail(WSAEINVAL);
        return nullptr;
    }
    for (size_t i = 0;; ++i) {
        buffer[i] = static_cast<WCHAR>(narrow[i]);
        if (narrow[i] == '\0') break;
    }
    return buffer;
}

SOCKET socket(int af, int type, int protocol) {
    if (af != AF_INET && af != AF_INET6) return FailSocket(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM || (protocol != 0 && protocol != IPPROTO_TCP)) {
        return FailSocket(WSAEPROTONOSUPPORT);
    }
    int fd = sys::socket(LinuxFamily(af), ::SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return FailSocket(ErrorOfErrno(errno));
    // Lets a new listener bind its port while the last connection sits in TIME_WAIT, as on
    // the original platform; accepted sockets inherit it. A port held by a listener still
    // fails with EADDRINUSE.
    int on = 1;
    ::setsockopt(fd, bsd::BSD_SOL_SOCKET, bsd::BSD_SO_REUSEADDR, &on, sizeof on);
    // Binds an address that no interface has yet (DHCP, a VLAN that comes up late), so that
    // the listener is there from the start and is reached as soon as the address arrives.
    if (af == AF_INET) {
        ::setsockopt(fd, bsd::BSD_IPPROTO_IP, bsd::BSD_IP_FREEBIND, &on, sizeof on);
        return Insert(fd);
    }
    ::setsockopt(fd, bsd::BSD_IPPROTO_IPV6, bsd::BSD_IPV6_FREEBIND, &on, sizeof on);
    // One listener on the wildcard address serves both families.
    int off = 0;
    ::setsockopt(fd, bsd::BSD_IPPROTO_IPV6, bsd::BSD_IPV6_V6ONLY, &off, sizeof off);
    return Insert(fd);
}

int setsockopt(SOCKET s, int level, int name, const char* value, int length) {
    auto socket = Find(s);
    if (!socket) return SOCKET_ERROR;
    int linuxLevel = 0;
    int linuxName = 0;
    if (!MapOption(level, name, &linuxLevel, &linuxName)) return Fail(WSAENOPROTOOPT);
    if (value == nullptr || length < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int v = 0;
    std::memcpy(&v, value, sizeof v);
    if (::setsockopt(socket->fd, linuxLevel, linuxName, &v, sizeof v) < 0) {
        return FailErrno(errno);
    }
    return 0;
}

int bind(SOCKET s, const sockaddr* address, int length) {
    auto socket = Find(s);
    if (!socket) return SOCKET_ERROR;
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) {
        return Fail(WSAEFAULT);
    }
    ::sockaddr_storage linuxAddress{};
    socklen_t linuxLength = 0;
    if (address->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        auto& out = reinterpret_cast<::sockaddr_in&>(linuxAddress);
        out.sin_family = bsd::BSD_AF_INET;
        out.sin_port = in.sin_port;
        out.sin_addr.s_addr = in.sin_addr.s_addr;
        linuxLength = sizeof out;
    } else if (address->sa_family == AF_INET6) {
        if (length < static_cast<int>(sizeof(sockaddr_in6))) return Fail(WSAEFAULT);
        sockaddr_in6 in;
        std::memcpy(&in, address, sizeof in);
        auto& out = reinterpret_cast<::sockaddr_in6&>(linuxAddress);
        out.sin6_family = bsd::BSD_AF_INET6;
        out.sin6_port = in.sin6_port;
        out.sin6_flowinfo = in.sin6_flowinfo;
        std::memcpy(&out.sin6_addr, in.sin6_addr.u.Byte, sizeof out.sin6_addr);
        out.sin6_scope_id = in.sin6_scope_id;
        linuxLength = sizeof out;
    } else {
        return Fail(WSAEAFNOSUPPORT);
    }
    if (::bind(socket->fd, reinterpret_cast<::sockaddr*>(&linuxAddress), linuxLength) < 0) {
        return FailErrno(errno);
    }
    return 0;
}

int listen(SOCKET s, int backlog) {
    auto socket = Find(s);
    if (!socket) return SOCKET_ERROR;
    if (::listen(socket->fd, backlog) < 0) return FailErrno(errno);
    return 0;
}

namespace {

// The peer of an accepted connection in the caller's record, when it has room for its family.
bool CopyPeer(const ::sockaddr_storage& peer, sockaddr* address, int* length) {
    if (peer.ss_family == bsd::BSD_AF_INET6) {
        const auto& in = reinterpret_cast<const ::sockaddr_in6&>(peer);
        if (*length < static_cast<int>(sizeof(sockaddr_in6))) return false;
        sockaddr_in6 out{};
        out.sin6_family = AF_INET6;
        out.sin6_port = in.sin6_port;
        out.sin6_flowinfo = in.sin6_flowinfo;
        std::memcpy(out.sin6_addr.u.Byte, &in.sin6_addr, sizeof out.sin6_addr);
        out.sin6_scope_id = in.sin6_scope_id;
        std::memcpy(address, &out, sizeof out);
        *length = sizeof out;
        return true;
    }
    const auto& in = reinterpret_cast<const ::sockaddr_in&>(peer);
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(address, &out, sizeof out);
    *length = sizeof out;
    return true;
}

}  // namespace

SOCKET accept(SOCKET s, sockaddr* address, int* length) {
    auto socket = Find(s);
    if (!socket) return INVALID_SOCKET;
    if (address != nullptr && (length == nullptr || *length < int(sizeof(sockaddr_in)))) {
        return FailSocket(WSAEFAULT);
    }
    ::sockaddr_storage peer{};
    int fd = -1;
    for (;;) {
        if (socket->closed.load()) return FailSocket(WSAEINTR);
        socklen_t peerLength = sizeof peer;
        fd = sys::accept4(socket->fd, reinterpret_cast<::sockaddr*>(&peer), &peerLength,
                          SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) break;
        if (!WouldBlock(errno) && errno != EINTR) return FailSocket(ErrorOfErrno(errno));
        if (!AwaitReady(*socket, POLLIN)) return INVALID_SOCKET;
    }
    if (address != nullptr && !CopyPeer(peer, address, length)) {
        ::close(fd);
        return FailSocket(WSAEFAULT);
    }
    return Insert(fd);
}

int send(SOCKET s, const char* buffer, int length, int flags) {
    auto socket = Find(s);
    if (!socket) return SOCKET_ERROR;
    if ((flags & ~MSG_DONTWAIT) != 0 || length < 0) return Fail(WSAEINVAL);
    if (buffer == nullptr && length > 0) return Fail(WSAEFAULT);
    if (flags & MSG_DONTWAIT) return SendAtOnce(*socket, buffer, length);
    SendTurn turn(*socket, true);
    if (!turn.held()) return Fail(WSAEINTR);
    // Blocking semantics: the whole buffer goes out, or the socket fails or is closed.
    int sent = 0;
    while (sent < length) {
        if (socket->closed.load()) return Fail(WSAEINTR);
        ssize_t n = sys::send(socket->fd, buffer + sent, size_t(length - sent),
                              MSG_NOSIGNAL | ::MSG_DONTWAIT);
        if (n >= 0) {
            sent += int(n);
        } else if (!WouldBlock(errno) && errno != EINTR) {
            return FailErrno(errno);
        } else if (!AwaitReady(*socket, POLLOUT)) {
            return SOCKET_ERROR;
        }
    }
    return sent;
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    auto socket = Find(s);
    if (!socket) return SOCKET_ERROR;
    if (flags != 0 || length < 0) return Fail(WSAEINVAL);
    if (buffer == nullptr && length > 0) return Fail(WSAEFAULT);
    if (length == 0) return 0;
    for (;;) {
        if (socket->closed.load()) return Fail(WSAEINTR);
        ssize_t n = sys::recv(socket->fd, buffer, size_t(length), ::MSG_DONTWAIT);
        if (n >= 0) return int(n);
        if (!WouldBlock(errno) && errno != EINTR) return FailErrno(errno);
        if (!AwaitReady(*socket, POLLIN)) return SOCKET_ERROR;
    }
}

int WSAPoll(WSAPOLLFD* fds, ULONG count, int timeout) {
    if (fds == nullptr && count > 0) return Fail(WSAEFAULT);
    // Each socket's descriptor, then its wake descriptor, which fires once it is closed.
    std::vector<std::shared_ptr<Socket>> sockets(count);
    std::vector<pollfd> all(2 * size_t(count), pollfd{-1, 0, 0});
    bool anyClosed = false;
    for (ULONG i = 0; i < count; ++i) {
        sockets[i] = detail::Lookup<Socket>(AsHandle(fds[i].fd));
        if (!sockets[i]) {
            anyClosed = true;
            continue;
        }
        all[2 * i] = {sockets[i]->fd, short(fds[i].events | POLLRDHUP), 0};
        all[2 * i + 1] = {sockets[i]->wakeFd, POLLIN, 0};
    }
    // A socket closed before the call has no wake descriptor left to fire: it is reported at
    // once, as poll(2) reports a bad descriptor, instead of being waited on for ever.
    if (anyClosed) timeout = 0;
    if (detail::BlockingPoll(all.data(), all.size(), timeout < 0 ? -1 : timeout) < 0) {
        return FailErrno(errno);
    }
    int ready = 0;
    for (ULONG i = 0; i < count; ++i) {
        short got = all[2 * i].revents;
        if (got & POLLRDHUP) got |= POLLHUP;
        if (!sockets[i] || sockets[i]->closed.load()) got = POLLNVAL;
        fds[i].revents = short(got & (fds[i].events | POLLHUP | POLLERR | POLLNVAL));
        if (fds[i].revents != 0) ++ready;
    }
    return ready;
}

int closesocket(SOCKET s) {
    if (!detail::Lookup<Socket>(AsHandle(s))) return Fail(WSAENOTSOCK);
    auto object = detail::RemoveObject(AsHandle(s));
    if (!object) return Fail(WSAENOTSOCK);
    object->OnHandleClosed();
    return 0;
}

}  // namespace win
