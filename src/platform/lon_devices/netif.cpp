// The LON network interface: a network interface of the Linux LON driver (lon0, ...), whose
// packets of protocol 0x8950 carry one LON message each, without a link header. A packet socket
// bound to the interface reads and writes them. Read time-outs run on the real clock, as on
// the serial interface.
#include "platform/netif.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "device.h"
#include "errors.h"
#include "netif_frames.h"
#include "syscalls.h"

namespace win::detail {

namespace {

constexpr uint16_t LON_PROTOCOL = 0x8950;
// Room for bursts: about a thousand small frames before the kernel drops any.
constexpr int RECEIVE_BUFFER_BYTES = 1 << 20;
constexpr DWORD NEURON_ID_RESPONSE_MS = 1000;
constexpr BYTE RESPONSE_COMMAND = 0x16;
// Messages kept for the pump while the open waits for the neuron-ID response.
constexpr size_t KEPT_LIMIT = 256;
// A full transmit queue gives no sign when it has room again: try again after this pause.
constexpr int FULL_QUEUE_PAUSE_MS = 2;
// Frames between two looks at the kernel's drop count (and at every read time-out).
constexpr unsigned STATISTICS_PERIOD = 256;
// Frames taken from the socket in one call: a burst costs one call per this many frames.
constexpr unsigned RECEIVE_BATCH = 64;
// Frames handed to the socket in one call.
constexpr unsigned SEND_BATCH = 64;
constexpr DWORD VERSION_WORD = 0x0100;
constexpr char16_t VERSION_TEXT[] = u"Veltrabox LON network interface 1.0";

using Clock = std::chrono::steady_clock;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD LastErrorOfErrno(int err) {
    return ErrorOfErrno(err, ErrnoFrom::Device);
}

// What one recvmmsg brought, handed out frame by frame.
struct ReceivedFrames {
    BYTE frames[RECEIVE_BATCH][NETIF_FRAME_MAX];
    iovec vectors[RECEIVE_BATCH];
    mmsghdr headers[RECEIVE_BATCH];
    unsigned count = 0;  // frames received
    unsigned next = 0;   // the next one to hand out

