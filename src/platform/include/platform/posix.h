// Linux calls for the system's service thread (src/service), made through the platform so that
// fault injection (platform/faults.h) reaches them. Each behaves as the Linux call of its name;
// signalfd always makes a new descriptor.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace win::posix {

int signalfd(const sigset_t* signals, int flags);
int eventfd(unsigned initial, int flags);
int poll(pollfd* fds, nfds_t count, int timeoutMs);
ssize_t read(int fd, void* buffer, size_t size);
ssize_t write(int fd, const void* buffer, size_t size);
int socket(int domain, int type, int protocol);
int accept4(int fd, sockaddr* address, socklen_t* length, int flags);
ssize_t send(int fd, const void* buffer, size_t size, int flags);
ssize_t sendto(int fd, const void* buffer, size_t size, int flags, const sockaddr* to,
               socklen_t length);

}  // namespace win::posix
