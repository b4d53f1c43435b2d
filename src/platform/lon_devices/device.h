// Inside the platform layer: the stream-driver interface behind CreateFileW, DeviceIoControl
// and WriteFile. Each backend in this folder implements it; devices.cpp picks one by name.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "../private.h"
#include "handles.h"
#include "platform/lon_ioctl.h"

namespace win::detail {

// One telegram of a write request.
struct TelegramSpan {
    const BYTE* bytes;
    DWORD size;
};

// One open LON interface. Calls return FALSE after setting the thread's last error. A read and
// a write may run at once on two threads; OnHandleClosed (from the handle table) must make a
// blocked call return promptly and every later call fail with ERROR_INVALID_HANDLE.
struct Device : Object {
    // Dispatches the control codes other than the reads to the operations that follow; a
    // driver that watches requests overrides it and passes on here.
    virtual BOOL IoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                           DWORD* bytesReturned);
    virtual BOOL Write(LPCVOID buffer, DWORD bytes, DWORD* written) = 0;
    // The telegrams in order (IOCTL_WRITE_TELEGRAMS): written[i] the bytes written of each, for
    // the first *done. FALSE at the first that fails; stops after one written short. Here one
    // Write each; a driver that can hand the system several at once overrides it.
    virtual BOOL WriteTelegrams(const TelegramSpan* telegrams, DWORD count, DWORD* written,
                                DWORD* done);
    // One telegram within `timeoutMs`, cut to `size`; success with count 0 on a time-out.
    // With a time-out of 0, only a telegram that the driver already holds (from a read that
    // brought several), without a call to the system: how a pump gathers a burst.
    // `request` is the read request that asks (IOCTL_READ or IOCTL_XLON_READWAIT), straight
    // from DeviceIoControl: a telegram's read is one call into its driver.
    virtual BOOL Read(DWORD request, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) = 0;
    // The 28-byte network-management message that writes the interface's neuron ID.
    virtual BOOL NeuronIdMessage(const BYTE* message, DWORD size, BYTE* reply, DWORD replySize,
                                 DWORD* count) = 0;
    virtual DWORD VersionWord() const = 0;
    virtual const char16_t* VersionText() const = 0;
};

// A device on a descriptor (a tty, a packet socket). Every wait polls it together with the
// device's own wake descriptor, which closing the handle signals, so that the close (or
// terminating the thread) ends the wait.
struct DescriptorDevice : Device {
    int fd = -1;
    int wakeFd = -1;  // an eventfd
    std::atomic<bool> closed{false};

    ~DescriptorDevice() override;
    void OnHandleClosed() override;
    // Waits for `events` on the descriptor or for the close. Returns 1 when the descriptor is
    // ready, 0 on time-out, -1 with the last error set on failure or close.
    int Await(short events, int timeoutMs);
};

// Copies an answer into a request's output buffer (ERROR_INSUFFICIENT_BUFFER when it is short).
BOOL CopyAnswer(LPVOID out, DWORD outSize, const void* data, DWORD size, DWORD* bytesReturned);

// Each returns the open device, or null with the thread's last error set.
std::shared_ptr<Device> OpenSimulatedDevice(const std::wstring& name);
std::shared_ptr<Device> OpenSerialDevice(const std::string& path);
std::shared_ptr<Device> OpenNetworkInterface(const std::string& name);
// Whether the kernel knows a network interface of this name now.
bool NetworkInterfaceExists(const std::string& name);

// One line "module/device: text" when `zone` (DBG_ZONE_ERROR for what no call returns, such
// as a dropped frame; DBG_ZONE_INIT for what an open obtained) is on in the zone mask that the
// program registered with RegisterDbgZones (none before it has).
void DeviceLog(DWORD zone, const char* device, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace win::detail
