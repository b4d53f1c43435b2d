// The two pump threads of a cycle, one per direction. Both end through ExitRegisteredThread
// with the result code that ended their loop.
#pragma once

#include "platform/win.h"

// LON interface -> client: exits with 203, 107 or 108.
win::DWORD LonToTcp(win::LPVOID instance);
// Client -> LON interface: exits with 102, 201 or 202.
win::DWORD TcpToLon(win::LPVOID instance);
