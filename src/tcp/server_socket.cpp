#include "tcp/server_socket.h"

#include <cstring>

#include "diag/debug.h"

using namespace win;

namespace {

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

// Taking the value out first means no value is ever closed twice.
void CloseIfOpen(std::atomic<SOCKET>& field) {
    SOCKET s = field.exchange(INVALID_SOCKET);
    if (IsOpenSocket(s)) win::closesocket(s);
}

}  // namespace

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
    SOCKET listenSocket = win::socket(AF_INET, SOCK_STREAM, 0);
    instance->ListenSocket.store(listenSocket);
    if (listenSocket == INVALID_SOCKET) {
        if (ZoneOn(ZONE_DEFAULT)) {
            DebugPrint(L"Error: Fehler beim erstellen des Socket -> ErrorNr: %d\n",
                       WSAGetLastError());
        }
        return 1;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = win::htons(static_cast<uint16_t>(instance->Port));
    address.sin_addr.s_addr = INADDR_ANY;
    if (win::bind(listenSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        SOCKET_ERROR) {
        return StepFailed(L"bind()");
    }
    if (win::listen(listenSocket, 1) == SOCKET_ERROR) return StepFailed(L"listen()");
    ReportListening(instance->Status);

    sockaddr peer{};
    int peerLength = sizeof peer;
    SOCKET client = win::accept(listenSocket, &peer, &peerLength);
    if (client == INVALID_SOCKET) return StepFailed(L"accept()");
    instance->ClientSocket.store(client);
    SetSocketOptions(client);
    sockaddr_in from{};
    std::memcpy(&from, &peer, sizeof from);
    ReportClient(instance->Status, from.sin_addr.s_addr, from.sin_port);
    return 0;
}

DWORD CloseTcp(ServerInstance* instance) {
    CloseIfOpen(instance->ClientSocket);
    CloseIfOpen(instance->ListenSocket);
    return 0;
}
