#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

// The caller's entries, then this environment's, then the test's own defaults for what the
// caller did not set: one entry per name, since the C library takes the first of two and an
// emulator (qemu-user) the last.
std::vector<std::string> ChildEnvironment(const std::string& tempDir,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> env(extra);
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "VELTRABOX_", 10) != 0) env.emplace_back(*e);
    }
    for (const std::string& fallback : {"VELTRABOX_REGISTRY=" + tempDir + "/registry.reg",
                                        "VELTRABOX_STATUS_SOCKET=" + tempDir + "/status.sock"}) {
        const std::string name = fallback.substr(0, fallback.find('=') + 1);
        if (std::none_of(extra.begin(), extra.end(),
                         [&](const std::string& entry) { return entry.starts_with(name); })) {
            env.push_back(fallback);
        }
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int StatusOf(int wstatus) {
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

}  // namespace

CommandResult RunCommand(const std::string& shellCommand) {
    CommandResult result = {"", -1};
    FILE* pipe = popen(shellCommand.c_str(), "re");
    if (!pipe) return result;
    char line[256];
    while (fgets(line, sizeof line, pipe)) result.output += line;
    int wstatus = pclose(pipe);
    if (wstatus != -1) result.status = StatusOf(wstatus);
    return result;
}

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           const std::vector<std::string>& environment, unsigned zones,
                           const std::string& registry) {
    const std::string program = argv.at(0);
    char dirTemplate[] = "/tmp/veltrabox-e2e-XXXXXX";
    if (!mkdtemp(dirTemplate))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    tempDir_ = dirTemplate;
    {
        std::ofstream file(tempDir_ + "/registry.reg");
        char zoneLine[64];
        std::snprintf(zoneLine, sizeof zoneLine, "\"Quorvel\"=dword:%08x\n", zones);
        file << "[HKEY_LOCAL_MACHINE\\DebugZones]\n" << zoneLine << registry;
    }
    int pipeFds[2];
    int r = pipe2(pipeFds, O_CLOEXEC) == 0 ? 0 : errno;
    if (r == 0) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL"});
        std::vector<std::string> env = ChildEnvironment(tempDir_, environment);
        std::vector<char*> argvPointers = Pointers(argv);
        std::vector<char*> envPointers = Pointers(env);
        r = posix_spawn(&pid_, argvPointers[0], &actions, nullptr, argvPointers.data(),
                        envPointers.data());
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        if (r != 0) close(pipeFds[0]);
    }
    if (r != 0) {
        std::filesystem::remove_all(tempDir_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(r));
    }
    reader_ = std::thread([this, fd = pipeFds[0]] { ReadLines(fd); });
}

ChildProcess::~ChildProcess() {
    Stop();
    reader_.join();
    std::filesystem::remove_all(tempDir_);
}

void ChildProcess::ReadLines(int fd) {
    std::string partial;
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        partial.append(buffer, size_t(n));
        size_t start = 0, end;
        std::lock_guard<std::mutex> lock(mutex_);
        while ((end = partial.find('\n', start)) != std::string::npos) {
            lines_.push_back(partial.substr(start, end - start));
            start = end + 1;
        }
        partial.erase(0, start);
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    outputEnded_ = true;
    changed_.notify_all();
}

bool ChildProcess::WaitForLine(const std::string& text, size_t* from, Duration timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t next = *from;
    bool found = changed_.wait_for(lock, timeout, [&] {
        for (; next < lines_.size(); ++next) {
            if (lines_[next].find(text) != std::string::npos) return true;
        }
        return outputEnded_;
    });
    if (!found || next >= lines_.size()) return false;
    *from = next + 1;
    return true;
}

bool ChildProcess::WaitForLine(const std::string& text, Duration timeout) {
    size_t from = 0;
    return WaitForLine(text, &from, timeout);
}

size_t ChildProcess::CountLines(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& line : lines_) count += line.find(text) != std::string::npos;
    return count;
}

size_t ChildProcess::LineCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::vector<std::string> ChildProcess::Lines(size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= lines_.size()) return {};
    return {lines_.begin() + long(from), lines_.end()};
}

std::string ChildProcess::Tail(size_t count) {
    std::string text;
    size_t total = LineCount();
    for (const auto& line : Lines(total > count ? total - count : 0)) text += line + "\n";
    return text;
}

// The end of the process's output (every descriptor to the pipe closed) is the signal that it
// has ended; the reap after it does not block.
std::optional<int> ChildProcess::WaitForExit(Duration timeout) {
    if (status_) return status_;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [this] { return outputEnded_; })) {
            return std::nullopt;
        }
    }
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, 0) == pid_) status_ = StatusOf(wstatus);
    return status_;
}

bool ChildProcess::Running() {
    return !WaitForExit(0ms);
}

int ChildProcess::Stop() {
    if (!status_) {
        kill(pid_, SIGTERM);
        if (!WaitForExit()) {
            kill(pid_, SIGKILL);
            WaitForExit(std::chrono::hours(1));
        }
    }
    return status_.value_or(-1);
}

}  // namespace e2e
