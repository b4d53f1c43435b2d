// The service's Linux calls, through the layer's fault seam.
#include "platform/posix.h"

#include "syscalls.h"

namespace win::posix {

int signalfd(const sigset_t* signals, int flags) {
    return sys::signalfd(signals, flags);
}
int eventfd(unsigned initial, int flags) {
    return sys::eventfd(initial, flags);
}
int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return sys::poll(fds, count, timeoutMs);
}
ssize_t read(int fd, void* buffer, size_t size) {
    return sys::read(fd, buffer, size);
}
ssize_t write(int fd, const void* buffer, size_t size) {
    return sys::write(fd, buffer, size);
}
int socket(int domain, int type, int protocol) {
    return sys::socket(domain, type, protocol);
}
int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    return sys::accept4(fd, address, length, flags);
}
ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    return sys::send(fd, buffer, size, flags);
}
ssize_t sendto(int fd, const void* buffer, size_t size, int flags, const sockaddr* to,
               socklen_t length) {
    return sys::sendto(fd, buffer, size, flags, to, length);
}

}  // namespace win::posix
