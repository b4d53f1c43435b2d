// Deadlines for the peers of the tests and the benchmarks: nothing they wait for may hang.
#pragma once

#include <chrono>
#include <thread>

namespace e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous: the suite also runs under ASan and TSan on two cores.
constexpr Duration WAIT = 20s;

// Milliseconds left until `deadline`, for poll; 0 once it has passed.
inline int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Waits for state that nothing signals (a kernel table, another thread's state): short naps
// until `condition` holds; false once `timeout` has passed. `condition` is asked at least once.
template <class Condition>
bool AwaitCondition(Condition condition, Duration timeout = WAIT) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace e2e
