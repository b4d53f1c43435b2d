// The device manager: CreateFileW picks a stream driver by device name, and DeviceIoControl
// and WriteFile pass on to the driver behind the handle; a read request is one call of the
// driver's Read. CloseHandle (handles.cpp) wakes calls blocked on the device through
// Object::OnHandleClosed.
//
// Names never clash: a path starts with '/', "LONn:" ends with ':', and a network interface's
// name has neither.
// - A path ("/dev/ttyUSB0", a pty) is a serial interface.
// - "LONn:" is what the environment variable VELTRABOX_LONn names, a path or a network
//   interface, when that is set, and otherwise node of the simulated channel n in this process.
// - Any other name without ':' is a network interface of the Linux LON driver ("lon0").
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <vector>

#include "errors.h"
#include "lon_devices/device.h"
#include "platform/device_names.h"
#include "utf8.h"

namespace win::detail {

namespace {

// "LONn:" with n one or more digits.
bool IsLonName(const std::wstring& name) {
    if (name.size() < 5 || name.compare(0, 3, L"LON") != 0 || name.back() != L':') return false;
    for (size_t i = 3; i + 1 < name.size(); ++i) {
        if (!std::iswdigit(name[i])) return false;
    }
    return true;
}

// A path or a network interface's name.
devices::DeviceTarget PathOrInterface(const std::string& name, const std::string& variable) {
    if (!name.empty() && name[0] == '/') return {devices::DeviceKind::SERIAL, name, variable};
    if (!name.empty() && name.find_first_of(":/") == std::string::npos)
        return {devices::DeviceKind::NETWORK_INTERFACE, name, variable};
    return {devices::DeviceKind::NONE, name, variable};
}

std::shared_ptr<Device> OpenByName(const std::wstring& name) {
    devices::DeviceTarget target = devices::ResolveDeviceName(name.c_str());
    switch (target.Kind) {
        case devices::DeviceKind::SIMULATED:
            return OpenSimulatedDevice(name);
        case devices::DeviceKind::SERIAL:
            return OpenSerialDevice(target.Name);
        case devices::DeviceKind::NETWORK_INTERFACE:
            return OpenNetworkInterface(target.Name);
        case devices::DeviceKind::NONE:
            break;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

// The two read requests place the telegram buffer and the time-out word the other way round.
BOOL ReadRequest(Device& device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                 DWORD* bytesReturned) {
    LPVOID telegram = code == IOCTL_READ ? in : out;
    DWORD telegramSize = code == IOCTL_READ ? inSize : outSize;
    LPVOID word = code == IOCTL_READ ? out : in;
    DWORD wordSize = code == IOCTL_READ ? outSize : inSize;
    DWORD timeoutMs;
    if (!word || wordSize < sizeof timeoutMs || (!telegram && telegramSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(&timeoutMs, word, sizeof timeoutMs);
    return device.Read(code, static_cast<BYTE*>(telegram), telegramSize, timeoutMs, bytesReturned);
}

// The records of IOCTL_WRITE_TELEGRAMS to the driver's WriteTelegrams; a record that runs past
// the input, or an output without a word per telegram, fails the request before any write.
BOOL WriteTelegramsRequest(Device& device, const BYTE* in, DWORD inSize, DWORD* out, DWORD outSize,
                           DWORD* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    std::vector<TelegramSpan> telegrams;
    DWORD at = 0;
    while (inSize - at >= TELEGRAM_RECORD_HEADER) {
        DWORD length = in[at] | DWORD(in[at + 1]) << 8;
        if (inSize - at - TELEGRAM_RECORD_HEADER < length) break;
        telegrams.push_back({in + at + TELEGRAM_RECORD_HEADER, length});
        at += TELEGRAM_RECORD_HEADER + length;
    }
    if (at != inSize || outSize / sizeof(DWORD) < telegrams.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    BOOL ok = device.WriteTelegrams(telegrams.data(), DWORD(telegrams.size()), out, &done);
    if (bytesReturned) *bytesReturned = done * sizeof(DWORD);
    return ok;
}

}  // namespace

DescriptorDevice::~DescriptorDevice() {
    if (fd >= 0) close(fd);
    if (wakeFd >= 0) close(wakeFd);
}

void DescriptorDevice::OnHandleClosed() {
    closed = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

int DescriptorDevice::Await(short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    int r = BlockingPoll(fds, 2, timeoutMs);
    if (closed || r < 0) {
        SetLastError(closed ? ERROR_INVALID_HANDLE : ErrorOfErrno(errno, ErrnoFrom::Device));
        return -1;
    }
    return r > 0 ? 1 : 0;
}

BOOL CopyAnswer(LPVOID out, DWORD outSize, const void* data, DWORD size, DWORD* bytesReturned) {
    if (!out || outSize < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(out, data, size);
    if (bytesReturned) *bytesReturned = size;
    return TRUE;
}

BOOL Device::WriteTelegrams(const TelegramSpan* telegrams, DWORD count, DWORD* written,
                            DWORD* done) {
    for (*done = 0; *done < count; ++*done) {
        DWORD n = 0;
        if (!Write(telegrams[*done].bytes, telegrams[*done].size, &n)) return FALSE;
        written[*done] = n;
        if (n != telegrams[*done].size) {
            ++*done;
            break;
        }
    }
    return TRUE;
}

BOOL Device::IoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                       DWORD* bytesReturned) {
    switch (code) {
        case IOCTL_XLON_GETVERS: {
            DWORD version = VersionWord();
            return CopyAnswer(out, outSize, &version, sizeof version, bytesReturned);
        }
        case IOCTL_GETVERSION: {
            const char16_t* text = VersionText();
            DWORD bytes = static_cast<DWORD>((std::char_traits<char16_t>::length(text) + 1) * 2);
            return CopyAnswer(out, outSize, text, bytes, bytesReturned);
        }
        case IOCTL_LON_RESET:
            return TRUE;
        case IOCTL_WRITE_TELEGRAMS:
            return WriteTelegramsRequest(*this, static_cast<const BYTE*>(in), in ? inSize : 0,
                                         static_cast<DWORD*>(out), out ? outSize : 0,
                                         bytesReturned);
        case IOCTL_LON_NETMGMT:
            if (!in || inSize < NEURON_ID_MESSAGE_SIZE) break;
            return NeuronIdMessage(static_cast<const BYTE*>(in), inSize, static_cast<BYTE*>(out),
                                   out ? outSize : 0, bytesReturned);
        default:
            break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace win::detail

namespace win {

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<detail::Device> device = detail::OpenByName(fileName);
    if (!device) return INVALID_HANDLE_VALUE;
    HANDLE handle = detail::InsertObject(device);
    if (!handle) {
        device->OnHandleClosed();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    auto device = detail::Lookup<detail::Device>(handle);
    if (!device || overlapped) {
        SetLastError(device ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (code == IOCTL_READ || code == IOCTL_XLON_READWAIT) {
        return detail::ReadRequest(*device, code, inBuffer, inSize, outBuffer, outSize,
                                   bytesReturned);
    }
    return device->IoControl(code, inBuffer, inSize, outBuffer, outSize, bytesReturned);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes, DWORD* written, OVERLAPPED* overlapped) {
    auto device = detail::Lookup<detail::Device>(handle);
    if (!device || overlapped || (!buffer && bytes > 0)) {
        SetLastError(device ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return device->Write(buffer, bytes, written);
}

}  // namespace win

namespace win::devices {

DeviceTarget ResolveDeviceName(LPCWSTR name) {
    std::wstring wide = name != nullptr ? name : L"";
    std::string narrow = detail::NarrowUtf8(wide.c_str());
    if (!detail::IsLonName(wide)) return detail::PathOrInterface(narrow, "");
    std::string variable = "VELTRABOX_" + narrow;
    variable.pop_back();  // the colon
    const char* mapped = std::getenv(variable.c_str());
    if (mapped && *mapped) return detail::PathOrInterface(mapped, variable);
    return {DeviceKind::SIMULATED, narrow, ""};
}

bool DeviceTargetExists(const DeviceTarget& target) {
    switch (target.Kind) {
        case DeviceKind::SIMULATED:
            return true;
        case DeviceKind::SERIAL:
            return access(target.Name.c_str(), F_OK) == 0;
        case DeviceKind::NETWORK_INTERFACE:
            return detail::NetworkInterfaceExists(target.Name);
        case DeviceKind::NONE:
            break;
    }
    return false;
}

}  // namespace win::devices
