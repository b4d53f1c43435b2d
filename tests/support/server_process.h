// End-to-end tests: the real veltrabox binary as a child process, with its own registry file
// and its debug lines (standard error) captured line by line so that a test can wait for one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous: the suite also runs under ASan and TSan on two cores.
constexpr Duration WAIT = 20s;

// Debug zones: Default, Init and Error.
constexpr unsigned LOG_ZONES = 0x13;

// Lines that say the server is serving a client, has closed both sides, is restarting, could
// not open the LON interface, or found its port in use.
constexpr char STARTED[] = "LON und TCP erfolgreich gestartet.";
constexpr char STOPPED[] = "LON und Tcp Beendet.";
constexpr char RESTARTING[] = "Server wird neu gestartet.";
constexpr char LON_START_FAILED[] = "Starten der LON Schnittstelle nicht möglich.";
constexpr char ADDRESS_IN_USE[] = "Error: WSAEADDRINUSE: Thread beendet!";

class ServerProcess {
  public:
    // Starts the binary with `args`; `environment` entries ("NAME=value") are added to a
    // copy of this process's environment without its VELTRABOX_ variables. The registry file
    // and the status socket lie in a folder of the process's own; the registry file sets the
    // debug zones, followed by `registry` (.reg text).
    explicit ServerProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& environment = {},
                           unsigned zones = LOG_ZONES, const std::string& registry = "");
    // Runs another program (`command[0]` a path) in the same way, e.g. a daemon that a test
    // puts beside the server; its standard error is captured as the server's is.
    struct Command {
        std::vector<std::string> argv;
    };
    explicit ServerProcess(const Command& command);
    // Stops the process and fails the test if a sanitizer reported anything.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t Pid() const { return pid_; }
    std::string StatusSocket() const { return tempDir_ + "/status.sock"; }

    // Waits for a line containing `text` at index *from or later; on success *from becomes
    // the index after that line, so successive waits walk forward through the log.
    bool WaitForLine(const std::string& text, size_t* from, Duration timeout = WAIT);
    bool WaitForLine(const std::string& text, Duration timeout = WAIT);
    // Lines containing `text` so far.
    size_t CountLines(const std::string& text);
    size_t LineCount();
    // The last `count` lines, for failure messages.
    std::string Tail(size_t count = 40);

    // The exit status (the signal number plus 128 for a signal) once the process has ended
    // within `timeout`.
    std::optional<int> WaitForExit(Duration timeout = WAIT);
    bool Running();
    // SIGTERM, then SIGKILL if it has not ended within WAIT; reaps it.
    int Stop();

  private:
    void Spawn(std::vector<std::string> argv, const std::vector<std::string>& environment,
               unsigned zones, const std::string& registry);
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

// Milliseconds left until `deadline`, for poll; 0 once it has passed.
int Remaining(Clock::time_point deadline);

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

// The words that run the program at `path`: the path, behind the emulator in a cross build.
std::vector<std::string> CommandWords(const std::string& path);
// The same for a program of the build, as the start of a shell command.
std::string BuiltProgram(const std::string& name);

}  // namespace e2e
