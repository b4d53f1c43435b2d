#include "tcp/server_socket.h"

#include <cstring>

#include "diag/debug.h"
#include "diag/thread_registry.h"
#include "tcp/client_access.h"

using namespace win;

namespace {

// The turn-away thread ends as soon as the client socket is closed; this bound only guards
// against an accept that found its newcomer gone.
constexpr DWORD TURN_AWAY_END_WAIT_MS = 1000;
constexpr int ACCEPT_RETRY_PAUSE_MS = 100;
constexpr DWORD ACCEPT_FAILURE_LINE_MS = 1000;
constexpr int HANG_UP_GRACE_MS = 50;
// Newcomers wait here for the next cycle, or are turned away at once while a client is
// served; a full queue would drop their connection requests silently.
constexpr int LISTEN_BACKLOG = 16;

bool SetOption(SOCKET s, int level, int name, LPCWSTR failureFormat) {
    int on = 1;
    if (win::setsockopt(s, level, name, reinterpret_cast<const char*>(&on), sizeof on) == 0) {
        return true;
    }
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(failureFormat, WSAGetLastError());
    return false;
}

DWORD StepFailed(LPCWSTR step) {
    DWORD error = GetLastError();
    PrintSystemError(error, step);
    return error;
}

}  // namespace

// Taking the value out first means no value is ever closed twice.
void CloseIfOpen(std::atomic<SOCKET>& field) {
    SOCKET s = field.exchange(INVALID_SOCKET);
    if (IsOpenSocket(s)) win::closesocket(s);
}

namespace {

// The instance's ListenAddress and `port` as a socket address; without a ListenAddress the
// IPv6 wildcard, which a dual-stack socket shares with IPv4, or the IPv4 one where `family`
// had to fall back to IPv4.
int ListenAddressOf(const IpAddress& listen, int family, int32_t port, sockaddr_storage* out) {
    *out = sockaddr_storage{};
    uint16_t netPort = win::htons(static_cast<uint16_t>(port));
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = netPort;
        if (listen.Version == 4) std::memcpy(&address.sin_addr.s_addr, listen.Bytes, 4);
        std::memcpy(out, &address, sizeof address);
        return sizeof address;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = netPort;
    if (listen.Version == 6) std::memcpy(address.sin6_addr.u.Byte, listen.Bytes, 16);
    std::memcpy(out, &address, sizeof address);
    return sizeof address;
}

}  // namespace

DWORD OpenListenSocket(const ServerInstance* instance, int32_t port, std::atomic<SOCKET>& field) {
    const IpAddress& listen = instance->Access.ListenAddress;
    int family = listen.Version == 4 ? AF_INET : AF_INET6;
    SOCKET listenSocket = win::socket(family, SOCK_STREAM, 0);
    if (listenSocket == INVALID_SOCKET && listen.Version == 0 &&
        WSAGetLastError() == WSAEAFNOSUPPORT) {
        if (ZoneOn(ZONE_INIT)) {
            DebugPrint(L"IPv6 is switched off in this kernel: port %d listens on IPv4 only\n",
                       port & 0xFFFF);
        }
        family = AF_INET;
        listenSocket = win::socket(family, SOCK_STREAM, 0);
    }
    field.store(listenSocket);
    if (listenSocket == INVALID_SOCKET) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"Error: Fehler beim erstellen des Socket -> ErrorNr: %d\n",
                       WSAGetLastError());
        }
        return 1;
    }
    sockaddr_storage address;
    int length = ListenAddressOf(listen, family, port, &address);
    DWORD r = 0;
    if (win::bind(listenSocket, reinterpret_cast<const sockaddr*>(&address), length) ==
        SOCKET_ERROR) {
        r = StepFailed(L"bind()");
    } else if (win::listen(listenSocket, LISTEN_BACKLOG) == SOCKET_ERROR) {
        r = StepFailed(L"listen()");
    }
    if (r != 0) CloseIfOpen(field);
    return r;
}

