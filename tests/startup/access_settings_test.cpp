// ListenAddress and AllowFrom from the registry: what they allow, and that every malformed
// value is reported once and keeps the instance from starting.
#include "startup/access_settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "support/scoped_registry.h"

namespace {

struct Net {
    std::string address;
    int prefix;
    bool operator==(const Net&) const = default;
};

std::string Text(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN];
    if (address.Version == 0) return "";
    return inet_ntop(address.Version == 4 ? AF_INET : AF_INET6, address.Bytes, text, sizeof text);
}

class AccessSettings : public testing::Test {
  protected:
    // Reads the settings of an instance on `port` from a registry with `values` under its key.
    bool Read(const std::string& values, int32_t port = 5000) {
        registry_.Write("[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port & 0xFFFF) +
                        "]\n" + values);
        instance_.Port = port;
        return ReadAccessSettings(&instance_);
    }

    std::vector<Net> Nets() const {
        std::vector<Net> nets;
        const ::AccessSettings& access = instance_.Access;
        for (int32_t i = 0; i < access.AllowFromCount; ++i) {
            nets.push_back({Text(access.AllowFrom[i].Address), access.AllowFrom[i].PrefixLength});
        }
        return nets;
    }

    ScopedRegistry registry_{""};
    ServerInstance instance_{};
};

TEST_F(AccessSettings, WithoutTheKeyOrItsValuesEveryAddressAndEveryClient) {
    instance_.Port = 5000;
    EXPECT_TRUE(ReadAccessSettings(&instance_));
    registry_.Write(
        "[HKEY_LOCAL_MACHINE\\Quorvel\\Port5001]\n\"ListenAddress\"=\"127.0.0.2\"\n"
        "\"AllowFrom\"=\"10.0.0.0/8\"\n");
    EXPECT_TRUE(ReadAccessSettings(&instance_)) << "another port's key";
    EXPECT_TRUE(Read("\"Other\"=dword:1\n"));
    EXPECT_EQ(instance_.Access.ListenAddress.Version, 0);
    EXPECT_EQ(instance_.Access.AllowFromCount, 0);
}

TEST_F(AccessSettings, AddressAndNetworks) {
    ASSERT_TRUE(
        Read("\"ListenAddress\"=\"127.0.0.2\"\n"
             "\"AllowFrom\"=\"127.0.0.0/8, 10.1.2.3/16 ,192.168.7.9,0.0.0.0/0\"\n",
             70000));
    EXPECT_EQ(Text(instance_.Access.ListenAddress), "127.0.0.2");
    EXPECT_EQ(Nets(),
              (std::vector<Net>{
                  {"127.0.0.0", 8}, {"10.1.0.0", 16}, {"192.168.7.9", 32}, {"0.0.0.0", 0}}));
}

TEST_F(AccessSettings, BothFamiliesInOneList) {
    ASSERT_TRUE(
        Read("\"ListenAddress\"=\" ::1 \"\n"
             "\"AllowFrom\"=\"10.0.0.0/8, fd00::/8, ::1,2001:db8::7:ff/121, 192.0.2.7, ::/0, "
             "::ffff:127.0.0.2/104, ::ffff:10.9.8.7\"\n"));
    EXPECT_EQ(instance_.Access.ListenAddress.Version, 6);
    EXPECT_EQ(Text(instance_.Access.ListenAddress), "::1");
    EXPECT_EQ(Nets(), (std::vector<Net>{{"10.0.0.0", 8},
                                        {"fd00::", 8},
                                        {"::1", 128},
                                        {"2001:db8::7:80", 121},
                                        {"192.0.2.7", 32},
                                        {"::", 0},
                                        {"127.0.0.0", 8},
                                        {"10.9.8.7", 32}}));
}

TEST_F(AccessSettings, AMalformedValueIsReportedOnceAndTheInstanceDoesNotStart) {
    const std::string tooMany = [] {
        std::string list = "10.0.0.1";
        for (int i = 2; i <= 33; ++i) list += ",10.0.0." + std::to_string(i);
        return list;
    }();
    const std::vector<std::string> bad = {
        "\"AllowFrom\"=\"10.1.0.0/33\"",
        "\"AllowFrom\"=\"300.1.1.1\"",
        "\"AllowFrom\"=\"\"",
        "\"AllowFrom\"=\"fd00::/129\"",
        "\"AllowFrom\"=\"fd00::1::2\"",
        "\"AllowFrom\"=\"10.0.0.0/8, fe80::1%eth0\"",
        "\"AllowFrom\"=\"fd00::/0008\"",
        "\"AllowFrom\"=\"10.1.0.0/\"",
        "\"AllowFrom\"=\"10.1.0.0/8x\"",
        "\"AllowFrom\"=\"10.1.0.0/-8\"",
        "\"AllowFrom\"=\"127.0.0.0/8,\"",
        "\"AllowFrom\"=\"127.0.0.1,,\"",
        "\"AllowFrom\"=\"10.1/16\"",
        "\"AllowFrom\"=\"" + tooMany + "\"",
        "\"AllowFrom\"=dword:7f000001",
        "\"ListenAddress\"=\"127.0.0.256\"",
        "\"ListenAddress\"=\"::1/128\"",
        "\"ListenAddress\"=\"[::1]\"",
        "\"ListenAddress\"=\"\"",
        "\"ListenAddress\"=\"127.0.0.1/8\"",
        "\"ListenAddress\"=hex:7f,00,00,01",
    };
    SetDebugZoneMask(ZONE_ERROR);
    for (const std::string& value : bad) {
        instance_.Access.AllowFromCount = 0;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Read(value + "\n")) << value;
        std::string log = testing::internal::GetCapturedStderr();
        std::string named = value.find("=\"") != std::string::npos
                                ? value
                                : value.substr(0, value.find('=')) + "=\"(not text)\"";
        EXPECT_NE(log.find("Error: [HKEY_LOCAL_MACHINE\\Quorvel\\Port5000] " + named),
                  std::string::npos)
            << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_EQ(instance_.Access.AllowFromCount, 0) << value;
    }
}

}  // namespace
