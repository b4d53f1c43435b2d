// What a thread of this process is doing, as /proc shows it: a test waits for another thread
// to block in a call before it acts, instead of sleeping.
#pragma once

#include <sys/types.h>

pid_t CurrentThreadId();
// Waits until thread `tid` sits in poll, i.e. is blocked in a socket call.
bool AwaitBlockedInPoll(pid_t tid);
// Waits until thread `tid` sits in poll or in a lock wait.
bool AwaitBlocked(pid_t tid);
