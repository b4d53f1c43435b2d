// The service manager's notification socket (sd_notify(3)): one datagram per message, such as
// "READY=1", to the Unix socket named by NOTIFY_SOCKET: a path, or with a leading '@' an
// abstract socket name.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string_view>

class Notifier {
  public:
    // The socket named by `address`; none (every Send fails) for null, empty or bad names.
    explicit Notifier(const char* address);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    bool Enabled() const { return fd_ >= 0; }
    // Sends one message; false when it did not go out.
    bool Send(std::string_view message) const;

  private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t length_ = 0;
};
