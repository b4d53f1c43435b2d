// One table of the Windows and Winsock error numbers the layer reports, with the Linux errno
// each stands for (0 where none does). FormatMessageW takes its texts from the C library
// through this table; the socket layer and the device layer translate errno through it.
#pragma once

#include <cerrno>

#include "platform/win.h"
#include "private.h"

#define WIN_ERROR_MAP(X)                          \
    X(ERROR_FILE_NOT_FOUND, 2, ENOENT)            \
    X(ERROR_ACCESS_DENIED, 5, EACCES)             \
    X(ERROR_INVALID_HANDLE, 6, EBADF)             \
    X(ERROR_NOT_ENOUGH_MEMORY, 8, ENOMEM)         \
    X(ERROR_NOT_READY, 21, EAGAIN)                \
    X(ERROR_WRITE_FAULT, 29, EIO)                 \
    X(ERROR_SHARING_VIOLATION, 32, EBUSY)         \
    X(ERROR_DEV_NOT_EXIST, 55, ENODEV)            \
    X(ERROR_INVALID_PARAMETER, 87, EINVAL)        \
    X(ERROR_BROKEN_PIPE, 109, EPIPE)              \
    X(ERROR_INSUFFICIENT_BUFFER, 122, ENOBUFS)    \
    X(ERROR_MOD_NOT_FOUND, 126, ELIBACC)          \
    X(ERROR_PROC_NOT_FOUND, 127, ENOSYS)          \
    X(ERROR_ALREADY_EXISTS, 183, EEXIST)          \
    X(ERROR_NOT_SUPPORTED, 50, EOPNOTSUPP)        \
    X(ERROR_OPERATION_ABORTED, 995, ECANCELED)    \
    X(ERROR_IO_PENDING, 997, EINPROGRESS)         \
    X(ERROR_NOACCESS, 998, EFAULT)                \
    X(ERROR_TIMEOUT, 1460, ETIME)                 \
    X(WSAEINTR, 10004, EINTR)                     \
    X(WSAEBADF, 10009, EBADF)                     \
    X(WSAEACCES, 10013, EACCES)                   \
    X(WSAEFAULT, 10014, EFAULT)                   \
    X(WSAEINVAL, 10022, EINVAL)                   \
    X(WSAEMFILE, 10024, EMFILE)                   \
    X(WSAEWOULDBLOCK, 10035, EWOULDBLOCK)         \
    X(WSAENOTSOCK, 10038, ENOTSOCK)               \
    X(WSAEMSGSIZE, 10040, EMSGSIZE)               \
    X(WSAENOPROTOOPT, 10042, ENOPROTOOPT)         \
    X(WSAEPROTONOSUPPORT, 10043, EPROTONOSUPPORT) \
    X(WSAEAFNOSUPPORT, 10047, EAFNOSUPPORT)       \
    X(WSAEADDRINUSE, 10048, EADDRINUSE)           \
    X(WSAEADDRNOTAVAIL, 10049, EADDRNOTAVAIL)     \
    X(WSAENETDOWN, 10050, ENETDOWN)               \
    X(WSAENETUNREACH, 10051, ENETUNREACH)         \
    X(WSAECONNABORTED, 10053, ECONNABORTED)       \
    X(WSAECONNRESET, 10054, ECONNRESET)           \
    X(WSAENOBUFS, 10055, ENOBUFS)                 \
    X(WSAENOTCONN, 10057, ENOTCONN)               \
    X(WSAESHUTDOWN, 10058, ESHUTDOWN)             \
    X(WSAETIMEDOUT, 10060, ETIMEDOUT)             \
    X(WSAECONNREFUSED, 10061, ECONNREFUSED)       \
    X(WSAEHOSTUNREACH, 10065, EHOSTUNREACH)

namespace win::detail {

// The errno that a Windows or Winsock number stands for; 0 when it has none.
int ErrnoOfError(DWORD code);
// The Windows number for an errno (first match in the table; socket numbers preferred when
// `socketCall`); ERROR_INVALID_PARAMETER / WSAEINVAL for an errno the table lacks.
DWORD ErrorOfErrno(int err, bool socketCall);

}  // namespace win::detail
