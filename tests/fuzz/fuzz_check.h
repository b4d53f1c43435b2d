// The fuzz targets' own checks. A failed one names its line before the abort: libFuzzer
// closes the target's standard error (-close_fd_mask), so the copy made here, before
// libFuzzer starts, is the only way out for the message.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzcheck {

inline const int REPORT_FD = dup(2);
// What the last input gave, in one line: the replay holds each seed to the verdict written
// down for it.
inline std::string verdict;

}  // namespace fuzzcheck

// Line ends become "; ", and the line ends with its last word: an editor may trim the rest.
inline void Verdict(const std::string& text) {
    std::string& line = fuzzcheck::verdict;
    line.clear();
    for (char c : text) line += c == '\n' ? std::string("; ") : std::string(1, c);
    while (!line.empty() && (line.back() == ' ' || line.back() == ';')) line.pop_back();
}

// The caller's place comes from the builtins: this compiler's library has no source_location.
inline void Check(bool condition, const char* file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    if (condition) return;
    int err = errno;
    dprintf(fuzzcheck::REPORT_FD, "check failed at %s:%d (errno %d)\n", file, line, err);
    std::abort();
}
