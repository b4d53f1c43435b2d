#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool CanBind(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return bound;
}

int Connect(int port, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(port);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
        close(s);
        usleep(5000);
    }
    return -1;
}

std::vector<uint8_t> Drain(int s, int ms, bool* closed) {
    std::vector<uint8_t> bytes;
    pollfd p{s, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
        uint8_t chunk[1024];
        ssize_t n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

bool SendAll(int s, const std::vector<uint8_t>& bytes) {
    return send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void Close(int s) {
    close(s);
}

}  // namespace loopback
