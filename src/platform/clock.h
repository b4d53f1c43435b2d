// The clock behind GetTickCount, Sleep and every timed wait of the layer. Tests swap in a
// manual clock: advancing it wakes exactly the waits whose time has come, so a test of a
// 5000 ms period takes no 5000 ms.
#pragma once

#include <cstdint>

#include "private.h"

namespace win::testclock {

// Switches the process to a manual clock standing at `startTick` (milliseconds, wraps at 2^32).
void UseManualClock(uint32_t startTick);
// Back to the monotonic clock.
void UseRealClock();
// Moves the manual clock on and wakes the waits it ends.
void Advance(uint32_t milliseconds);
// Number of threads currently inside a timed wait of the layer (finite time-out). Lets a test
// advance the clock only once the thread under test has reached its wait.
int TimedWaiters();
// Blocks (in real time, at most `realMsLimit`) until at least `count` threads are in timed waits.
bool AwaitTimedWaiters(int count, int realMsLimit = 5000);
// Blocks (in real time, at most `realMsLimit`) until the thread is in a timed wait.
bool AwaitTimedWait(uint32_t threadId, int realMsLimit = 5000);
// Blocks (in real time, at most `realMsLimit`) until the thread is in a timed wait that the
// clock has not ended yet; the milliseconds left of it, or 0 when it never got there. Lets a
// test move the clock to exactly the thread's next wake.
uint32_t AwaitTimeLeft(uint32_t threadId, int realMsLimit = 5000);

}  // namespace win::testclock
