#include "support/pty_lon.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace e2e {

namespace {

// A whole telegram at the front of `bytes`: its length, or 0.
size_t WholeTelegram(const ipmsg::Bytes& bytes) {
    if (bytes.size() < 2) return 0;
    size_t size = size_t(bytes[1]) + 2;
    return bytes.size() >= size ? size : 0;
}

}  // namespace

PtyLon::PtyLon() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        Fail("pty");
    }
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode;
    if (slave_ < 0 || tcgetattr(slave_, &mode) != 0) Fail("pty slave " + path_);
    cfmakeraw(&mode);
    tcsetattr(slave_, TCSANOW, &mode);
}

void PtyLon::Fail(const std::string& what) {
    std::string why = what + ": " + std::strerror(errno);
    Hangup();
    throw std::runtime_error(why);
}

bool PtyLon::Write(const ipmsg::Bytes& telegram) {
    const Clock::time_point deadline = Clock::now() + WAIT;
    size_t done = 0;
    while (done < telegram.size()) {
        ssize_t n = write(master_, telegram.data() + done, telegram.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            // A server that stops reading fails the write instead of hanging the test.
            pollfd pfd = {master_, POLLOUT, 0};
            if (poll(&pfd, 1, Remaining(deadline)) <= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::optional<ipmsg::Bytes> PtyLon::Read(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t size;
    while ((size = WholeTelegram(pending_)) == 0) {
        pollfd pfd = {master_, POLLIN, 0};
        int r = poll(&pfd, 1, Remaining(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        uint8_t buffer[4096];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return std::nullopt;
        pending_.insert(pending_.end(), buffer, buffer + n);
    }
    ipmsg::Bytes telegram(pending_.begin(), pending_.begin() + long(size));
    pending_.erase(pending_.begin(), pending_.begin() + long(size));
    return telegram;
}

void PtyLon::Hangup() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
}

}  // namespace e2e
