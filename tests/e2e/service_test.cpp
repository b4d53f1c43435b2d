// The real server under a service manager that the test plays: readiness, state and watchdog
// over a notification socket, the status socket with two instances and traffic, and SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "flow.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/notify_listener.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

TEST(Service, TellsTheManagerServesItsStatusAndEndsOnSigterm) {
    NotifyListener manager(true);
    const int a = FreePort();
    const int b = FreePort();
    const std::string A = std::to_string(a);
    const std::string B = std::to_string(b);
    ServerProcess server({"-p", A, "-i", "-p", B},
                         {"NOTIFY_SOCKET=" + manager.Address(), "WATCHDOG_USEC=1000000"});
    ASSERT_TRUE(manager.WaitFor("READY=1")) << manager.Seen() << server.Tail();
    // The last change of state may come just after READY=1.
    const std::string listening = "STATUS=" + A + " listening, " + B + " listening";
    EXPECT_TRUE(manager.Seen().find(listening) != std::string::npos || manager.WaitFor(listening))
        << manager.Seen();
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Seen();

    // Client A's telegrams reach client B over the simulated channel, and back.
    TestClient clientA;
    TestClient clientB;
    ASSERT_TRUE(clientA.Connect(a));
    ASSERT_TRUE(clientB.Connect(b));
    size_t from = 0;
    ASSERT_TRUE(server.WaitForLine(STARTED, &from)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED, &from)) << server.Tail();
    uint64_t bytesAToB = 0;
    for (uint32_t i = 0; i < 10; ++i) {
        ipmsg::Bytes telegram = NumberedTelegram(0xA1, i);
        bytesAToB += telegram.size();
        ASSERT_TRUE(clientA.SendData(telegram));
        ASSERT_EQ(clientB.ReceiveData(), telegram) << server.Tail();
    }
    ipmsg::Bytes back = NumberedTelegram(0xB2, 1);
    ASSERT_TRUE(clientB.SendData(back));
    ASSERT_EQ(clientA.ReceiveData(), back) << server.Tail();

    std::map<int, nlohmann::json> status = StatusByPort(server);
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[a]["state"], "connected");
    EXPECT_EQ(status[a]["device"], "LON1:");
    EXPECT_TRUE(status[a]["client"].get<std::string>().starts_with("127.0.0.1:")) << status[a];
    EXPECT_FALSE(status[a]["connected_since"].is_null());
    EXPECT_EQ(status[a]["to_bus"], 10);
    EXPECT_EQ(status[a]["bytes_to_bus"], bytesAToB);
    EXPECT_EQ(status[a]["to_client"], 1);
    EXPECT_EQ(status[a]["bytes_to_client"], back.size());
    EXPECT_EQ(status[b]["to_client"], 10);
    EXPECT_EQ(status[b]["bytes_to_client"], bytesAToB);
    EXPECT_EQ(status[b]["to_bus"], 1);
    EXPECT_EQ(status[b]["restarts"], 0);

    // Client A goes: its instance restarts and says why; B keeps its client.
    clientA.Close();
    EXPECT_TRUE(manager.WaitForPrefix("STATUS=" + A + " listening, " + B + " connected 127.0.0.1:"))
        << manager.Seen();
    status = StatusByPort(server);
    EXPECT_EQ(status[a]["state"], "listening");
    EXPECT_TRUE(status[a]["client"].is_null());
    EXPECT_EQ(status[a]["restarts"], 1);
    EXPECT_EQ(status[a]["last_restart_reason"], "client gone");
    EXPECT_EQ(status[a]["interface_errors"], 0);

    CommandResult table = RunCommand(BuiltProgram("veltraclient") + " -S " + server.StatusSocket());
    EXPECT_EQ(table.status, 0);
    EXPECT_TRUE(std::regex_search(
        table.output,
        std::regex("^port +state +client +interface +from bus +to bus +monitors +errors\n")))
        << table.output;
    EXPECT_TRUE(std::regex_search(table.output, std::regex("\n" + A + " +listening +- +LON1: ")))
        << table.output;

    // SIGTERM: B's supervisor closes its client and interface, and the process ends with 0.
    size_t beforeStop = server.LineCount();
    ASSERT_EQ(kill(server.Pid(), SIGTERM), 0);
    EXPECT_EQ(server.WaitForExit(), 0) << server.Tail();
    EXPECT_TRUE(server.WaitForLine(STOPPED, &beforeStop)) << server.Tail();
    EXPECT_TRUE(clientB.WaitClosed());
    EXPECT_TRUE(manager.WaitFor("STOPPING=1")) << manager.Seen();
    EXPECT_FALSE(std::filesystem::exists(server.StatusSocket()));
}

// veltraclient -S -p finds the server of any of its ports, whichever port named its socket in
// the default folder, and its table fits 100 columns however long a device name is.
TEST(Service, TheStatusTableFitsAHundredColumnsAndFindsTheServerOfAnyOfItsPorts) {
    const std::string A = std::to_string(FreePort());
    const std::string B = std::to_string(FreePort());
    const std::string longDevice = "/dev/" + std::string(90, 'x');
    ServerProcess server({"-p", A, "-i", "-p", B, "-d", longDevice}, {"VELTRABOX_STATUS_SOCKET="});
    ASSERT_TRUE(WaitForListener(std::stoi(B))) << server.Tail();
    // The status socket comes a moment after the listeners, later still under an emulator.
    AwaitCondition([&] { return std::filesystem::exists("/run/veltrabox/" + A + ".sock"); });
    SKIP_IF_MISSING(std::filesystem::exists("/run/veltrabox/" + A + ".sock")
                        ? ""
                        : "no status socket in /run/veltrabox: " + server.Tail());
    CommandResult table = RunCommand("env -u VELTRABOX_STATUS_SOCKET " +
                                     BuiltProgram("veltraclient") + " -S -p " + B);
    EXPECT_EQ(table.status, 0) << table.output;
    std::istringstream lines(table.output);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 100u) << line;
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 3u) << table.output;
    EXPECT_TRUE(rows[2].starts_with(B + "  listening  -")) << table.output;
    EXPECT_TRUE(rows[2].find("/dev/xxx") != std::string::npos) << table.output;
}

}  // namespace
}  // namespace e2e
