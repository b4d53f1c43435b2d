// The TCP side of one instance below the message level: the listening socket, the one client
// connection and its options.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

// A socket field is open while it holds a value other than INVALID_SOCKET or 0 (a record not
// yet used).
bool IsOpenSocket(win::SOCKET s);
// Closes the socket that `field` holds, if open, and leaves INVALID_SOCKET there; a value is
// never closed twice, whichever threads race to close it.
void CloseIfOpen(std::atomic<win::SOCKET>& field);
// Binds `port` (low 16 bits) on the instance's ListenAddress and listens, storing the socket in
// `field`. Without a ListenAddress one dual-stack socket takes both families, or IPv4 alone
// where the kernel has IPv6 switched off (a line under the init zone says so). 0, 1 when no socket
// can be had, otherwise the Winsock number of the failed step; a socket that failed is closed
// again.
win::DWORD OpenListenSocket(const ServerInstance* instance, int32_t port,
                            std::atomic<win::SOCKET>& field);
// Accepts on one listening socket that keep failing (out of descriptors, say): the first is told
// at once, the rest at most once a second, with the count of those between.
struct AcceptFailures {
    bool Told;
    win::DWORD LastTold;  // GetTickCount
    uint32_t Untold;
};
// After a failed accept: tells of it as `failures` allows, then pauses before the next try. An
// event on `wake` (the caller's end) cuts the pause short.
void PauseAfterFailedAccept(AcceptFailures* failures, win::WSAPOLLFD* wake);
// Sets SO_REUSEADDR, SO_KEEPALIVE and TCP_NODELAY; all three are tried. True if all were set.
bool SetSocketOptions(win::SOCKET s);
// Blocks until one client connects on the instance's port, and turns away every further
// client while this one is served. The listening socket is made at the first call and then
// kept for the instance's life, so the port stays held between cycles. Returns 0 when a client
// is connected, 1 when no socket can be had, otherwise the Winsock number of the failed step.
win::DWORD StartTcpServer(ServerInstance* instance);
// Closes the client connection of the cycle, if open, and ends its turn-away thread; safe
// after a partial start and from another thread while pump threads are blocked on the
// connection. The listening socket stays. Returns 0.
win::DWORD CloseTcp(ServerInstance* instance);
// Closes the listening socket (the end of the instance); wakes a StartTcpServer blocked in
// accept, which returns 10004. Returns 0.
win::DWORD CloseListenSocket(ServerInstance* instance);
