#include "tcp/client_access.h"

#include <cstring>

using namespace win;

bool IsAllowedClient(const ServerInstance* instance, uint32_t address) {
    if (instance->AllowFromCount == 0) return true;
    for (int32_t i = 0; i < instance->AllowFromCount; ++i) {
        const AllowedNet& net = instance->AllowFrom[i];
        if ((address & net.Mask) == net.Address) return true;
    }
    return false;
}

bool RefuseDisallowedClient(ServerInstance* instance, SOCKET client, const sockaddr* peer) {
    sockaddr_in in;
    std::memcpy(&in, peer, sizeof in);
    if (IsAllowedClient(instance, in.sin_addr.s_addr)) return false;
    // Unread bytes in its queue make the close a reset: a flood is dropped, not read.
    win::closesocket(client);
    CountRefused(instance->Status, in.sin_addr.s_addr, in.sin_port);
    return true;
}
