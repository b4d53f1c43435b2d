#include "lon_link/lon_link.h"

#include <cstring>

#include "diag/debug.h"
#include "lon_link/lon_way.h"

using namespace win;

namespace {

const LonWay& WayOf(const ServerInstance* instance) {
    return instance->DllName ? LON_LIBRARY_WAY : LON_DRIVER_WAY;
}

DWORD ReadLon(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length, bool wait) {
    std::memset(buffer, 0, size);
    *length = 0;
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"GetPacketFromLon(): IsQuorvelDriver=%X\n", instance->IsQuorvelDriver);
    }
    return WayOf(instance).Read(instance, buffer, size, length, wait);
}

bool FitsBurst(const DWORD* lengths, DWORD count) {
    if (count > LON_BURST_MAX) return false;
    DWORD bytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (lengths[i] > LON_BURST_BYTES - bytes) return false;
        bytes += lengths[i];
    }
    return true;
}

}  // namespace

DWORD StartLon(ServerInstance* instance) {
    instance->NeuronIdTaken = FALSE;
    return WayOf(instance).Start(instance);
}

DWORD StopLon(ServerInstance* instance) {
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"LON wird gestopt.\n");
    WayOf(instance).Stop(instance);
    return 0;
}

DWORD GetPacketFromLon(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length) {
    return ReadLon(instance, buffer, size, length, true);
}

DWORD GetHeldPacketFromLon(ServerInstance* instance, BYTE* buffer, DWORD size, DWORD* length) {
    return ReadLon(instance, buffer, size, length, false);
}

DWORD SendPacketToLon(ServerInstance* instance, const BYTE* telegram, DWORD length) {
    DWORD sent = 0;
    return SendPacketsToLon(instance, telegram, &length, 1, &sent);
}

DWORD SendPacketsToLon(ServerInstance* instance, const BYTE* telegrams, const DWORD* lengths,
                       DWORD count, DWORD* sent) {
    *sent = 0;
    if (ZoneOn(ZONE_DEFAULT)) {
        for (DWORD i = 0; i < count; ++i) DebugPrint(L"SendPacketToLon(%X):\n", lengths[i]);
    }
    DWORD written[LON_BURST_MAX];
    DWORD done = 0;
    BOOL whole = FALSE;
    DWORD error = ERROR_INVALID_PARAMETER;
    if (FitsBurst(lengths, count)) {
        whole = WayOf(instance).Write(instance, telegrams, lengths, count, written, &done);
        error = GetLastError();
    }
    for (; *sent < done; ++*sent) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"SendPacketToLon(%X)=%X\n", lengths[*sent], written[*sent]);
        }
        if (written[*sent] != lengths[*sent]) return LON_SEND_INCOMPLETE;
    }
    if (!whole) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"Error: Senden über LON nicht möglich: %d.\n", static_cast<int>(error));
        }
        return LON_SEND_FAILED;
    }
    return LON_SEND_DONE;
}
