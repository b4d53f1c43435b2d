// The fuzz targets' own checks. A failed one names its line before the abort: libFuzzer
// closes the target's standard error (-close_fd_mask), so the copy made here, before
// libFuzzer starts, is the only way out for the message.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

inline const int REPORT_FD = dup(2);

}  // namespace fuzzcheck

// The caller's place comes from the builtins: this compiler's library has no source_location.
inline void Check(bool condition, const char* file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    if (condition) return;
    int err = errno;
    dprintf(fuzzcheck::REPORT_FD, "check failed at %s:%d (errno %d)\n", file, line, err);
    std::abort();
}
