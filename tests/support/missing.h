// A test that lacks what it needs (a TUN device, a namespace, ::1, a program) says what and
// skips; under CI=true it fails instead, so that a machine with less than the suite needs
// cannot pass green with whole areas unseen. What CI truly cannot have is listed, with the
// reason, in ci_cannot_have.txt beside this file.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

inline bool CiCannotHave(const std::string& why) {
    std::ifstream list(VELTRABOX_SOURCE_DIR "/tests/support/ci_cannot_have.txt");
    for (std::string line; std::getline(list, line);) {
        const size_t end = line.find(" -- ");
        if (line.empty() || line[0] == '#' || end == std::string::npos) continue;
        if (why.compare(0, end, line, 0, end) == 0) return true;
    }
    return false;
}

inline bool MissingIsFatal(const std::string& why) {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0 && !CiCannotHave(why);
}

// Skips the test, or under CI=true fails it, when `why` is not empty.
#define SKIP_IF_MISSING(why_expression)                                                  \
    do {                                                                                 \
        if (std::string why_ = (why_expression); !why_.empty()) {                        \
            if (MissingIsFatal(why_)) FAIL() << "CI=true, and the test lacks: " << why_; \
            GTEST_SKIP() << why_;                                                        \
        }                                                                                \
    } while (0)
