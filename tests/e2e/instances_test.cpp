// Several instances of the real server: a port that is taken ends the instance that comes
// second with 10048 (address in use); the other goes on serving.
#include <gtest/gtest.h>
#include <unistd.h>

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

}  // namespace
}  // namespace e2e