    ReceivedFrames() {
        for (unsigned i = 0; i < RECEIVE_BATCH; ++i) {
            vectors[i] = {frames[i], sizeof frames[i]};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// The frames of one sendmmsg.
struct FramesToSend {
    BYTE frames[SEND_BATCH][NETIF_FRAME_MAX];
    iovec vectors[SEND_BATCH];
    mmsghdr headers[SEND_BATCH];

    FramesToSend() {
        for (unsigned i = 0; i < SEND_BATCH; ++i) {
            vectors[i] = {frames[i], 0};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

int MillisecondsUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

struct NetifDevice : DescriptorDevice {
    std::string name;
    netif::Counts own;
    std::atomic<netif::Counts*> counts{&own};
    bool opened = false;  // the open succeeded
    std::mutex readMutex;
    std::deque<std::vector<BYTE>> kept;  // under readMutex
    ReceivedFrames received;             // under readMutex
    unsigned framesSinceStatistics = 0;  // under readMutex
    std::mutex writeMutex;
    FramesToSend sending;  // under writeMutex

    BOOL Read(DWORD request, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) override;
    BOOL Write(LPCVOID buffer, DWORD bytes, DWORD* written) override;
    BOOL WriteTelegrams(const TelegramSpan* telegrams, DWORD count, DWORD* written,
                        DWORD* done) override;
    BOOL NeuronIdMessage(const BYTE* message, DWORD size, BYTE* reply, DWORD replySize,
                         DWORD* count) override;
    DWORD VersionWord() const override { return VERSION_WORD; }
    const char16_t* VersionText() const override { return VERSION_TEXT; }
    // What overflowed since the last look is counted too.
    ~NetifDevice() override {
        if (opened) CountKernelDrops();
    }

    int Receive(Clock::time_point deadline, bool wait, BYTE* telegram, size_t* size);
    BOOL Transmit(unsigned count, unsigned* sent);
    void CountError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void CountKernelDrops();
};

void NetifDevice::CountError(const char* format, ...) {
    uint64_t total = ++counts.load()->BadFrames;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    DeviceLog(DBG_ZONE_ERROR, name.c_str(), "%s (%llu bad frames)", text,
              static_cast<unsigned long long>(total));
}

// The kernel counts what overflowed the receive buffer, and reading the count resets it.
void NetifDevice::CountKernelDrops() {
    framesSinceStatistics = 0;
    netif::Counts* into = counts.load();
    tpacket_stats statistics{};
    socklen_t size = sizeof statistics;
    if (sys::getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &statistics, &size) != 0) {
        if (!into->KernelCountFailed.exchange(true)) {
            DeviceLog(DBG_ZONE_ERROR, name.c_str(),
                      "frames that overflow the receive buffer cannot be counted: "
                      "getsockopt(PACKET_STATISTICS): %s",
                      std::strerror(errno));
        }
        return;
    }
    if (statistics.tp_drops == 0) return;
    uint64_t total = into->FramesDroppedByKernel += statistics.tp_drops;
    DeviceLog(DBG_ZONE_ERROR, name.c_str(),
              "%u frames lost: the receive buffer overflowed (%llu lost in all)",
              statistics.tp_drops, static_cast<unsigned long long>(total));
}

// One well-formed message by `deadline` (without `wait`, only of the frames received
// already): 1 with the telegram, 0 on time-out, -1 with the last error set on failure.
// Malformed frames are dropped and counted on the way.
int NetifDevice::Receive(Clock::time_point deadline, bool wait, BYTE* telegram, size_t* size) {
    for (;;) {
        while (received.next < received.count) {
            // With MSG_TRUNC the length is the frame's own, also when it did not fit.
            ssize_t n = received.headers[received.next].msg_len;
            const BYTE* frame = received.frames[received.next++];
            if (++framesSinceStatistics >= STATISTICS_PERIOD) CountKernelDrops();
            size_t announced = 0;
            FrameVerdict verdict =
                CheckFrame(frame, static_cast<size_t>(n), telegram, size, &announced);
            if (verdict == FrameVerdict::Telegram) return 1;
            if (verdict == FrameVerdict::TooShort) {
                CountError("frame of %zd bytes dropped: too short", n);
            } else if (verdict == FrameVerdict::SizeMismatch) {
                CountError("frame of %zd bytes dropped: its length says %zu bytes follow", n,
                           announced);
            } else {
                CountError(
                    "frame of %zd bytes dropped: its %zu bytes are more than a telegram holds", n,
                    announced);
            }
        }
        if (!wait) return 0;
        int ready = Await(POLLIN, MillisecondsUntil(deadline));
        if (ready <= 0) {
            if (ready == 0) CountKernelDrops();
            return ready;
        }
        int n = sys::recvmmsg(fd, received.headers, RECEIVE_BATCH, MSG_TRUNC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) {
            SetLastError(LastErrorOfErrno(errno));
            return -1;
        }
        received.count = static_cast<unsigned>(n);
        received.next = 0;
    }
}

BOOL NetifDevice::Read(DWORD, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) {
    std::lock_guard<std::mutex> lock(readMutex);
    if (count) *count = 0;
    if (closed) return Fail(ERROR_INVALID_HANDLE);
    BYTE telegram[TELEGRAM_MAX];
    size_t length = 0;
    if (!kept.empty()) {
        length = kept.front().size();
        std::memcpy(telegram, kept.front().data(), length);
        kept.pop_front();
    } else {
        const Clock::time_point deadline =
            timeoutMs == INFINITE ? Clock::time_point::max()
                                  : Clock::now() + std::chrono::milliseconds(timeoutMs);
        int r = Receive(deadline, timeoutMs != 0, telegram, &length);
        if (r < 0) return FALSE;
        if (r == 0) return TRUE;
    }
    DWORD copied = std::min<DWORD>(size, static_cast<DWORD>(length));
    if (copied) std::memcpy(buffer, telegram, copied);
    if (count) *count = copied;
    return TRUE;
}

BOOL NetifDevice::Write(LPCVOID buffer, DWORD bytes, DWORD* written) {
    TelegramSpan telegram = {static_cast<const BYTE*>(buffer), bytes};
    DWORD count = 0, done = 0;
    BOOL ok = WriteTelegrams(&telegram, 1, &count, &done);
    if (written) *written = done ? count : 0;
    return ok;
}

// Up to SEND_BATCH telegrams at a time go out in one sendmmsg; a malformed one ends the
// request after those before it have gone.
BOOL NetifDevice::WriteTelegrams(const TelegramSpan* telegrams, DWORD count, DWORD* written,
                                 DWORD* done) {
    std::lock_guard<std::mutex> lock(writeMutex);
    *done = 0;
    if (closed) return Fail(ERROR_INVALID_HANDLE);
    while (*done < count) {
        unsigned framed = 0;
        const TelegramSpan* malformed = nullptr;
        for (; framed < SEND_BATCH && *done + framed < count; ++framed) {
            const TelegramSpan& telegram = telegrams[*done + framed];
            size_t size =
                telegram.size <= TELEGRAM_MAX
                    ? FrameOfTelegram(telegram.bytes, telegram.size, sending.frames[framed])
                    : 0;
            if (size == 0) {
                malformed = &telegram;
                break;
            }
            sending.vectors[framed].iov_len = size;
        }
        unsigned sent = 0;
        BOOL ok = Transmit(framed, &sent);
        for (unsigned i = 0; i < sent; ++i) written[*done + i] = telegrams[*done + i].size;
        *done += sent;
        if (!ok) return FALSE;
        if (malformed) {
            DeviceLog(DBG_ZONE_ERROR, name.c_str(),
                      "telegram of %u bytes not sent: its byte 1 disagrees with its size",
                      static_cast<unsigned>(malformed->size));
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }
    return TRUE;
}

// Sends the first `count` frames of `sending` in order, in as few calls as the socket takes:
// *sent counts those that went; FALSE, with the last error set, when the next one cannot.
BOOL NetifDevice::Transmit(unsigned count, unsigned* sent) {
    *sent = 0;
    while (*sent < count) {
        int n = sys::sendmmsg(fd, sending.headers + *sent, count - *sent, 0);
        if (n > 0) {
            // A packet goes whole or not at all.
            for (unsigned end = *sent + unsigned(n); *sent < end; ++*sent) {
                if (sending.headers[*sent].msg_len != sending.vectors[*sent].iov_len)
                    return Fail(ERROR_WRITE_FAULT);
            }
            continue;
        }
        if (n == 0) return Fail(ERROR_WRITE_FAULT);
        if (errno == EINTR) continue;
        // The socket's send buffer is full: poll says when it has room.
        if (errno == EAGAIN) {
            if (Await(POLLOUT, -1) < 0) return FALSE;
            continue;
        }
        // The interface's transmit queue is full: that passes as the adapter sends.
        if (errno == ENOBUFS) {
            if (Await(0, FULL_QUEUE_PAUSE_MS) < 0) return FALSE;
            continue;
        }
        return Fail(LastErrorOfErrno(errno));
    }
    return TRUE;
}

// The message goes to the adapter like any other; its response (the first 0x16 message) is
// the open's business, while other messages that arrive meanwhile are kept for the pump.
BOOL NetifDevice::NeuronIdMessage(const BYTE* message, DWORD size, BYTE* reply, DWORD replySize,
                                  DWORD* count) {
    if (count) *count = 0;
    DWORD written = 0;
    if (!Write(message, size, &written)) return FALSE;
    std::lock_guard<std::mutex> lock(readMutex);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(NEURON_ID_RESPONSE_MS);
    for (;;) {
        BYTE telegram[TELEGRAM_MAX];
        size_t length = 0;
        int r = Receive(deadline, true, telegram, &length);
        if (r < 0) return FALSE;
        if (r == 0) {
            DeviceLog(DBG_ZONE_ERROR, name.c_str(),
                      "no response to the neuron-ID message within %u ms",
                      static_cast<unsigned>(NEURON_ID_RESPONSE_MS));
            return Fail(ERROR_TIMEOUT);
        }
        if (telegram[0] == RESPONSE_COMMAND) {
            DWORD copied = reply ? std::min<DWORD>(replySize, static_cast<DWORD>(length)) : 0;
            if (copied) std::memcpy(reply, telegram, copied);
            if (count) *count = copied;
            return TRUE;
        }
        if (kept.size() < KEPT_LIMIT) {
            kept.emplace_back(telegram, telegram + length);
        } else {
            CountError("message dropped while waiting for the neuron-ID response");
        }
    }
}

// The failed open's line under the error zone, and its error.
std::shared_ptr<Device> OpenFailed(const std::string& name, DWORD error, const char* why) {
    DeviceLog(DBG_ZONE_ERROR, name.c_str(), "cannot open the network interface: %s", why);
    SetLastError(error);
    return nullptr;
}

}  // namespace

bool NetworkInterfaceExists(const std::string& name) {
    return if_nametoindex(name.c_str()) != 0;
}

std::shared_ptr<Device> OpenNetworkInterface(const std::string& name) {
    auto device = std::make_shared<NetifDevice>();
    device->name = name;
    // Protocol 0 receives nothing until the bind below names the interface and the protocol.
    device->fd = sys::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (device->fd < 0 && (errno == EPERM || errno == EACCES)) {
        return OpenFailed(name, ERROR_ACCESS_DENIED,
                          "a packet socket needs the capability CAP_NET_RAW, which this "
                          "process lacks");
    }
    if (device->fd < 0) return OpenFailed(name, LastErrorOfErrno(errno), std::strerror(errno));
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name)
        return OpenFailed(name, ERROR_DEV_NOT_EXIST, "no network interface has this name");
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    // The index is looked up at every open: an adapter plugged in again may get another one.
    if (ioctl(device->fd, SIOCGIFINDEX, &request) != 0)
        return OpenFailed(name, ERROR_DEV_NOT_EXIST, "no network interface has this name");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(LON_PROTOCOL);
    address.sll_ifindex = request.ifr_ifindex;
    if (ioctl(device->fd, SIOCGIFFLAGS, &request) != 0 || !(request.ifr_flags & IFF_UP))
        return OpenFailed(name, ERROR_NOT_READY, "the network interface is down");
    int bytes = RECEIVE_BUFFER_BYTES;
    bool forced = ::setsockopt(device->fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
    if (!forced) ::setsockopt(device->fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    socklen_t size = sizeof bytes;
    if (::getsockopt(device->fd, SOL_SOCKET, SO_RCVBUF, &bytes, &size) == 0) {
        // The kernel counts each frame's overhead too, and so reports twice what was asked.
        DeviceLog(DBG_ZONE_INIT, name.c_str(), "receive buffer of %d bytes%s", bytes,
                  forced ? "" : " (without CAP_NET_ADMIN at most twice net.core.rmem_max)");
    }
    if (::bind(device->fd, reinterpret_cast<::sockaddr*>(&address), sizeof address) != 0)
        return OpenFailed(name, LastErrorOfErrno(errno), std::strerror(errno));
    device->wakeFd = sys::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device->wakeFd < 0) return OpenFailed(name, LastErrorOfErrno(errno), std::strerror(errno));
    device->opened = true;
    return device;
}

}  // namespace win::detail

namespace win::netif {

bool CountInto(HANDLE device, Counts* counts) {
    auto netif = detail::Lookup<detail::NetifDevice>(device);
    if (netif) netif->counts.store(counts);
    return netif != nullptr;
}

uint64_t InterfaceErrors(HANDLE device) {
    auto netif = detail::Lookup<detail::NetifDevice>(device);
    if (!netif) return 0;
    const Counts* counts = netif->counts.load();
    return counts->FramesDroppedByKernel.load() + counts->BadFrames.load();
}

}  // namespace win::netif
