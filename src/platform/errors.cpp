#include "errors.h"

#include <cerrno>

namespace win::detail {

namespace {

struct Mapping {
    DWORD code;
    int err;
};

constexpr Mapping WINDOWS_ERRORS[] = {
#define WIN_ERROR_ENTRY(name, number, err) {number, err},
    WIN_ERROR_MAP(WIN_ERROR_ENTRY)
#undef WIN_ERROR_ENTRY
};
constexpr Mapping WINSOCK_ERRORS[] = {
#define WSA_ERROR_ENTRY(name, number, err) {number, err},
    WSA_ERROR_MAP(WSA_ERROR_ENTRY)
#undef WSA_ERROR_ENTRY
};

struct Special {
    ErrnoFrom from;
    int err;
    DWORD code;
};

// Where an errno means more for one kind of call than the lists say.
constexpr Special SPECIAL_ERRNOS[] = {
    // Linux reports a send on a connection that the peer reset as a broken pipe.
    {ErrnoFrom::Socket, EPIPE, WSAECONNRESET},
    // A terminal whose device went away (an unplugged adapter, a pty whose other side closed).
    {ErrnoFrom::Device, EIO, ERROR_DEV_NOT_EXIST},
    // A path that is no terminal is no LON interface.
    {ErrnoFrom::Device, ENOTTY, ERROR_FILE_NOT_FOUND},
    // A network interface that went down or away, as its packet socket reports it.
    {ErrnoFrom::Device, ENETDOWN, ERROR_DEV_NOT_EXIST},
    {ErrnoFrom::Device, ENXIO, ERROR_DEV_NOT_EXIST},
};

template <size_t N>
constexpr bool NumbersAreUnique(const Mapping (&list)[N]) {
    for (size_t a = 0; a < N; ++a) {
        for (size_t b = a + 1; b < N; ++b) {
            if (list[a].code == list[b].code) return false;
        }
    }
    return true;
}
static_assert(NumbersAreUnique(WINDOWS_ERRORS) && NumbersAreUnique(WINSOCK_ERRORS),
              "an error number is listed twice");

// The first number of `list` that stands for `err`; 0 when none does.
template <size_t N>
DWORD CodeOf(const Mapping (&list)[N], int err) {
    if (err == 0) return 0;
    for (const Mapping& m : list) {
        if (m.err == err) return m.code;
    }
    return 0;
}

}  // namespace

int ErrnoOfError(DWORD code) {
    for (const Mapping& m : WINDOWS_ERRORS) {
        if (m.code == code) return m.err;
    }
    for (const Mapping& m : WINSOCK_ERRORS) {
        if (m.code == code) return m.err;
    }
    return 0;
}

DWORD ErrorOfErrno(int err, ErrnoFrom from) {
    for (const Special& s : SPECIAL_ERRNOS) {
        if (s.from == from && s.err == err) return s.code;
    }
    bool socket = from == ErrnoFrom::Socket;
    DWORD code = socket ? CodeOf(WINSOCK_ERRORS, err) : CodeOf(WINDOWS_ERRORS, err);
    if (code == 0) code = socket ? CodeOf(WINDOWS_ERRORS, err) : CodeOf(WINSOCK_ERRORS, err);
    if (code != 0) return code;
    return socket ? static_cast<DWORD>(WSAEINVAL) : ERROR_INVALID_PARAMETER;
}

}  // namespace win::detail
