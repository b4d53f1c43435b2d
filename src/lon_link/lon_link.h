// The LON side of one instance: opening and closing its interface (stream driver or LDV
// library) and reading and writing telegrams. A telegram is byte 1 + 2 bytes long.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

constexpr win::DWORD LON_SEND_FAILED = 201;
constexpr win::DWORD LON_SEND_INCOMPLETE = 202;
constexpr win::DWORD LON_READ_FAILED = 203;
constexpr win::DWORD LON_SEND_DONE = 204;
constexpr win::DWORD LON_READ_DONE = 205;
// The most telegrams, and their most bytes, that one SendPacketsToLon takes.
constexpr win::DWORD LON_BURST_MAX = 64;
constexpr win::DWORD LON_BURST_BYTES = 1024;

// 0 when open; 1 when the LDV library lacks an entry point; otherwise the platform error of
// LoadLibraryW or CreateFileW, or the LDV library's error when its open failed
// (ERROR_TIMEOUT when the open has not returned in time, ERROR_SHARING_VIOLATION while an
// earlier open or close is still inside the library).
win::DWORD StartLon(ServerInstance* instance);
// Closes whatever is open; once it returns no pump thread uses the library or its event.
// Always 0.
win::DWORD StopLon(ServerInstance* instance);
// Waits a bounded time for one telegram: 205 (length 0 when none came) or 203.
win::DWORD GetPacketFromLon(ServerInstance* instance, win::BYTE* buffer, win::DWORD size,
                            win::DWORD* length);
// Never waits: a telegram that the interface already holds, because the read before brought
// several. 205 (length 0 when it holds none) or 203.
win::DWORD GetHeldPacketFromLon(ServerInstance* instance, win::BYTE* buffer, win::DWORD size,
                                win::DWORD* length);
// Writes one telegram: 204, 202 (another count written) or 201 (the write failed).
win::DWORD SendPacketToLon(ServerInstance* instance, const win::BYTE* telegram, win::DWORD length);
// Writes `count` telegrams (back to back in `telegrams`, `lengths` their sizes) in order, with
// one request where the interface takes several: 204, or the result of the first one that
// was not written whole (202 or 201). *sent counts those written before it.
win::DWORD SendPacketsToLon(ServerInstance* instance, const win::BYTE* telegrams,
                            const win::DWORD* lengths, win::DWORD count, win::DWORD* sent);
