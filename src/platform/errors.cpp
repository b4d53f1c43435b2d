#include "errors.h"

namespace win::detail {

namespace {

struct Mapping {
    DWORD code;
    int err;
};

constexpr Mapping kMap[] = {
#define WIN_ERROR_ENTRY(name, code, err) {code, err},
    WIN_ERROR_MAP(WIN_ERROR_ENTRY)
#undef WIN_ERROR_ENTRY
};

bool IsSocketError(DWORD code) {
    return code >= 10000 && code < 12000;
}

}  // namespace

int ErrnoOfError(DWORD code) {
    for (const Mapping& m : kMap) {
        if (m.code == code) return m.err;
    }
    return 0;
}

DWORD ErrorOfErrno(int err, bool socketCall) {
    DWORD other = 0;
    for (const Mapping& m : kMap) {
        if (m.err != err) continue;
        if (IsSocketError(m.code) == socketCall) return m.code;
        if (other == 0) other = m.code;
    }
    if (other != 0) return other;
    return socketCall ? static_cast<DWORD>(WSAEINVAL) : ERROR_INVALID_PARAMETER;
}

}  // namespace win::detail
