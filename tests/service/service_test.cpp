// The service thread with instance records that the test drives as their supervisors would:
// readiness, state, and a watchdog that stops while a supervisor is stuck; and the service
// without its wake descriptor. Each test runs in a process of its own (one service each).
#include "service/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "diag/debug.h"
#include "platform/faults.h"
#include "support/log_capture.h"
#include "support/notify_listener.h"

namespace {

using namespace std::chrono_literals;

constexpr char STUCK[] = "MainLoop(5000) has stopped reporting";

TEST(Service, ReadyStatusAndAWatchdogThatStopsWhileASupervisorIsStuck) {
    NotifyListener manager;
    setenv("NOTIFY_SOCKET", manager.Address().c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);  // a ping every 50 ms
    unsetenv("WATCHDOG_PID");
    std::string statusPath = "/tmp/veltrabox-service-" + std::to_string(getpid()) + ".sock";
    setenv("VELTRABOX_STATUS_SOCKET", statusPath.c_str(), 1);
    // The service keeps its records for the life of the process.
    static ServerInstance first{};
    static ServerInstance second{};
    first.Port = 5000;
    first.DevName = L"LON1:";
    second.Port = 5001;
    second.DevName = L"LON2:";
    ServerInstance* table[] = {&first, &second};
    LogCapture log;
    StartService(table, 1, nullptr);

    EXPECT_TRUE(manager.WaitFor("STATUS=5000 restarting, 5001 restarting")) << manager.Seen();
    ReportListening(first.Status);
    EXPECT_TRUE(manager.WaitFor("STATUS=5000 listening, 5001 restarting")) << manager.Seen();
    EXPECT_EQ(manager.Seen().find("READY=1"), std::string::npos) << manager.Seen();
    ReportListening(second.Status);
    EXPECT_TRUE(manager.WaitFor("READY=1")) << manager.Seen();
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Seen();

    // A supervisor with a client whose watch loop stopped reporting: no more pings, one line.
    PeerAddress client{{4, {127, 0, 0, 1}}, 4660};
    ReportClient(first.Status, client);
    EXPECT_TRUE(manager.WaitFor("STATUS=5000 connected 127.0.0.1:4660, 5001 listening"))
        << manager.Seen();
    first.Status.LastReport.store(win::GetTickCount() - SUPERVISOR_SILENCE_MS - 1);
    ASSERT_TRUE(log.WaitFor(STUCK));
    manager.Drain();
    EXPECT_FALSE(manager.WaitFor("WATCHDOG=1", 500ms)) << "pinged while stuck";
    ReportAlive(first.Status);
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Seen();
    EXPECT_EQ(log.Count(STUCK), 1);
    unlink(statusPath.c_str());
}

#ifdef VELTRABOX_FAULT_INJECTION
// No eventfd for the service's wake: it says so, and still tells the manager of every state,
// READY=1 included, by looking on its own.
TEST(Service, WithoutAWakeDescriptorTheStateIsStillTold) {
    NotifyListener manager;
    setenv("NOTIFY_SOCKET", manager.Address().c_str(), 1);
    unsetenv("WATCHDOG_USEC");
    std::string statusPath = "/tmp/veltrabox-service-" + std::to_string(getpid()) + ".sock";
    setenv("VELTRABOX_STATUS_SOCKET", statusPath.c_str(), 1);
    static ServerInstance only{};
    only.Port = 5002;
    only.DevName = L"LON1:";
    ServerInstance* table[] = {&only};
    SetDebugZoneMask(ZONE_ERROR);
    LogCapture log;
    win::faults::Arm({{win::faults::Call::Eventfd, EMFILE, 1}});
    StartService(table, 0, nullptr);
    win::faults::Disarm();
    EXPECT_TRUE(log.WaitFor("Error: no eventfd"));

    EXPECT_TRUE(manager.WaitFor("STATUS=5002 restarting")) << manager.Seen();
    ReportListening(only.Status);
    // The service looks once a second here, between any two stores: READY=1 still comes after
    // the STATUS= that shows the instance listening.
    EXPECT_TRUE(manager.WaitFor("STATUS=5002 listening")) << manager.Seen();
    EXPECT_TRUE(manager.WaitFor("READY=1")) << manager.Seen();
    PeerAddress client{{4, {127, 0, 0, 1}}, 4660};
    ReportClient(only.Status, client);
    EXPECT_TRUE(manager.WaitFor("STATUS=5002 connected 127.0.0.1:4660")) << manager.Seen();
    unlink(statusPath.c_str());
}
#endif

}  // namespace
