// The supervisor of one server instance: opens both sides, runs the two pump threads, keeps
// the client connection alive, and rebuilds everything after any failure.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

constexpr win::DWORD EV_LON_TO_TCP = 0;
constexpr win::DWORD EV_TCP_TO_LON = 1;

// Opens the TCP side (waiting for one client), then the LON side. 0, or the failed step's code.
win::DWORD StartServer(ServerInstance* instance);
// Closes both sides, whatever is open. Always 0.
win::DWORD StopServer(ServerInstance* instance);
// Thread entry: the supervisor. Returns only when the port is in use (WSAEADDRINUSE), or with
// 0 once the server is ending (SIGTERM).
win::DWORD MainLoop(win::LPVOID instance);
