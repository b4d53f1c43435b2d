// The TCP side of one instance below the message level: the listening socket, the one client
// connection and its options.
#pragma once

#include "platform/win.h"
#include "startup/instance.h"

// A socket field is open while it holds a value other than INVALID_SOCKET or 0 (a record not
// yet used).
bool IsOpenSocket(win::SOCKET s);
// Sets SO_REUSEADDR, SO_KEEPALIVE and TCP_NODELAY; all three are tried. True if all were set.
bool SetSocketOptions(win::SOCKET s);
// Listens on the instance's port and blocks until one client connects. Returns 0 when it has,
// 1 when no socket can be had, otherwise the Winsock number of the failed step.
win::DWORD StartTcpServer(ServerInstance* instance);
// Closes whichever of the instance's two sockets is open; safe after a partial start and
// from another thread while pump threads or StartTcpServer are blocked on them. Returns 0.
win::DWORD CloseTcp(ServerInstance* instance);
