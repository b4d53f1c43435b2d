#include "bench/telegrams/ends.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/ports.h"

namespace bench {

namespace {

// Bursts go out in writes of this size (the last one of a burst may be shorter).
constexpr size_t PIECE = 4096;
constexpr size_t TELEGRAM_MAX = 257;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool Busy() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// A non-blocking byte stream (a pty master, a socket) with its own input and output buffers.
class Stream {
  public:
    Stream(int fd, std::string what) : fd_(fd), what_(std::move(what)) {}
    ~Stream() { close(fd_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int Fd() const { return fd_; }

    // Whether a frame may be appended: a whole piece waiting is written first.
    bool Room() {
        if (Queued() >= PIECE) Write(false);
        return Queued() < PIECE;
    }
    void Append(const uint8_t* bytes, size_t size) { out_.insert(out_.end(), bytes, bytes + size); }
    // Writes whole pieces, and with `all` the rest too; true once nothing is left.
    bool Write(bool all) {
        while (Queued() >= PIECE || (all && Queued() > 0)) {
            ssize_t n = write(fd_, out_.data() + sent_, std::min(PIECE, Queued()));
            if (n < 0 && Busy()) break;
            if (n <= 0) Fail(what_ + " write");
            sent_ += size_t(n);
        }
        if (Queued() == 0) {
            out_.clear();
            sent_ = 0;
        }
        return Queued() == 0;
    }
    size_t Queued() const { return out_.size() - sent_; }

    // The next whole frame, whose length `frameLength` finds at the front of the input (0 while
    // it is not whole); reads what the descriptor has when none is whole yet.
    template <class Length>
    bool Next(Length frameLength, Bytes* frame) {
        for (;;) {
            size_t size = frameLength(in_.data() + taken_, in_.size() - taken_);
            if (size > 0) {
                frame->assign(in_.begin() + long(taken_), in_.begin() + long(taken_ + size));
                taken_ += size;
                return true;
            }
            in_.erase(in_.begin(), in_.begin() + long(taken_));
            taken_ = 0;
            size_t had = in_.size();
            in_.resize(had + 65536);
            ssize_t n = read(fd_, in_.data() + had, 65536);
            in_.resize(had + size_t(std::max<ssize_t>(n, 0)));
            if (n < 0 && Busy()) return false;
            if (n <= 0) {
                if (n == 0) errno = ECONNRESET;
                Fail(what_ + " read");
            }
        }
    }

  private:
    const int fd_;
    const std::string what_;
    Bytes out_;
    size_t sent_ = 0;
    Bytes in_;
    size_t taken_ = 0;
};

// A LON telegram is byte 1 + 2 bytes long.
size_t TelegramLength(const uint8_t* bytes, size_t size) {
    if (size < 2 || size < size_t(bytes[1]) + 2) return 0;
    return size_t(bytes[1]) + 2;
}

class PtyPeer : public Peer {
  public:
    PtyPeer(int master, int slave, std::string path)
        : stream_(master, "pty " + path), slave_(slave), path_(std::move(path)) {}
    // The slave stays open here too, so the master never sees a hang-up between two cycles of
    // the server.
    ~PtyPeer() override { close(slave_); }

    std::vector<std::string> Options() const override { return {"-d", path_}; }
    int Fd() const override { return stream_.Fd(); }
    bool Offer(const Bytes& telegram) override {
        if (!stream_.Room()) return false;
        stream_.Append(telegram.data(), telegram.size());
        return true;
    }
    bool Flush() override { return stream_.Write(true); }
    bool Pending() const override { return stream_.Queued() > 0; }
    bool Take(Bytes* telegram) override { return stream_.Next(TelegramLength, telegram); }

  private:
    Stream stream_;
    const int slave_;
    const std::string path_;
};

// Frames of protocol 0x8950 behind the TUN's packet-information header; a 257-byte telegram
// travels in the extended form [command][0xFF][length, little-endian][bytes].
constexpr uint8_t LON_PROTOCOL[] = {0x89, 0x50};
constexpr size_t INFO_SIZE = 4;
// Frames in flight at most: well below what the server's receive buffer and the TUN's queue
// hold, so that nothing overflows.
constexpr uint32_t TUN_WINDOW = 256;

class TunPeer : public Peer {
  public:
    TunPeer(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~TunPeer() override { close(fd_); }

    std::vector<std::string> Options() const override { return {"-d", name_}; }
    int Fd() const override { return fd_; }
    uint32_t Window() const override { return TUN_WINDOW; }
    bool Offer(const Bytes& telegram) override {
        Bytes packet = {0, 0, LON_PROTOCOL[0], LON_PROTOCOL[1]};
        if (telegram.size() == TELEGRAM_MAX) {
            uint16_t length = uint16_t(TELEGRAM_MAX - 2);
            packet.insert(packet.end(), {telegram[0], 0xFF, uint8_t(length), uint8_t(length >> 8)});
            packet.insert(packet.end(), telegram.begin() + 2, telegram.end());
        } else {
            packet.insert(packet.end(), telegram.begin(), telegram.end());
        }
        ssize_t n = write(fd_, packet.data(), packet.size());
        if (n < 0 && Busy()) return false;
        if (n != ssize_t(packet.size())) Fail("TUN " + name_ + " write");
        return true;
    }
    bool Flush() override { return true; }
    bool Pending() const override { return false; }
    bool Take(Bytes* telegram) override {
        uint8_t packet[INFO_SIZE + 65536];
        for (;;) {
            ssize_t n = read(fd_, packet, sizeof packet);
            if (n < 0 && Busy()) return false;
            if (n < ssize_t(INFO_SIZE)) Fail("TUN " + name_ + " read");
            // The kernel's own packets on a new interface (IPv6) are no LON frames.
            if (packet[2] != LON_PROTOCOL[0] || packet[3] != LON_PROTOCOL[1]) continue;
            const uint8_t* frame = packet + INFO_SIZE;
            size_t size = size_t(n) - INFO_SIZE;
            if (size >= 4 && frame[1] == 0xFF) {
                telegram->assign({frame[0], uint8_t(size - 4)});
                telegram->insert(telegram->end(), frame + 4, frame + size);
            } else {
                telegram->assign(frame, frame + size);
            }
            return true;
        }
    }

  private:
    const int fd_;
    const std::string name_;
};

}  // namespace

std::unique_ptr<Peer> MakeTunPeer() {
    static int next = 0;
    std::string name = "vbb" + std::to_string(getpid()) + "n" + std::to_string(next++);
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN;
    if (fd < 0 || ioctl(fd, TUNSETIFF, &request) != 0) Fail("TUN " + name + " (CAP_NET_ADMIN?)");
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    if (s >= 0) close(s);
    if (!up) Fail("TUN " + name + " up");
    return std::make_unique<TunPeer>(fd, name);
}

std::unique_ptr<Peer> MakePtyPeer() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        Fail("pty");
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode;
    if (slave < 0 || tcgetattr(slave, &mode) != 0) Fail(std::string("pty slave ") + name);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    return std::make_unique<PtyPeer>(master, slave, name);
}

struct Client::Impl {
    explicit Impl(int fd) : stream(fd, "client") {}
    Stream stream;
    std::chrono::steady_clock::time_point lastSent = std::chrono::steady_clock::now();
};

Client::Client(int port, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    sockaddr_in address = Loopback(port);
    int fd;
    for (;;) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) Fail("socket");
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        close(fd);
        if (errno != ECONNREFUSED || std::chrono::steady_clock::now() >= deadline) {
            Fail("connect to port " + std::to_string(port));
        }
        // Nothing signals a listening socket coming up; a short pause between tries will do.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    impl_ = std::make_unique<Impl>(fd);
}

Client::~Client() = default;

int Client::Fd() const {
    return impl_->stream.Fd();
}

bool Client::Offer(const Bytes& telegram) {
    if (!impl_->stream.Room()) return false;
    Bytes message = ipmsg::Encode(ipmsg::ID_DATA, telegram);
    impl_->stream.Append(message.data(), message.size());
    impl_->lastSent = std::chrono::steady_clock::now();
    return true;
}

bool Client::Flush() {
    return impl_->stream.Write(true);
}

bool Client::Pending() const {
    return impl_->stream.Queued() > 0;
}

bool Client::Take(Bytes* telegram) {
    const auto now = std::chrono::steady_clock::now();
    if (now - impl_->lastSent >= std::chrono::seconds(2)) {
        Bytes alive = ipmsg::Encode(ipmsg::ID_ALIVE, {});
        impl_->stream.Append(alive.data(), alive.size());
        impl_->stream.Write(true);
        impl_->lastSent = now;
    }
    Bytes message;
    while (impl_->stream.Next(ipmsg::WholeSize, &message)) {
        if (ipmsg::IdOf(message.data()) != ipmsg::ID_DATA) continue;
        telegram->assign(message.begin() + ipmsg::HEADER_SIZE, message.end());
        return true;
    }
    return false;
}
}  // namespace bench
