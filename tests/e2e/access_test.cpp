// Who may reach an instance of the real server: ListenAddress and AllowFrom from the registry.
// Only loopback addresses: clients connect from 127.0.0.1 or 127.0.0.2.
#include <gtest/gtest.h>

#include "flow.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char NOT_VALID[] = "is not valid; the instance does not start.";
constexpr char REFUSED[] = "refused, not in AllowFrom";

std::string Settings(int port, const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port) + "]\n" + values;
}

TEST(Access, AMalformedSettingKeepsItsInstanceFromStartingAndTheOthersRun) {
    int portA = FreePort(), portB = FreePort();
    // Instance A would run on the main thread: B takes its place there.
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)}, {},
                         LOG_ZONES, Settings(portA, "\"AllowFrom\"=\"10.1.0.0/33\"\n"));
    TestClient b;
    ASSERT_TRUE(b.Connect(portB));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    TestClient a;
    EXPECT_FALSE(a.Connect(portA, 0ms)) << "nothing listens on the instance's port";
    EXPECT_EQ(server.CountLines(NOT_VALID), 1u) << server.Tail();
    EXPECT_EQ(server.CountLines("[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(portA) +
                                "] \"AllowFrom\"=\"10.1.0.0/33\""),
              1u)
        << server.Tail();
    EXPECT_TRUE(server.Running());

    // With no instance left to start, the process ends with a failure.
    ServerProcess none({"-p", std::to_string(portA)}, {}, LOG_ZONES,
                       Settings(portA, "\"ListenAddress\"=\"300.1.1.1\"\n"));
    EXPECT_EQ(none.WaitForExit(), 1) << none.Tail();
    EXPECT_EQ(none.CountLines(NOT_VALID), 1u) << none.Tail();
}

}  // namespace
}  // namespace e2e
