// The system calls of the platform layer that tests can make fail (platform/faults.h). The
// layer makes these calls only through here. Disarmed, a wrapper costs one relaxed load; built
// without VELTRABOX_FAULT_INJECTION, nothing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/faults.h"
#include "private.h"

namespace win::sys {

#ifdef VELTRABOX_FAULT_INJECTION
extern std::atomic<bool> gFaultsArmed;
// The errno this call fails with, or 0 to make it.
int InjectedError(faults::Call call);

inline bool Fails(faults::Call call) {
    if (!gFaultsArmed.load(std::memory_order_relaxed)) return false;
    int error = InjectedError(call);
    if (error == 0) return false;
    errno = error;
    return true;
}
#else
constexpr bool Fails(faults::Call) {
    return false;
}
#endif

using faults::Call;

inline int socket(int domain, int type, int protocol) {
    return Fails(Call::Socket) ? -1 : ::socket(domain, type, protocol);
}
inline int accept4(int fd, ::sockaddr* address, socklen_t* length, int flags) {
    return Fails(Call::Accept) ? -1 : ::accept4(fd, address, length, flags);
}
inline ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    return Fails(Call::Send) ? -1 : ::send(fd, buffer, size, flags);
}
// A datagram to an address counts as a send.
inline ssize_t sendto(int fd, const void* buffer, size_t size, int flags, const ::sockaddr* to,
                      socklen_t length) {
    return Fails(Call::Send) ? -1 : ::sendto(fd, buffer, size, flags, to, length);
}
// Each datagram counts as a send. One that fails cuts the batch before it, as the kernel
// returns the count sent ahead of a failing datagram and fails only when the first does.
inline int sendmmsg(int fd, ::mmsghdr* messages, unsigned count, int flags) {
    unsigned passing = 0;
    while (passing < count && !Fails(Call::Send)) ++passing;
    if (passing == 0 && count > 0) return -1;
    return ::sendmmsg(fd, messages, passing, flags);
}
inline ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    return Fails(Call::Recv) ? -1 : ::recv(fd, buffer, size, flags);
}
inline int recvmmsg(int fd, ::mmsghdr* messages, unsigned count, int flags) {
    return Fails(Call::Recv) ? -1 : ::recvmmsg(fd, messages, count, flags, nullptr);
}
inline int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return Fails(Call::Poll) ? -1 : ::poll(fds, count, timeoutMs);
}
inline ssize_t read(int fd, void* buffer, size_t size) {
    return Fails(Call::Read) ? -1 : ::read(fd, buffer, size);
}
inline ssize_t write(int fd, const void* buffer, size_t size) {
    return Fails(Call::Write) ? -1 : ::write(fd, buffer, size);
}
inline int open(const char* path, int flags) {
    return Fails(Call::Open) ? -1 : ::open(path, flags);
}
inline int eventfd(unsigned initial, int flags) {
    return Fails(Call::Eventfd) ? -1 : ::eventfd(initial, flags);
}
inline int signalfd(const sigset_t* signals, int flags) {
    return Fails(Call::Signalfd) ? -1 : ::signalfd(-1, signals, flags);
}
inline void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return Fails(Call::Mmap) ? MAP_FAILED : ::mmap(address, size, protection, flags, fd, offset);
}
inline int getsockopt(int fd, int level, int name, void* value, socklen_t* size) {
    return Fails(Call::Getsockopt) ? -1 : ::getsockopt(fd, level, name, value, size);
}

}  // namespace win::sys
