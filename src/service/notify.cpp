#include "service/notify.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "platform/posix.h"

Notifier::Notifier(const char* address) {
    size_t size = address != nullptr ? std::strlen(address) : 0;
    bool named = size > 1 && (address[0] == '/' || address[0] == '@');
    if (!named || size >= sizeof address_.sun_path) return;
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, address, size);
    // An abstract name starts with a zero byte and has exactly its own length.
    if (address[0] == '@') address_.sun_path[0] = '\0';
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    fd_ = win::posix::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

Notifier::~Notifier() {
    if (fd_ >= 0) close(fd_);
}

bool Notifier::Send(std::string_view message) const {
    if (fd_ < 0) return false;
    ssize_t sent = win::posix::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address_), length_);
    return sent == static_cast<ssize_t>(message.size());
}
