// The status record as text (JSON Lines, the one-line summary) and the supervisors' liveness.
#include "instance/status.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>

#include "status_text/status_text.h"

namespace {

// A client's address from its text, IPv4 or IPv6.
PeerAddress Peer(const char* text, uint16_t port) {
    PeerAddress peer{};
    peer.Port = port;
    if (inet_pton(AF_INET, text, peer.Address.Bytes) == 1) {
        peer.Address.Version = 4;
    } else if (inet_pton(AF_INET6, text, peer.Address.Bytes) == 1) {
        peer.Address.Version = 6;
    }
    return peer;
}

nlohmann::json StatusOf(ServerInstance& instance) {
    std::string lines = StatusJsonLines({&instance});
    EXPECT_EQ(lines.back(), '\n');
    EXPECT_EQ(lines.find('\n'), lines.size() - 1) << lines;
    return nlohmann::json::parse(lines);
}

TEST(StatusText, ClientCountersAndRestartsOfOneInstance) {
    ServerInstance instance{};
    instance.Port = 5000;
    instance.DevName = L"/dev/\"LON\"\\gr\u00FCn";
    ReportListening(instance.Status);
    ReportClient(instance.Status, Peer("10.1.2.3", 4711));
    CountToClient(instance.Status, 5);
    CountToClient(instance.Status, 9);
    CountToBus(instance.Status, 7);
    CountKeepAlive(instance.Status);

    nlohmann::json status = StatusOf(instance);
    EXPECT_EQ(status["port"], 5000);
    EXPECT_EQ(status["device"], "/dev/\"LON\"\\gr\xC3\xBCn");
    EXPECT_EQ(status["state"], "connected");
    EXPECT_EQ(status["client"], "10.1.2.3:4711");
    EXPECT_TRUE(std::regex_match(status["connected_since"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << status["connected_since"];
    EXPECT_EQ(status["to_client"], 2);
    EXPECT_EQ(status["bytes_to_client"], 14);
    EXPECT_EQ(status["to_bus"], 1);
    EXPECT_EQ(status["bytes_to_bus"], 7);
    EXPECT_EQ(status["keepalives_sent"], 1);
    EXPECT_EQ(status["restarts"], 0);
    EXPECT_EQ(status["interface_errors"], 0);
    EXPECT_TRUE(status["last_restart_reason"].is_null());

    // Only failures of the interface count as interface errors; the client goes with a restart.
    ReportRestart(instance.Status, REASON_LON_READ_FAILED);
    ReportRestart(instance.Status, REASON_CLIENT_GONE);
    status = StatusOf(instance);
    EXPECT_EQ(status["state"], "restarting");
    EXPECT_TRUE(status["client"].is_null());
    EXPECT_TRUE(status["connected_since"].is_null());
    EXPECT_EQ(status["restarts"], 2);
    EXPECT_EQ(status["interface_errors"], 1);
    EXPECT_EQ(status["interface_failures"], 1);
    // A network interface's frames that were lost or bad are interface errors too.
    instance.Status.Interface.FramesDroppedByKernel = 3;
    instance.Status.Interface.BadFrames = 2;
    status = StatusOf(instance);
    EXPECT_EQ(status["interface_errors"], 6);
    EXPECT_EQ(status["frames_dropped_by_kernel"], 3);
    EXPECT_EQ(status["bad_frames"], 2);
    EXPECT_EQ(status["last_restart_reason"], "client gone");
    EXPECT_EQ(status["to_client"], 2);
    ReportEnded(instance.Status);
    EXPECT_EQ(StatusOf(instance)["state"], "ended");
}

TEST(StatusText, SummaryOfAllInstancesInOneLine) {
    ServerInstance first{};
    ServerInstance second{};
    first.Port = 5000;
    second.Port = 5001;
    ReportClient(first.Status, Peer("127.0.0.1", 40000));
    ReportListening(second.Status);
    EXPECT_EQ(StatusSummary({&first, &second}), "5000 connected 127.0.0.1:40000, 5001 listening");
    // Refused clients show once the service has told of them, and leave the instance's client
    // alone; the status socket counts them at once.
    CountRefused(first.Status, REFUSED_CLIENT, Peer("10.9.9.9", 1));
    CountRefused(first.Status, REFUSED_CLIENT, Peer("10.9.9.9", 2));
    EXPECT_EQ(StatusSummary({&first, &second}), "5000 connected 127.0.0.1:40000, 5001 listening");
    EXPECT_EQ(StatusOf(first)["refused_clients"], 2);
    EXPECT_EQ(TakeUntoldRefusals(first.Status, REFUSED_CLIENT), 2u);
    EXPECT_EQ(PeerText(LastRefusedOf(first.Status, REFUSED_CLIENT)), "10.9.9.9:2");
    CountRefused(first.Status, REFUSED_CLIENT, Peer("10.9.9.9", 3));
    EXPECT_EQ(StatusSummary({&first, &second}),
              "5000 connected 127.0.0.1:40000 (2 refused), 5001 listening");
    EXPECT_EQ(TakeUntoldRefusals(first.Status, REFUSED_CLIENT), 1u);
    EXPECT_EQ(StatusOf(first)["refused_clients"], 3);
    std::string lines = StatusJsonLines({&first, &second});
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    // An IPv6 client in brackets, so that its port stands apart.
    ReportClient(second.Status, Peer("2001:db8::7", 5000));
    EXPECT_EQ(StatusSummary({&first, &second}),
              "5000 connected 127.0.0.1:40000 (3 refused), 5001 connected [2001:db8::7]:5000");
    EXPECT_EQ(StatusOf(second)["client"], "[2001:db8::7]:5000");
}

TEST(SupervisorAlive, WaitingOrEndedAlwaysOtherwiseOnlyWithARecentReport) {
    InstanceStatus status{};
    const uint32_t now = 100000;
    for (int32_t state : {STATE_CONNECTED, STATE_RESTARTING}) {
        status.State = state;
        status.LastReport = now - SUPERVISOR_SILENCE_MS;
        EXPECT_TRUE(SupervisorAlive(status, now)) << state;
        status.LastReport = now - SUPERVISOR_SILENCE_MS - 1;
        EXPECT_FALSE(SupervisorAlive(status, now)) << state;
    }
    for (int32_t state : {STATE_LISTENING, STATE_ENDED}) {
        status.State = state;
        EXPECT_TRUE(SupervisorAlive(status, now)) << state;
    }
    // The tick counter wraps between the report and now.
    status.State = STATE_CONNECTED;
    status.LastReport = 0xFFFFFF00u;
    EXPECT_TRUE(SupervisorAlive(status, 0x100));
}

}  // namespace
