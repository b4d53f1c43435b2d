#include "bench/telegrams/ends.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "support/pty_lon.h"
#include "support/test_client.h"
#include "support/tun_lon.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

// Bursts go out in writes of this size (the last one of a burst may be shorter).
constexpr size_t PIECE = 4096;
// Frames in flight at most: well below what the server's receive buffer and the TUN's queue
// hold, so that nothing overflows.
constexpr uint32_t TUN_WINDOW = 256;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool Busy() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS;
}

// What goes out on a non-blocking descriptor, gathered into pieces: a burst costs the
// benchmark few writes, so that the server's pace is measured, not the benchmark's.
class Gathered {
  public:
    Gathered(int fd, std::string what) : fd_(fd), what_(std::move(what)) {}

    // Whether a frame may be appended: a whole piece waiting is written first.
    bool Room() {
        if (Queued() >= PIECE) Write(false);
        return Queued() < PIECE;
    }
    void Append(const Bytes& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
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

  private:
    const int fd_;
    const std::string what_;
    Bytes out_;
    size_t sent_ = 0;
};

// A LON telegram is byte 1 + 2 bytes long; 0 while `size` bytes hold no whole one.
size_t TelegramLength(const uint8_t* bytes, size_t size) {
    if (size < 2 || size < size_t(bytes[1]) + 2) return 0;
    return size_t(bytes[1]) + 2;
}

// A peer's telegram that had come whole, if any.
bool TakeWhole(std::optional<Bytes> got, Bytes* telegram) {
    if (got) *telegram = std::move(*got);
    return got.has_value();
}

class PtyPeer : public Peer {
  public:
    std::vector<std::string> Options() const override { return {"-d", lon_.Path()}; }
    int Fd() const override { return lon_.Fd(); }
    bool Offer(const Bytes& telegram) override {
        if (!out_.Room()) return false;
        out_.Append(telegram);
        return true;
    }
    bool Flush() override { return out_.Write(true); }
    bool Pending() const override { return out_.Queued() > 0; }
    // The pty keeps its slave open: its master never sees the end of the line.
    bool Take(Bytes* telegram) override { return TakeWhole(lon_.Read(0ms), telegram); }

  private:
    e2e::PtyLon lon_;
    Gathered out_{lon_.Fd(), "pty " + lon_.Path()};
};

class TunPeer : public Peer {
  public:
    std::vector<std::string> Options() const override { return {"-d", lon_.Name()}; }
    int Fd() const override { return lon_.Fd(); }
    uint32_t Window() const override { return TUN_WINDOW; }
    bool Offer(const Bytes& telegram) override {
        if (lon_.Write(telegram)) return true;
        if (Busy()) return false;
        Fail("TUN " + lon_.Name() + " write");
    }
    bool Flush() override { return true; }
    bool Pending() const override { return false; }
    bool Take(Bytes* telegram) override { return TakeWhole(lon_.Read(0ms), telegram); }

  private:
    e2e::TunLon lon_;
};

}  // namespace

std::unique_ptr<Peer> MakeTunPeer() {
    return std::make_unique<TunPeer>();
}

std::unique_ptr<Peer> MakePtyPeer() {
    return std::make_unique<PtyPeer>();
}

// A pcap record: its 16-byte header gives the length of what follows.
size_t CaptureRecordSize(const uint8_t* at, size_t held) {
    if (held < 16) return 0;
    const size_t size = 16 + (at[8] | at[9] << 8 | at[10] << 16 | size_t(at[11]) << 24);
    return held >= size ? size : 0;
}

struct Client::Impl {
    explicit Impl(Framing framing) : framing(framing) {}
    e2e::TestClient client;
    std::unique_ptr<Gathered> out;
    const Framing framing;
    bool fileHeaderTaken = false;
    std::chrono::steady_clock::time_point lastSent = std::chrono::steady_clock::now();
    // What was read and not yet taken is in[begin, end): parsed in place, so that the
    // benchmark's own cost per telegram stays well below a bridge's, framed or not.
    Bytes in = Bytes(256 * 1024);
    size_t begin = 0, end = 0;

    // The next whole frame that `frameLength` finds at the front of what was read; reads what
    // the connection has when none is whole yet.
    template <class Length>
    const uint8_t* Next(Length frameLength, size_t* size) {
        for (;;) {
            *size = frameLength(in.data() + begin, end - begin);
            if (*size > 0) {
                begin += *size;
                return in.data() + begin - *size;
            }
            std::memmove(in.data(), in.data() + begin, end - begin);
            end -= begin;
            begin = 0;
            ssize_t n = recv(client.Fd(), in.data() + end, in.size() - end, MSG_DONTWAIT);
            if (n < 0 && Busy()) return nullptr;
            if (n == 0) errno = ECONNRESET;
            if (n <= 0) Fail("client read");
            end += size_t(n);
        }
    }
};

Client::Client(int port, int seconds, Framing framing) : impl_(std::make_unique<Impl>(framing)) {
    if (!impl_->client.Connect(port, std::chrono::seconds(seconds))) {
        Fail("connect to port " + std::to_string(port));
    }
    int fd = impl_->client.Fd();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    impl_->out = std::make_unique<Gathered>(fd, "client");
}

Client::~Client() = default;

int Client::Fd() const {
    return impl_->client.Fd();
}

bool Client::Offer(const Bytes& telegram) {
    if (!impl_->out->Room()) return false;
    impl_->out->Append(impl_->framing == Framing::MESSAGES ? ipmsg::Encode(ipmsg::ID_DATA, telegram)
                                                           : telegram);
    impl_->lastSent = std::chrono::steady_clock::now();
    return true;
}

bool Client::Flush() {
    return impl_->out->Write(true);
}

bool Client::Pending() const {
    return impl_->out->Queued() > 0;
}

bool Client::Take(Bytes* telegram) {
    size_t size;
    if (impl_->framing == Framing::CAPTURE) {
        constexpr size_t FILE_HEADER = 24, RECORD_HEADER = 16 + 8;
        if (!impl_->fileHeaderTaken) {
            auto whole = [](const uint8_t*, size_t held) {
                return held >= FILE_HEADER ? FILE_HEADER : 0;
            };
            if (!impl_->Next(whole, &size)) return false;
            impl_->fileHeaderTaken = true;
        }
        while (const uint8_t* record = impl_->Next(CaptureRecordSize, &size)) {
            if (record[16 + 1] != 0) continue;  // written to the bus
            telegram->assign(record + RECORD_HEADER, record + size);
            return true;
        }
        return false;
    }
    if (impl_->framing == Framing::NONE) {
        const uint8_t* got = impl_->Next(TelegramLength, &size);
        if (got) telegram->assign(got, got + size);
        return got != nullptr;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - impl_->lastSent >= std::chrono::seconds(2)) {
        impl_->out->Append(ipmsg::Encode(ipmsg::ID_ALIVE, {}));
        impl_->out->Write(true);
        impl_->lastSent = now;
    }
    while (const uint8_t* message = impl_->Next(ipmsg::WholeSize, &size)) {
        if (ipmsg::IdOf(message) != ipmsg::ID_DATA) continue;
        telegram->assign(message + ipmsg::HEADER_SIZE, message + size);
        return true;
    }
    return false;
}

}  // namespace bench
