// Debug lines: zones, thread prefixes and system error texts.
#pragma once

#include "platform/win.h"

constexpr win::DWORD ZONE_DEFAULT = 0x0001;
constexpr win::DWORD ZONE_INIT = win::DBG_ZONE_INIT;
constexpr win::DWORD ZONE_THREAD = 0x0004;
constexpr win::DWORD ZONE_EXTRA = 0x0008;
constexpr win::DWORD ZONE_ERROR = win::DBG_ZONE_ERROR;
constexpr win::DWORD ZONE_SOCK = 0x0020;
constexpr win::DWORD ZONE_PIPE = 0x0040;
constexpr win::DWORD ZONE_DUMP1 = 0x0100;
constexpr win::DWORD ZONE_DUMP2 = 0x0200;
constexpr win::DWORD ZONE_DUMP3 = 0x0400;

constexpr win::DWORD STYLE_CONSOLE_ECHO = 0x08;
constexpr win::DWORD STYLE_NAME_PREFIX = 0x10;

// Without the registry values.
constexpr win::DWORD DEFAULT_ZONE_MASK = ZONE_ERROR;
constexpr win::DWORD DEFAULT_STYLE = STYLE_NAME_PREFIX | 0x02;

extern win::DBGPARAM DebugZoneSettings;
// Both read and written with atomic loads and stores: a reload changes them while threads print.
extern win::DWORD DebugStyle;

// The zone of the line the calling thread is about to print: a passed zone test notes it, and
// DebugPrint takes it, so that error-zone lines reach the journal as errors.
extern thread_local win::DWORD PendingLineZone;

// The zone test every caller makes before DebugPrint; the mask is read afresh each time.
inline bool ZoneOn(win::DWORD zone) {
    bool on = (__atomic_load_n(&DebugZoneSettings.ulZoneMask, __ATOMIC_RELAXED) & zone) != 0;
    if (on) PendingLineZone = zone;
    return on;
}
// Lines that tell what the server does (each instance at the start, a client turned away):
// shown with the error zone, which is on by default, and in the journal as information.
inline bool NoticeOn() {
    return ZoneOn(ZONE_ERROR);
}
// For tests and tools that change the mask while threads run.
inline void SetDebugZoneMask(win::DWORD mask) {
    __atomic_store_n(&DebugZoneSettings.ulZoneMask, mask, __ATOMIC_RELAXED);
}

void InitDebugOutput(win::HMODULE module, win::LPCWSTR name);
// The zone mask and style of the key DebugZones under `root` (HKEY_LOCAL_MACHINE, or a snapshot
// of it); a missing value leaves *mask or *style as it is. False, after one error line that names
// the value and ends with `consequence`, when a value is there but is no dword.
bool ReadDebugSettings(win::HKEY root, win::DWORD* mask, win::DWORD* style,
                       win::LPCWSTR consequence);
// Takes effect at once on every thread: the zone mask, and the style (the time stamps with it).
void SetDebugSettings(win::DWORD mask, win::DWORD style);
void DebugPrint(win::LPCWSTR format, ...);
// A line that NoticeOn() let through.
void DebugNotice(win::LPCWSTR format, ...);
void SetThreadDebugName(win::LPCWSTR name);
void ClearThreadDebugName();
void PrintSystemError(win::DWORD code, win::LPCWSTR format, ...);