namespace {

// Runs while one client is served: every newcomer is accepted and closed at once, so that it
// is never left waiting silent in the queue. Ends when the served connection ends (the client
// hung up, or CloseTcp closed it); from then on newcomers wait in the queue for the next cycle.
DWORD TurnAwayNewcomers(LPVOID parameter) {
    auto* instance = static_cast<ServerInstance*>(parameter);
    WCHAR name[260];
    wsprintfW(name, L"TurnAway(%d)", instance->Port);
    SetThreadDebugName(name);
    RegisterQuorThread(name);
    SOCKET listenSocket = instance->ListenSocket.load();
    WSAPOLLFD watched[2] = {{instance->ClientSocket.load(), 0, 0}, {listenSocket, POLLRDNORM, 0}};
    AcceptFailures failures{};
    // A client that hangs up and connects again at once is the next cycle's client, not a
    // second one; its hang-up may reach us just after its new connection (another CPU took
    // it), so the served connection gets a moment to show its end first.
    while (win::WSAPoll(watched, 2, -1) != SOCKET_ERROR && watched[0].revents == 0 &&
           watched[1].revents == POLLRDNORM && win::WSAPoll(watched, 1, HANG_UP_GRACE_MS) == 0) {
        sockaddr_storage peer{};
        int peerLength = sizeof peer;
        SOCKET newcomer =
            win::accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (newcomer != INVALID_SOCKET) {
            PeerAddress from = PeerOf(peer);
            if (!RefuseDisallowedClient(instance, newcomer, from, REFUSED_CLIENT)) {
                win::closesocket(newcomer);
                if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Weiterer Client abgewiesen.\n");
                CountRefused(instance->Status, REFUSED_BUSY, from);
            }
            continue;
        }
        // Out of descriptors, say: pause, but still end with the served connection.
        PauseAfterFailedAccept(&failures, watched);
    }
    ExitRegisteredThread(0);
}

}  // namespace

void PauseAfterFailedAccept(AcceptFailures* failures, WSAPOLLFD* wake) {
    DWORD error = GetLastError();
    DWORD now = GetTickCount();
    if (failures->Told && now - failures->LastTold < ACCEPT_FAILURE_LINE_MS) {
        ++failures->Untold;
    } else {
        if (failures->Untold == 0) {
            PrintSystemError(error, L"accept()");
        } else {
            PrintSystemError(error, L"accept() (and %u more failed)", failures->Untold);
        }
        *failures = {true, now, 0};
    }
    win::WSAPoll(wake, 1, ACCEPT_RETRY_PAUSE_MS);
}

bool IsOpenSocket(SOCKET s) {
    return s != INVALID_SOCKET && s != 0;
}

bool SetSocketOptions(SOCKET s) {
    bool reuse = SetOption(s, SOL_SOCKET, SO_REUSEADDR, L"setsockopt(SO_REUSEADDR)=%d");
    bool keepAlive = SetOption(s, SOL_SOCKET, SO_KEEPALIVE, L"setsockopt(SO_KEEPALIVE)=%d");
    bool noDelay = SetOption(s, IPPROTO_TCP, TCP_NODELAY, L"setsockopt(TCP_NODELAY)=%d");
    return reuse && keepAlive && noDelay;
}

DWORD StartTcpServer(ServerInstance* instance) {
    if (!IsOpenSocket(instance->ListenSocket.load())) {
        DWORD r = OpenListenSocket(instance, instance->Port, instance->ListenSocket);
        if (r != 0) return r;
    }
    ReportListening(instance->Status);
    // A client outside AllowFrom is closed unread, and the wait goes on.
    SOCKET client;
    PeerAddress from;
    do {
        sockaddr_storage peer{};
        int peerLength = sizeof peer;
        client = win::accept(instance->ListenSocket.load(), reinterpret_cast<sockaddr*>(&peer),
                             &peerLength);
        if (client == INVALID_SOCKET) return StepFailed(L"accept()");
        from = PeerOf(peer);
    } while (RefuseDisallowedClient(instance, client, from, REFUSED_CLIENT));
    instance->ClientSocket.store(client);
    SetSocketOptions(client);
    ReportClient(instance->Status, from);
    DWORD threadId;
    instance->hTurnAway.store(CreateThread(nullptr, 0, TurnAwayNewcomers, instance, 0, &threadId));
    if (instance->hTurnAway.load() == nullptr && ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"CreateThread(TurnAway)=%d\n", static_cast<int>(GetLastError()));
    }
    return 0;
}

DWORD CloseTcp(ServerInstance* instance) {
    // Closing the client also ends the turn-away thread's watch.
    CloseIfOpen(instance->ClientSocket);
    HANDLE turnAway = instance->hTurnAway.exchange(nullptr);
    if (turnAway != nullptr) {
        if (WaitForSingleObject(turnAway, TURN_AWAY_END_WAIT_MS) == WAIT_TIMEOUT) {
            TerminateThread(turnAway, 0);
        }
        CloseHandle(turnAway);
    }
    return 0;
}

DWORD CloseListenSocket(ServerInstance* instance) {
    CloseIfOpen(instance->ListenSocket);
    return 0;
}
