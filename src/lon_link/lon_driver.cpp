// The driver way: the interface is a stream device, asked for its version at open and read
// with the request its version answer selects.
#include <cstring>

#include "diag/debug.h"
#include "lon_link/lon_link.h"
#include "lon_link/lon_way.h"
#include "platform/lon_ioctl.h"
#include "platform/netif.h"

using namespace win;

namespace {

constexpr DWORD VERSION_TEXT_SIZE = 512;
constexpr DWORD READ_TIMEOUT_MS = 1000;
constexpr DWORD READWAIT_TIMEOUT_MS = 2000;

bool IsOpenHandle(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

DWORD Start(ServerInstance* instance) {
    HANDLE device = CreateFileW(instance->DevName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    instance->hLon.store(device);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        PrintSystemError(error, L"CreateFile(%s)", instance->DevName);
        return error;
    }
    // A network interface's counts add up over the instance's cycles.
    netif::CountInto(device, &instance->Status.Interface);
    DWORD version = 0;
    DWORD count = 0xFFFFFFFF;
    char16_t text[VERSION_TEXT_SIZE / 2] = {};
    BOOL r = DeviceIoControl(device, IOCTL_XLON_GETVERS, nullptr, 0, &version, sizeof version,
                             &count, nullptr);
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"DeviceIoControl(IOCTL_XLON_GETVERS)=%d Anz=%d\n", r, static_cast<int>(count));
    }
    if (r && ZoneOn(ZONE_DEFAULT)) DebugPrint(L"IOCTL_XLON_GETVERS=%04X\n", version);
    r = DeviceIoControl(device, IOCTL_GETVERSION, nullptr, 0, text, VERSION_TEXT_SIZE, &count,
                        nullptr);
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"DeviceIoControl(IOCTL_GETVERSION)=%d Anz=%d\n", r, static_cast<int>(count));
    }
    if (r && ZoneOn(ZONE_DEFAULT)) {
        WCHAR wide[VERSION_TEXT_SIZE / 2 + 1];
        Utf16ToWide(text, VERSION_TEXT_SIZE / 2, wide, VERSION_TEXT_SIZE / 2 + 1);
        DebugPrint(L"IOCTL_GETVERSION=%ls\n", wide);
    }
    instance->IsQuorvelDriver = r;
    DeviceIoControl(device, IOCTL_LON_RESET, nullptr, 0, nullptr, 0, nullptr, nullptr);
    static const BYTE noNeuronId[6] = {};
    if (std::memcmp(instance->NeuronId, noNeuronId, sizeof noNeuronId) == 0) return 0;
    BYTE message[NEURON_ID_MESSAGE_SIZE];
    BuildNeuronIdMessage(instance->NeuronId, message);
    BYTE reply[NEURON_ID_REPLY_SIZE];
    DWORD replyCount = 0;
    // The bridge hands out its copies: the link only says whether the interface took it.
    instance->NeuronIdTaken = DeviceIoControl(device, IOCTL_LON_NETMGMT, message, sizeof message,
                                              reply, sizeof reply, &replyCount, nullptr);
    return 0;
}

void Stop(ServerInstance* instance) {
    HANDLE device = instance->hLon.load();
    if (IsOpenHandle(device)) {
        CloseHandle(device);
        instance->hLon.store(INVALID_HANDLE_VALUE);
    }
}

DWORD Read(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length, bool wait) {
    HANDLE device = instance->hLon.load();
    DWORD timeout;
    if (instance->IsQuorvelDriver) {
        timeout = wait ? READ_TIMEOUT_MS : 0;
        SetLastError(0);
        if (!DeviceIoControl(device, IOCTL_READ, buffer, size, &timeout, sizeof timeout, length,
                             nullptr)) {
            DWORD error = GetLastError();
            if (ZoneOn(ZONE_DEFAULT)) {
                DebugPrint(L"Error: DeviceIoControl(IOCTL_READ)=FALSE: LastError=%d\n",
                           static_cast<int>(error));
            }
            if (error != 0) return LON_READ_FAILED;
        }
    } else {
        timeout = wait ? READWAIT_TIMEOUT_MS : 0;
        if (!DeviceIoControl(device, IOCTL_XLON_READWAIT, &timeout, sizeof timeout, buffer, size,
                             length, nullptr)) {
            DWORD error = GetLastError();
            if (ZoneOn(ZONE_DEFAULT)) {
                DebugPrint(L"Error: DeviceIoControl(IOCTL_XLON_READWAIT)=FALSE: LastError=%d\n",
                           static_cast<int>(error));
            }
            if (error != ERROR_INVALID_HANDLE) return LON_READ_FAILED;
        }
    }
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"GetPacketFromLon()=%X cBuffer[1]=%02X\n", *length, size >= 2 ? buffer[1] : 0);
    }
    if (*length >= 2) {
        *length = TelegramLength(buffer, size);
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"TelLen=%X\n", *length);
    }
    return LON_READ_DONE;
}

// A lone telegram is the device's plain write; several go in one request, which carries
// each telegram's bounds.
BOOL Write(ServerInstance* instance, const BYTE* telegrams, const DWORD* lengths, DWORD count,
           DWORD* written, DWORD* done) {
    HANDLE device = instance->hLon.load();
    if (count == 1) {
        *written = 0;
        BOOL ok = WriteFile(device, telegrams, lengths[0], written, nullptr);
        *done = ok ? 1 : 0;
        return ok;
    }
    BYTE records[LON_BURST_BYTES + LON_BURST_MAX * TELEGRAM_RECORD_HEADER];
    DWORD size = 0;
    for (DWORD i = 0, at = 0; i < count; at += lengths[i++])
        size += PutTelegramRecord(records + size, telegrams + at, lengths[i]);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IOCTL_WRITE_TELEGRAMS, records, size, written,
                              count * sizeof(DWORD), &returned, nullptr);
    *done = returned / sizeof(DWORD);
    return ok;
}

}  // namespace

const LonWay LON_DRIVER_WAY = {Start, Stop, Read, Write};
