#include "support/thread_state.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "support/server_process.h"

using e2e::AwaitCondition;

pid_t CurrentThreadId() {
    return pid_t(::syscall(SYS_gettid));
}

namespace {

// The system call that thread `tid` sleeps in, as /proc shows it; -1 while it runs or sleeps
// in none.
long SleepingIn(pid_t tid) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream stat(task + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    if (end == std::string::npos || line.compare(end, 3, ") S") != 0) return -1;
    std::ifstream syscall(task + "/syscall");
    long number = -1;
    syscall >> number;
    return number;
}

// The number that /proc shows while a thread sits in `block` until `release` runs. It is the
// kernel's own, which is not this program's SYS_ number when an emulator (qemu-user) makes the
// call on the program's behalf.
template <class Block, class Release>
long ShownWhileBlocked(Block block, Release release) {
    std::atomic<pid_t> tid{0};
    std::thread thread([&] {
        tid = CurrentThreadId();
        block();
    });
    long number = -1;
    AwaitCondition([&] {
        long seen = tid ? SleepingIn(tid) : -1;
        // Twice in a row: a wait on the way into `block` does not count.
        bool steady = seen >= 0 && seen == number;
        number = seen;
        return steady;
    });
    release();
    thread.join();
    return number;
}

long ShownForPoll() {
    static const long number = [] {
        int fds[2];
        if (::pipe(fds) != 0) return -1L;
        long shown = ShownWhileBlocked(
            [&] {
                pollfd readable{fds[0], POLLIN, 0};
                ::poll(&readable, 1, -1);
            },
            [&] { ::close(fds[1]); });
        ::close(fds[0]);
        return shown;
    }();
    return number;
}

long ShownForLockWait() {
    static const long number = [] {
        std::mutex mutex;
        mutex.lock();
        return ShownWhileBlocked([&] { std::lock_guard<std::mutex> wait(mutex); },
                                 [&] { mutex.unlock(); });
    }();
    return number;
}

bool AwaitSyscall(pid_t tid, std::initializer_list<long> numbers) {
    return AwaitCondition([&] {
        long number = SleepingIn(tid);
        return number >= 0 && std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    });
}

}  // namespace

bool AwaitBlockedInPoll(pid_t tid) {
    return AwaitSyscall(tid, {ShownForPoll()});
}

bool AwaitBlocked(pid_t tid) {
    return AwaitSyscall(tid, {ShownForPoll(), ShownForLockWait()});
}
