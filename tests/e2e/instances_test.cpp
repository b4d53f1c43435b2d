// Several instances of the real server: a port that is taken ends the instance that comes
// second with 10048 (address in use); the other goes on serving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "flow.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char PROGRAM_ENDED[] = "Programm normal beendet";

TEST(Instances, ASecondProcessOnATakenPortEndsWithAddressInUse) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort();
    ServerProcess first({"-p", std::to_string(port), "-d", lon.Path()});
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(first.WaitForLine(STARTED)) << first.Tail();

    ServerProcess second({"-p", std::to_string(port)});
    EXPECT_EQ(second.WaitForExit(), 0) << second.Tail();
    EXPECT_EQ(second.CountLines(ADDRESS_IN_USE), 1u) << second.Tail();
    EXPECT_GE(second.CountLines("10048"), 1u) << second.Tail();
    EXPECT_EQ(second.CountLines(PROGRAM_ENDED), 1u) << second.Tail();

    ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, 1)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 1)) << first.Tail();
    EXPECT_EQ(first.CountLines(ADDRESS_IN_USE), 0u);
}

// Both instances of one process on one port: whichever binds second ends. If that is the
// first instance, the process ends with it (status 0) right after saying so; otherwise the
// port is still served.
TEST(Instances, TwoInstancesOfOneProcessOnOnePortEndOneOfThem) {
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-i", "-p", std::to_string(port)});
    ASSERT_TRUE(server.WaitForLine(ADDRESS_IN_USE)) << server.Tail();
    TestClient client;
    const Clock::time_point deadline = Clock::now() + WAIT;
    while (server.Running() && !client.Connect(port, 0ms) && Clock::now() < deadline) {
        usleep(10000);
    }
    bool served = client.Connected() && server.WaitForLine(STARTED);
    if (server.CountLines(PROGRAM_ENDED) > 0 || !server.Running()) {
        EXPECT_EQ(server.WaitForExit(), 0) << server.Tail();
        EXPECT_EQ(server.CountLines(PROGRAM_ENDED), 1u) << server.Tail();
    } else {
        EXPECT_TRUE(served) << server.Tail();
    }
    EXPECT_EQ(server.CountLines(ADDRESS_IN_USE), 1u) << server.Tail();
}

// At the default zones the start says, per instance, what it serves and how, and names an
// interface that is not there (once, without opening it); a client turned away because another
// is served is told too.
TEST(Instances, TheStartSaysWhatEachInstanceServesAndTurnedAwayClientsAreTold) {
    const int served = FreePort();
    const int absent = FreePort();
    const int monitors = FreePort();
    char monitorHex[16];
    std::snprintf(monitorHex, sizeof monitorHex, "%08x", monitors);
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(served) +
        "]\n\"AllowFrom\"=\"127.0.0.0/8, fd00::/8\"\n\"MonitorPort\"=dword:" + monitorHex + "\n";
    ServerProcess server(
        {"-p", std::to_string(served), "-i", "-p", std::to_string(absent), "-d", "LON9:"},
        {"VELTRABOX_LON9=vbabsent9"}, 0x10, key);
    const std::string servedLine = "port " + std::to_string(served) +
                                   ": interface LON1: = simulated channel LON1:; AllowFrom "
                                   "127.0.0.0/8, fd00::/8; monitors on port " +
                                   std::to_string(monitors) + " (at most 4); not on MQTT";
    const std::string absentLine = "port " + std::to_string(absent) +
                                   ": interface LON9: = network interface vbabsent9 (from "
                                   "VELTRABOX_LON9); AllowFrom every client; no monitor port";
    ASSERT_TRUE(server.WaitForLine(servedLine)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(absentLine)) << server.Tail();
    const std::string missing =
        "Error: port " + std::to_string(absent) +
        ": network interface vbabsent9 (from VELTRABOX_LON9) does not exist";
    ASSERT_TRUE(server.WaitForLine(missing)) << server.Tail();
    EXPECT_EQ(server.CountLines("cannot open the network interface"), 0u) << server.Tail();

    TestClient first;
    ASSERT_TRUE(first.Connect(served));
    ASSERT_TRUE(first.SendAlive());
    TestClient second;
    ASSERT_TRUE(second.Connect(served));
    EXPECT_TRUE(second.WaitEndOfStream()) << server.Tail();
    EXPECT_TRUE(server.WaitForLine(" turned away: port " + std::to_string(served) +
                                   " serves another client"))
        << server.Tail();
    EXPECT_EQ(server.CountLines(missing), 1u) << server.Tail();
}

}  // namespace
}  // namespace e2e
