#include "support/notify_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <sstream>

namespace {

std::string UniqueName() {
    static std::atomic<int> serial{0};
    return "veltrabox-notify-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

bool HasLine(const std::string& datagram, const std::string& prefix, bool whole,
             std::string* found) {
    std::istringstream lines(datagram);
    std::string line;
    while (std::getline(lines, line)) {
        if (whole ? line == prefix : line.starts_with(prefix)) {
            *found = line;
            return true;
        }
    }
    return false;
}

}  // namespace

NotifyListener::NotifyListener(bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string name = UniqueName();
    socklen_t length;
    if (abstract) {
        address_ = "@" + name;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    } else {
        path_ = "/tmp/" + name;
        address_ = path_;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        length = sizeof address;
    }
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

NotifyListener::~NotifyListener() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
}

std::optional<std::string> NotifyListener::Receive(e2e::Duration timeout) {
    pollfd ready{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    std::string datagram(buffer, static_cast<size_t>(n));
    seen_ += datagram + "\n";
    return datagram;
}

std::optional<std::string> NotifyListener::WaitForPrefix(const std::string& prefix,
                                                         e2e::Duration timeout) {
    const e2e::Clock::time_point deadline = e2e::Clock::now() + timeout;
    std::string found;
    while (auto datagram = Receive(std::chrono::milliseconds(e2e::Remaining(deadline)))) {
        if (HasLine(*datagram, prefix, false, &found)) return found;
    }
    return std::nullopt;
}

bool NotifyListener::WaitFor(const std::string& line, e2e::Duration timeout) {
    const e2e::Clock::time_point deadline = e2e::Clock::now() + timeout;
    std::string found;
    while (auto datagram = Receive(std::chrono::milliseconds(e2e::Remaining(deadline)))) {
        if (HasLine(*datagram, line, true, &found)) return true;
    }
    return false;
}

void NotifyListener::Drain() {
    while (Receive(std::chrono::milliseconds(0))) {
    }
}
