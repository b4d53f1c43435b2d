// The serial LON interface: a character device (a USB adapter, a pty) in raw mode carrying
// telegrams back to back. Every wait goes through BlockingPoll together with the device's own
// wake descriptor, so that closing the handle or terminating the thread ends it. Read
// time-outs run on the real clock: the kernel does the waiting.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "device.h"
#include "errors.h"
#include "serial_framing.h"
#include "syscalls.h"

namespace win::detail {

namespace {

constexpr DWORD VERSION_WORD = 0x0210;
constexpr char16_t VERSION_TEXT[] = u"Veltrabox serial LON interface 2.1";

DWORD LastErrorOfErrno(int err) {
    return ErrorOfErrno(err, ErrnoFrom::Device);
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

struct SerialDevice : DescriptorDevice {
    std::mutex readMutex;
    SerialFramer framer{};  // under readMutex
    std::mutex writeMutex;

    BOOL Read(DWORD request, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) override;
    BOOL Write(LPCVOID buffer, DWORD bytes, DWORD* written) override;
    BOOL NeuronIdMessage(const BYTE* message, DWORD size, BYTE*, DWORD, DWORD* count) override {
        if (count) *count = 0;
        DWORD written = 0;
        return Write(message, size, &written);
    }
    DWORD VersionWord() const override { return VERSION_WORD; }
    const char16_t* VersionText() const override { return VERSION_TEXT; }
};

BOOL SerialDevice::Read(DWORD, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) {
    std::lock_guard<std::mutex> lock(readMutex);
    if (closed) return Fail(ERROR_INVALID_HANDLE);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = timeoutMs == INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool arrived = false;
    for (;;) {
        if (FramerTake(framer, buffer, size, count)) return TRUE;
        // A read without time-out takes only what an earlier read brought.
        if (timeoutMs == 0) {
            if (count) *count = 0;
            return TRUE;
        }
        int remaining = -1;
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            remaining = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        int ready = Await(POLLIN, remaining);
        if (ready < 0) return FALSE;
        if (ready == 0) {
            // A piece of a telegram that saw no byte for a whole time-out is line noise:
            // dropping it lets the stream fall back into step.
            if (!arrived) FramerReset(framer);
            if (count) *count = 0;
            return TRUE;
        }
        size_t room;
        BYTE* space = FramerSpace(framer, &room);
        ssize_t n = sys::read(fd, space, room);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // End of file or an I/O error: the device went away.
        if (n <= 0) return Fail(n == 0 ? ERROR_DEV_NOT_EXIST : LastErrorOfErrno(errno));
        FramerCommit(framer, static_cast<size_t>(n));
        arrived = true;
    }
}

BOOL SerialDevice::Write(LPCVOID buffer, DWORD bytes, DWORD* written) {
    std::lock_guard<std::mutex> lock(writeMutex);
    if (written) *written = 0;
    if (closed) return Fail(ERROR_INVALID_HANDLE);
    auto data = static_cast<const BYTE*>(buffer);
    DWORD done = 0;
    while (done < bytes) {
        ssize_t n = sys::write(fd, data + done, bytes - done);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (Await(POLLOUT, -1) < 0) return FALSE;
            continue;
        }
        if (n <= 0) return Fail(n == 0 ? ERROR_DEV_NOT_EXIST : LastErrorOfErrno(errno));
        done += static_cast<DWORD>(n);
        if (written) *written = done;
    }
    return TRUE;
}

bool MakeRaw(int fd) {
    termios mode;
    if (tcgetattr(fd, &mode) != 0) return false;
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &mode) == 0;
}

}  // namespace

std::shared_ptr<Device> OpenSerialDevice(const std::string& path) {
    auto device = std::make_shared<SerialDevice>();
    device->fd = sys::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device->fd < 0) {
        SetLastError(LastErrorOfErrno(errno));
        return nullptr;
    }
    device->wakeFd = sys::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (device->wakeFd < 0 || !MakeRaw(device->fd)) {
        SetLastError(LastErrorOfErrno(errno));
        return nullptr;
    }
    return device;
}

}  // namespace win::detail
