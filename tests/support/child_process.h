// A program as a child process (the server, or a daemon beside it) with its own registry file
// and status socket in a folder of its own, and its debug lines (standard error) captured
// line by line so that a test or a benchmark can wait for one. It dies with its parent, even
// when that crashes. Free of GoogleTest: a start that fails throws std::runtime_error.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace e2e {

class ChildProcess {
  public:
    // Runs `argv` (argv[0] a path). `environment` entries ("NAME=value") come before a copy
    // of this process's environment without its VELTRABOX_ variables; the registry file sets
    // the debug zones `zones`, followed by `registry` (.reg text).
    ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& environment,
                 unsigned zones, const std::string& registry);
    // Stops the process.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    std::string StatusSocket() const { return tempDir_ + "/status.sock"; }
    std::string RegistryFile() const { return tempDir_ + "/registry.reg"; }

    // Waits for a line containing `text` at index *from or later; on success *from becomes
    // the index after that line, so successive waits walk forward through the log.
    bool WaitForLine(const std::string& text, size_t* from, Duration timeout = WAIT);
    bool WaitForLine(const std::string& text, Duration timeout = WAIT);
    // Lines containing `text` so far.
    size_t CountLines(const std::string& text);
    size_t LineCount();
    // The lines from index `from` on.
    std::vector<std::string> Lines(size_t from = 0);
    // The last `count` lines, for failure messages.
    std::string Tail(size_t count = 40);

    // The exit status (the signal number plus 128 for a signal) once the process has ended
    // within `timeout`.
    std::optional<int> WaitForExit(Duration timeout = WAIT);
    bool Running();
    // SIGTERM, then SIGKILL if it has not ended within WAIT; reaps it.
    int Stop();

  private:
    void ReadLines(int fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string tempDir_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;  // under mutex_
    bool outputEnded_ = false;        // under mutex_
};

// Runs a shell command to its end; its standard output and exit status (the signal number
// plus 128 for a signal).
struct CommandResult {
    std::string output;
    int status;
};
CommandResult RunCommand(const std::string& shellCommand);

}  // namespace e2e
