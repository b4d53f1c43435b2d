#include "bench/lib/server_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace bench {

ServerChild::ServerChild(const std::string& binary, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment, const std::string& registry) {
    char dir[] = "/tmp/veltrabench-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    dir_ = dir;
    std::ofstream(dir_ + "/registry.reg")
        << "[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=dword:00000010\n"
        << registry;
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "VELTRABOX_", 10) != 0) env.emplace_back(*e);
    }
    env.push_back("VELTRABOX_REGISTRY=" + dir_ + "/registry.reg");
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> argvp, envp;
    for (auto& a : argv) argvp.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argvp.push_back(nullptr);
    envp.push_back(nullptr);
    const int err = open(LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (err < 0) throw std::runtime_error("cannot make " + LogPath());
    pid_ = fork();
    if (pid_ == 0) {
        // The server dies with the benchmark, even when that crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int in = open("/dev/null", O_RDWR);
        dup2(in, 0);
        dup2(in, 1);
        dup2(err, 2);
        execve(argvp[0], argvp.data(), envp.data());
        _exit(127);
    }
    close(err);
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

ServerChild::~ServerChild() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
}

}  // namespace bench
