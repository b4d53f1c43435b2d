// AllowFrom at accept: which client addresses an instance serves.
#include "tcp/client_access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

uint32_t Address(const std::string& text) {
    in_addr address{};
    inet_pton(AF_INET, text.c_str(), &address);
    return address.s_addr;
}

TEST(ClientAccess, AClientIsServedWhenOneNetworkHoldsItsAddress) {
    ServerInstance instance{};
    EXPECT_TRUE(IsAllowedClient(&instance, Address("192.0.2.7"))) << "no AllowFrom: everyone";

    instance.AllowFrom[0] = {Address("10.1.0.0"), Address("255.255.0.0")};
    instance.AllowFrom[1] = {Address("127.0.0.2"), Address("255.255.255.255")};
    instance.AllowFromCount = 2;
    for (const char* served : {"10.1.0.0", "10.1.255.255", "127.0.0.2"}) {
        EXPECT_TRUE(IsAllowedClient(&instance, Address(served))) << served;
    }
    for (const char* refused : {"10.2.0.1", "11.1.0.1", "127.0.0.1", "127.0.0.3", "0.0.0.0"}) {
        EXPECT_FALSE(IsAllowedClient(&instance, Address(refused))) << refused;
    }

    instance.AllowFrom[0] = {0, 0};
    instance.AllowFromCount = 1;
    EXPECT_TRUE(IsAllowedClient(&instance, Address("203.0.113.9"))) << "0.0.0.0/0";
}

}  // namespace
