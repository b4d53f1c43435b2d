// What a user-mode emulator (qemu-user, which runs the ARM builds' tests) cannot give, found at
// run time: a test that needs it skips with the reason.
#pragma once

#include <string>

// Empty where the process can read its own memory through process_vm_readv (ReadProcessMemory,
// the thread registry's heap walk); otherwise why not.
std::string WhyNoProcessReads();

#define SKIP_WITHOUT_PROCESS_READS()                                                  \
    do {                                                                              \
        if (std::string why = WhyNoProcessReads(); !why.empty()) GTEST_SKIP() << why; \
    } while (0)
