// The real server as a child process of a benchmark, with a registry of its own (error lines
// only) and its standard error in a log file; it dies with the benchmark.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class ServerChild {
  public:
    // `environment` entries ("NAME=value") are added to this process's environment without
    // its VELTRABOX_ variables; `registry` (.reg text) follows the debug zones in its registry.
    ServerChild(const std::string& binary, const std::vector<std::string>& args,
                const std::vector<std::string>& environment, const std::string& registry = "");
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    pid_t Pid() const { return pid_; }
    // Made before the server starts, so that it can be read from the start.
    std::string LogPath() const { return dir_ + "/server.log"; }

  private:
    pid_t pid_ = -1;
    std::string dir_;
};

}  // namespace bench
