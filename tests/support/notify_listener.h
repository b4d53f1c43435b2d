// The service manager's side of the notification socket: a datagram socket that a test owns,
// at a path or under an abstract name, that collects what the server says ("READY=1", ...).
#pragma once

#include <optional>
#include <string>

#include "support/server_process.h"

class NotifyListener {
  public:
    // Binds a fresh socket: under an abstract name when `abstract`, else at a path.
    explicit NotifyListener(bool abstract = false);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    // The value for NOTIFY_SOCKET ("@name" for an abstract name).
    const std::string& Address() const { return address_; }
    // The next datagram within `timeout`.
    std::optional<std::string> Receive(e2e::Duration timeout = e2e::WAIT);
    // Receives until a datagram holds the line `line` ("READY=1", "STATUS=...") within
    // `timeout`; every datagram received on the way is kept in Seen().
    bool WaitFor(const std::string& line, e2e::Duration timeout = e2e::WAIT);
    // Receives until a datagram's line starts with `prefix`; that line, or nothing.
    std::optional<std::string> WaitForPrefix(const std::string& prefix,
                                             e2e::Duration timeout = e2e::WAIT);
    // Drops every datagram that has already arrived.
    void Drain();
    const std::string& Seen() const { return seen_; }

  private:
    int fd_ = -1;
    std::string address_;
    std::string path_;
    std::string seen_;
};
