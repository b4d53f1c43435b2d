// Fault injection at the platform layer's system calls, for tests and the fault soak: a call
// fails with an errno of the test's choice on a thread's Nth call of its kind, or by seeded
// chance. Built in only with VELTRABOX_FAULT_INJECTION (the test builds); the server arms it
// at start from the environment variable VELTRABOX_FAULTS (see docs/testing.md).
#pragma once

#include <cstdint>
#include <vector>

namespace win::faults {

enum class Call : uint8_t {
    Socket,
    Accept,
    Send,
    Recv,
    Poll,
    Read,
    Write,
    Open,
    Eventfd,
    Mmap,
    Getsockopt,
    Signalfd
};
inline constexpr unsigned CALL_KINDS = 12;

struct Rule {
    Call call;
    int error;  // the errno the call fails with
    // The thread's nth call of this kind since arming (1 is its next); 0 for none. The first
    // thread to reach it fails, once in the process, or every thread when `everyThread`.
    uint32_t nth = 0;
    bool everyThread = false;
    // Or each call fails with this chance in a million, drawn from the seed.
    uint32_t perMillion = 0;
};

// Replaces the rules and starts every thread's counts afresh.
void Arm(const std::vector<Rule>& rules, uint64_t seed = 0);
void Disarm();
// Parses and arms "seed=N,call:ERRNO:N[*],call:ERRNO:~PPM,..." (errno by name or number);
// false, and nothing armed, when the text does not parse.
bool ArmFromText(const char* text);
// Failures injected since arming.
uint64_t Injected(Call call);

}  // namespace win::faults
