// The simulated LON interface ("LONn:" without a mapping, see devices.cpp): every open of a
// name is one node on the simulated channel of that name, and a telegram written by one node
// reaches every other open node of the channel. This header lets tests steer a channel (fail
// requests, hang them, shorten writes, inject telegrams, see what was asked).
#pragma once

#include <vector>

#include "platform/win.h"

namespace win::simlon {

// Request codes besides the control codes: the open (CreateFileW) and WriteFile, and the close
// (CloseHandle), which only HangRequests knows.
constexpr DWORD REQUEST_CLOSE = 0xFFFFFFFD;
constexpr DWORD REQUEST_OPEN = 0xFFFFFFFE;
constexpr DWORD REQUEST_WRITE = 0xFFFFFFFF;

struct Request {
    DWORD code;
    std::vector<BYTE> input;  // the control request's input, or the bytes written
};

// The next `times` requests of `code` on the channel fail with `lastError` (which may be 0);
// a negative count fails them until the channel is reset.
void FailRequest(LPCWSTR channel, DWORD code, DWORD lastError, int times);
// Writes on the channel report `bytes` fewer bytes written than asked (never below 0), and
// such a cut telegram reaches nobody.
void ShortenWrites(LPCWSTR channel, DWORD bytes);
// While set, requests of `code` on the channel (opens, writes or closes) block, whatever
// happens to their handle (a hung driver); only ending their thread or clearing this ends them.
void HangRequests(LPCWSTR channel, DWORD code, bool hang);
// Every open node of the channel receives `bytes` as one delivery, as from another node.
void InjectTelegram(LPCWSTR channel, const BYTE* bytes, DWORD size);
// Requests made on the channel since its last reset, oldest first; reads are not recorded.
std::vector<Request> Requests(LPCWSTR channel);
// Forgets faults, the write cut and the recorded requests of the channel.
void ResetChannel(LPCWSTR channel);
// Number of nodes of the channel whose handles are open.
size_t OpenNodes(LPCWSTR channel);

// Number of telegrams waiting at the simulated device.
DWORD PendingTelegrams(HANDLE device);

}  // namespace win::simlon
