#include "service/status_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

namespace {

constexpr const char* DEFAULT_FOLDER = "/run/veltrabox";

bool SocketAddress(const std::string& path, sockaddr_un* address) {
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    *address = {};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when a server answers at `address`.
bool Answers(const sockaddr_un& address) {
    int probe = win::posix::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool answered =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return answered;
}

int Listen(const sockaddr_un& address) {
    int listener = win::posix::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        listen(listener, SOMAXCONN) == 0) {
        return listener;
    }
    int error = errno;
    close(listener);
    errno = error;
    return -1;
}

}  // namespace

std::string StatusSocketPath(int firstPort) {
    const char* path = std::getenv("VELTRABOX_STATUS_SOCKET");
    if (path != nullptr && *path != '\0') return path;
    return std::string(DEFAULT_FOLDER) + "/" + std::to_string(firstPort) + ".sock";
}

int OpenStatusSocket(const std::string& path) {
    sockaddr_un address;
    if (!SocketAddress(path, &address)) return -1;
    if (path.starts_with(std::string(DEFAULT_FOLDER) + "/")) mkdir(DEFAULT_FOLDER, 0755);
    int listener = Listen(address);
    if (listener >= 0 || errno != EADDRINUSE) return listener;
    if (Answers(address)) {
        errno = EADDRINUSE;
        return -1;
    }
    // Only a socket file is replaced, never another kind of file.
    struct stat file {};
    if (lstat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode)) {
        errno = EADDRINUSE;
        return -1;
    }
    unlink(path.c_str());
    return Listen(address);
}

void ServeStatusClient(int listener, const std::string& text) {
    int client = win::posix::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    win::posix::send(client, text.data(), text.size(), MSG_NOSIGNAL);
    close(client);
}
