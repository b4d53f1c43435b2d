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

}  // namespace

DWORD StartLon(ServerInstance* instance) {
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
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SendPacketToLon(%X):\n", length);
    DWORD written = 0;
    if (!WayOf(instance).Write(instance, telegram, length, &written)) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"Error: Senden über LON nicht möglich: %d.\n",
                       static_cast<int>(GetLastError()));
        }
        return LON_SEND_FAILED;
    }
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SendPacketToLon(%X)=%X\n", length, written);
    return written == length ? LON_SEND_DONE : LON_SEND_INCOMPLETE;
}
