#include "tcp/client_access.h"

#include <cstring>

using namespace win;

namespace {

// ::ffff:0:0/96
constexpr BYTE IPV4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool InNet(const AllowedNet& net, const IpAddress& address) {
    if (net.Address.Version != address.Version) return false;
    int32_t whole = net.PrefixLength / 8;
    int32_t rest = net.PrefixLength % 8;
    if (std::memcmp(net.Address.Bytes, address.Bytes, static_cast<size_t>(whole)) != 0) {
        return false;
    }
    auto mask = static_cast<BYTE>(0xFF00u >> rest);
    return rest == 0 || (address.Bytes[whole] & mask) == net.Address.Bytes[whole];
}

}  // namespace

PeerAddress PeerOf(const sockaddr_storage& peer) {
    PeerAddress out{};
    if (peer.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &peer, sizeof in);
        out.Address.Version = 4;
        std::memcpy(out.Address.Bytes, &in.sin_addr.s_addr, 4);
        out.Port = win::ntohs(in.sin_port);
    } else if (peer.ss_family == AF_INET6) {
        sockaddr_in6 in;
        std::memcpy(&in, &peer, sizeof in);
        out.Address.Version = 6;
        std::memcpy(out.Address.Bytes, in.sin6_addr.u.Byte, 16);
        UnmapIpv4(&out.Address);
        out.Port = win::ntohs(in.sin6_port);
    }
    return out;
}

bool UnmapIpv4(IpAddress* address) {
    if (address->Version != 6 ||
        std::memcmp(address->Bytes, IPV4_MAPPED_PREFIX, sizeof IPV4_MAPPED_PREFIX) != 0) {
        return false;
    }
    IpAddress ipv4{4, {}};
    std::memcpy(ipv4.Bytes, address->Bytes + sizeof IPV4_MAPPED_PREFIX, 4);
    *address = ipv4;
    return true;
}

bool IsAllowedClient(ServerInstance* instance, const IpAddress& address) {
    std::lock_guard<std::mutex> lock(instance->AccessLock);
    return IsAllowedBy(instance->Access, address);
}

bool IsAllowedBy(const AccessSettings& access, const IpAddress& address) {
    if (access.AllowFromCount == 0) return true;
    for (int32_t i = 0; i < access.AllowFromCount; ++i) {
        if (InNet(access.AllowFrom[i], address)) return true;
    }
    return false;
}

bool RefuseDisallowedClient(ServerInstance* instance, SOCKET client, const PeerAddress& peer,
                            RefusalKind kind) {
    if (IsAllowedClient(instance, peer.Address)) return false;
    // Counted before the close, so that the status shows it once the client sees its end.
    CountRefused(instance->Status, kind, peer);
    // Unread bytes in its queue make the close a reset: a flood is dropped, not read.
    win::closesocket(client);
    return true;
}
