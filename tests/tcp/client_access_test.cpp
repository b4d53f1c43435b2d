// AllowFrom at accept: which client addresses an instance serves, of both families.
#include "tcp/client_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

IpAddress Address(const std::string& text) {
    std::wstring wide(text.begin(), text.end());
    IpAddress address{};
    if (win::InetPtonW(win::AF_INET, wide.c_str(), address.Bytes) == 1) {
        address.Version = 4;
    } else if (win::InetPtonW(win::AF_INET6, wide.c_str(), address.Bytes) == 1) {
        address.Version = 6;
    }
    return address;
}

AllowedNet Net(const std::string& address, int32_t prefixLength) {
    return {Address(address), prefixLength};
}

TEST(ClientAccess, AClientIsServedWhenOneNetworkOfItsFamilyHoldsItsAddress) {
    ServerInstance instance{};
    EXPECT_TRUE(IsAllowedClient(&instance, Address("192.0.2.7"))) << "no AllowFrom: everyone";
    EXPECT_TRUE(IsAllowedClient(&instance, Address("2001:db8::7"))) << "no AllowFrom: everyone";

    const AllowedNet nets[] = {Net("10.1.0.0", 16), Net("127.0.0.2", 32),
                               Net("10.2.0.0", 15), Net("fd00::", 8),
                               Net("::1", 128),     Net("2001:db8::7:80", 121)};
    std::memcpy(instance.Access.AllowFrom, nets, sizeof nets);
    instance.Access.AllowFromCount = 6;
    for (const char* served : {"10.1.0.0", "10.1.255.255", "127.0.0.2", "10.3.1.1", "fd12::1",
                               "::1", "2001:db8::7:80", "2001:db8::7:ff"}) {
        EXPECT_TRUE(IsAllowedClient(&instance, Address(served))) << served;
    }
    for (const char* refused :
         {"10.4.0.1", "11.1.0.1", "127.0.0.1", "127.0.0.3", "0.0.0.0", "fe00::1", "::2",
          "2001:db8::7:7f", "2001:db8::8:80", "::ffff:10.1.0.1", "::a01:1"}) {
        EXPECT_FALSE(IsAllowedClient(&instance, Address(refused))) << refused;
    }

    instance.Access.AllowFrom[0] = Net("0.0.0.0", 0);
    instance.Access.AllowFromCount = 1;
    EXPECT_TRUE(IsAllowedClient(&instance, Address("203.0.113.9"))) << "0.0.0.0/0";
    EXPECT_FALSE(IsAllowedClient(&instance, Address("2001:db8::9"))) << "0.0.0.0/0 is IPv4 only";
}

// A dual-stack socket reports an IPv4 client as ::ffff:a.b.c.d; it is matched and shown as the
// IPv4 client it is.
TEST(ClientAccess, AnIpv4MappedPeerIsTakenAsIpv4) {
    win::sockaddr_in6 mapped{};
    mapped.sin6_family = win::AF_INET6;
    mapped.sin6_port = win::htons(5000);
    std::memcpy(mapped.sin6_addr.u.Byte, Address("::ffff:192.0.2.7").Bytes, 16);
    win::sockaddr_storage peer{};
    std::memcpy(&peer, &mapped, sizeof mapped);
    EXPECT_EQ(PeerText(PeerOf(peer)), "192.0.2.7:5000");

    std::memcpy(mapped.sin6_addr.u.Byte, Address("2001:db8::7").Bytes, 16);
    std::memcpy(&peer, &mapped, sizeof mapped);
    EXPECT_EQ(PeerText(PeerOf(peer)), "[2001:db8::7]:5000");

    win::sockaddr_in plain{};
    plain.sin_family = win::AF_INET;
    plain.sin_port = win::htons(40312);
    std::memcpy(&plain.sin_addr.s_addr, Address("10.0.0.7").Bytes, 4);
    peer = {};
    std::memcpy(&peer, &plain, sizeof plain);
    EXPECT_EQ(PeerText(PeerOf(peer)), "10.0.0.7:40312");

    ServerInstance instance{};
    instance.Access.AllowFrom[0] = Net("192.0.2.0", 24);
    instance.Access.AllowFromCount = 1;
    std::memcpy(mapped.sin6_addr.u.Byte, Address("::ffff:192.0.2.7").Bytes, 16);
    std::memcpy(&peer, &mapped, sizeof mapped);
    EXPECT_TRUE(IsAllowedClient(&instance, PeerOf(peer).Address));
}

}  // namespace
