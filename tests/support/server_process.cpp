#include "support/server_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

// The caller's entries come first: the first of two entries of one name counts.
std::vector<std::string> ChildEnvironment(const std::string& tempDir,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> env(extra);
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "VELTRABOX_", 10) != 0) env.emplace_back(*e);
    }
    env.push_back("VELTRABOX_REGISTRY=" + tempDir + "/registry.reg");
    env.push_back("VELTRABOX_STATUS_SOCKET=" + tempDir + "/status.sock");
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

bool SanitizerReport(const std::string& line) {
    return line.find("Sanitizer") != std::string::npos ||
           line.find("runtime error:") != std::string::npos;
}

}  // namespace

int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

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

std::vector<std::string> CommandWords(const std::string& path) {
    std::vector<std::string> words;
#ifdef VELTRABOX_EMULATOR
    std::istringstream emulator(VELTRABOX_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
#endif
    words.push_back(path);
    return words;
}

std::string BuiltProgram(const std::string& name) {
    std::string command;
    for (const auto& word : CommandWords(VELTRABOX_BINARY_DIR "/" + name)) {
        command += (command.empty() ? "" : " ") + word;
    }
    return command;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment, unsigned zones,
                             const std::string& registry) {
    std::vector<std::string> argv = CommandWords(VELTRABOX_BINARY_DIR "/veltrabox");
    argv.insert(argv.end(), args.begin(), args.end());
    Spawn(std::move(argv), environment, zones, registry);
}

ServerProcess::ServerProcess(const Command& command) {
    Spawn(command.argv, {}, LOG_ZONES, "");
}

void ServerProcess::Spawn(std::vector<std::string> argv,
                          const std::vector<std::string>& environment, unsigned zones,
                          const std::string& registry) {
    char dirTemplate[] = "/tmp/veltrabox-e2e-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    tempDir_ = dirTemplate;
    std::string registryPath = tempDir_ + "/registry.reg";
    {
        std::ofstream file(registryPath);
        char zoneLine[64];
        std::snprintf(zoneLine, sizeof zoneLine, "\"Quorvel\"=dword:%08x\n", zones);
        file << "[HKEY_LOCAL_MACHINE\\DebugZones]\n" << zoneLine << registry;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    // The server dies with the test program, even when that crashes.
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL"});
    std::vector<std::string> env = ChildEnvironment(tempDir_, environment);
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(env);
    int r = posix_spawn(&pid_, argvPointers[0], &actions, nullptr, argvPointers.data(),
                        envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (r != 0) {
        ADD_FAILURE() << "posix_spawn " << argv[0] << ": " << std::strerror(r);
        pid_ = -1;
        close(pipeFds[0]);
        return;
    }
    reader_ = std::thread([this, fd = pipeFds[0]] { ReadLines(fd); });
}

ServerProcess::~ServerProcess() {
    Stop();
    if (reader_.joinable()) reader_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
        if (SanitizerReport(line)) {
            ADD_FAILURE() << "the server reported a fault:\n" << line;
            break;
        }
    }
    if (!tempDir_.empty()) std::filesystem::remove_all(tempDir_);
}

void ServerProcess::ReadLines(int fd) {
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

bool ServerProcess::WaitForLine(const std::string& text, size_t* from, Duration timeout) {
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

bool ServerProcess::WaitForLine(const std::string& text, Duration timeout) {
    size_t from = 0;
    return WaitForLine(text, &from, timeout);
}

size_t ServerProcess::CountLines(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& line : lines_) count += line.find(text) != std::string::npos;
    return count;
}

size_t ServerProcess::LineCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::string ServerProcess::Tail(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (size_t i = lines_.size() > count ? lines_.size() - count : 0; i < lines_.size(); ++i) {
        text += lines_[i] + "\n";
    }
    return text;
}

// The end of the process's output (every descriptor to the pipe closed) is the signal that it
// has ended; the reap after it does not block.
std::optional<int> ServerProcess::WaitForExit(Duration timeout) {
    if (status_ || pid_ < 0) return status_;
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

bool ServerProcess::Running() {
    return pid_ > 0 && !WaitForExit(0ms);
}

int ServerProcess::Stop() {
    if (pid_ < 0) return -1;
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
