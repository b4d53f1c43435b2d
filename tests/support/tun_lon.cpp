#include "support/tun_lon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "support/child_process.h"

namespace e2e {

namespace {

constexpr uint16_t LON_PROTOCOL = 0x8950;
constexpr size_t PI_SIZE = 4;  // packet information: flags, then the protocol (network order)
constexpr int CAP_NET_ADMIN_BIT = 12;
constexpr int CAP_NET_RAW_BIT = 13;
constexpr uint8_t EXTENDED = 0xFF;

bool HasCapability(int bit) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> bit) & 1;
    }
    return false;
}

// The frame of a telegram as the LON driver carries it: byte 1 = 0xFF only in the extended
// form, which a 257-byte telegram needs.
ipmsg::Bytes FrameOf(const ipmsg::Bytes& telegram) {
    if (telegram.size() < 2 || telegram[1] != EXTENDED) return telegram;
    uint16_t length = uint16_t(telegram.size() - 2);
    ipmsg::Bytes frame = {telegram[0], EXTENDED, uint8_t(length), uint8_t(length >> 8)};
    frame.insert(frame.end(), telegram.begin() + 2, telegram.end());
    return frame;
}

ipmsg::Bytes TelegramOf(const ipmsg::Bytes& frame) {
    if (frame.size() < 4 || frame[1] != EXTENDED) return frame;
    ipmsg::Bytes telegram = {frame[0], uint8_t(frame.size() - 4)};
    telegram.insert(telegram.end(), frame.begin() + 4, frame.end());
    return telegram;
}

}  // namespace

std::string TunLon::Unavailable() {
    if (!HasCapability(CAP_NET_ADMIN_BIT))
        return "creating a TUN device needs CAP_NET_ADMIN, which this process lacks";
    if (!HasCapability(CAP_NET_RAW_BIT))
        return "a packet socket needs CAP_NET_RAW, which this process lacks";
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        return std::string("/dev/net/tun: ") + std::strerror(errno);
    return "";
}

TunLon::TunLon() {
    static std::atomic<int> next{0};
    name_ = "vbl" + std::to_string(getpid()) + "n" + std::to_string(next++);
    if (name_.size() >= IFNAMSIZ) throw std::runtime_error("interface name too long: " + name_);
    if (!Plug()) throw std::runtime_error("TUN " + name_ + ": " + std::strerror(errno));
}

bool TunLon::Plug() {
    if (fd_ >= 0) return true;
    fd_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    ifreq request{};
    std::strncpy(request.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN;  // with the packet-information header
    if (fd_ < 0 || ioctl(fd_, TUNSETIFF, &request) != 0 || !SetUp(true)) {
        int error = errno;
        Unplug();
        errno = error;
        return false;
    }
    return true;
}

bool TunLon::SetUp(bool up) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    bool done = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
    done = done && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    close(s);
    return done;
}

void TunLon::Unplug() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool TunLon::WriteFrame(const ipmsg::Bytes& frame) {
    ipmsg::Bytes packet = {0, 0, uint8_t(LON_PROTOCOL >> 8), uint8_t(LON_PROTOCOL & 0xFF)};
    packet.insert(packet.end(), frame.begin(), frame.end());
    return fd_ >= 0 && write(fd_, packet.data(), packet.size()) == ssize_t(packet.size());
}

bool TunLon::Write(const ipmsg::Bytes& telegram) {
    return WriteFrame(FrameOf(telegram));
}

std::optional<ipmsg::Bytes> TunLon::ReadFrame(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    uint8_t packet[PI_SIZE + 65536];
    while (fd_ >= 0) {
        pollfd pfd = {fd_, POLLIN, 0};
        int r = poll(&pfd, 1, Remaining(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        ssize_t n = read(fd_, packet, sizeof packet);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < ssize_t(PI_SIZE)) return std::nullopt;
        // The kernel's own traffic on a new interface (IPv6 solicitations) is no LON frame.
        if ((packet[2] << 8 | packet[3]) != LON_PROTOCOL) continue;
        return ipmsg::Bytes(packet + PI_SIZE, packet + n);
    }
    return std::nullopt;
}

std::optional<ipmsg::Bytes> TunLon::Read(Duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        std::optional<ipmsg::Bytes> frame = ReadFrame(std::chrono::duration_cast<Duration>(
            std::max(deadline - Clock::now(), Clock::duration::zero())));
        if (!frame) return std::nullopt;
        ipmsg::Bytes telegram = TelegramOf(*frame);
        if (!answerNeuronId_ || !IsNeuronIdMessage(telegram)) return telegram;
        ++neuronIdMessages_;
        if (!Write(NeuronIdResponse())) return std::nullopt;
    }
}

bool TunLon::SetQueueLimit(int packets) {
    return RunCommand("tc qdisc replace dev " + name_ + " root pfifo limit " +
                      std::to_string(packets))
               .status == 0;
}

long TunLon::QueueDrops() {
    std::string text = RunCommand("tc -s qdisc show dev " + name_).output;
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(R"(dropped (\d+))"))) return -1;
    return std::stol(match[1]);
}

ipmsg::Bytes NeuronIdResponse() {
    // Completion of tag 1, write-memory success (0x2E), no address bytes of interest.
    ipmsg::Bytes response = {0x16, 0x0F, 0x71, 0x01, 0x01};
    response.insert(response.end(), 11, 0x00);
    response.push_back(0x2E);
    return response;
}

bool IsNeuronIdMessage(const ipmsg::Bytes& telegram) {
    return telegram.size() == 28 && telegram[0] == 0x22 && telegram[1] == 0x1A &&
           telegram[16] == 0x6E;
}

}  // namespace e2e
