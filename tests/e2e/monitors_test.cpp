// Monitors of the real server: connections on an instance's MonitorPort that watch the served
// client's traffic, both ways, and never disturb it. The bus is a pty playing a serial
// interface; every connection is on loopback.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <regex>

#include "flow.h"
#include "server_status.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char CONNECTED[] = "monitor 127.0.0.";
constexpr uint16_t ID_TO_BUS = 17;
constexpr char NEURON_ID[] = "0A1B2C3D4E5F";
// The 28-byte message that writes the neuron ID, as the server sends it at every open.
const ipmsg::Bytes NEURON_ID_MESSAGE = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F, 0,    0,    0,    0,
                                        0,    0,    0,    0,    0,    0,    0x6E, 0x01, 0x00, 0x00,
                                        0x06, 0x00, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

std::string Settings(int port, const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port) + "]\n" + values;
}

std::string MonitorPortSetting(int monitorPort) {
    char value[32];
    std::snprintf(value, sizeof value, "\"MonitorPort\"=dword:%08x\n", monitorPort);
    return value;
}

// The server on the pty `lon` with `args`, serving `port` with monitors on `monitorPort`.
std::unique_ptr<ServerProcess> ServeWithMonitors(const PtyLon& lon, int port, int monitorPort,
                                                 std::vector<std::string> args = {}) {
    args.insert(args.end(), {"-p", std::to_string(port), "-d", lon.Path()});
    return std::make_unique<ServerProcess>(args, std::vector<std::string>{}, LOG_ZONES,
                                           Settings(port, MonitorPortSetting(monitorPort)));
}

// The next `count` telegrams a monitor receives, keep-alives passed over.
std::vector<ipmsg::Message> Watch(TestClient& monitor, size_t count) {
    std::vector<ipmsg::Message> seen;
    while (seen.size() < count) {
        std::optional<ipmsg::Message> message = monitor.Receive();
        if (!message) break;
        if (message->id != ipmsg::ID_ALIVE) seen.push_back(*message);
    }
    return seen;
}

// The telegrams of one id among `seen`, in their order.
std::vector<ipmsg::Bytes> OfId(const std::vector<ipmsg::Message>& seen, uint16_t id) {
    std::vector<ipmsg::Bytes> telegrams;
    for (const auto& message : seen) {
        if (message.id == id) telegrams.push_back(message.data);
    }
    return telegrams;
}

std::vector<ipmsg::Bytes> Numbered(uint8_t tag, uint32_t count) {
    std::vector<ipmsg::Bytes> telegrams;
    for (uint32_t i = 0; i < count; ++i) telegrams.push_back(NumberedTelegram(tag, i));
    return telegrams;
}

// Two monitors and veltraclient -D as a third see the neuron-ID message, then a conversation
// of alternating turns in its exact order, then two flows at once, each in its order; the two
// monitors see the very same sequence.
TEST(Monitors, TwoMonitorsSeeEveryTelegramBothWaysInOrder) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), monitorPort = FreePort();
    auto server = ServeWithMonitors(lon, port, monitorPort, {"-n", NEURON_ID});
    TestClient m1, m2;
    ASSERT_TRUE(m1.Connect(monitorPort));
    ASSERT_TRUE(m2.Connect(monitorPort));
    auto shown = std::async(std::launch::async, [&] {
        return RunCommand(BuiltProgram("veltraclient") + " -p " + std::to_string(monitorPort) +
                          " -D -n 3 -t 60 </dev/null 2>&1");
    });
    size_t mark = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(server->WaitForLine(CONNECTED, &mark)) << server->Tail();

    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_EQ(lon.Read(), NEURON_ID_MESSAGE) << server->Tail();
    std::vector<ipmsg::Message> expected = {{ID_TO_BUS, NEURON_ID_MESSAGE}};
    for (uint32_t turn = 0; turn < 3; ++turn) {
        ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, turn)));
        ASSERT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, turn)) << server->Tail();
        ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, turn)));
        ASSERT_EQ(lon.Read(), NumberedTelegram(0xC3, turn)) << server->Tail();
        expected.push_back({ipmsg::ID_DATA, NumberedTelegram(0xD4, turn)});
        expected.push_back({ID_TO_BUS, NumberedTelegram(0xC3, turn)});
    }
    std::vector<ipmsg::Message> seen1 = Watch(m1, expected.size());
    ASSERT_EQ(seen1.size(), expected.size()) << server->Tail();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(seen1[i].id, expected[i].id) << i;
        EXPECT_EQ(seen1[i].data, expected[i].data) << i;
    }

    constexpr uint32_t FLOW = 2000;
    auto toLon = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, 0xA1, FLOW);
    });
    EXPECT_EQ(RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); },
                      [&] { return client.ReceiveData(); }, 0xB2, FLOW),
              "");
    EXPECT_EQ(toLon.get(), "");
    std::vector<ipmsg::Message> flows1 = Watch(m1, 2 * FLOW);
    EXPECT_EQ(OfId(flows1, ipmsg::ID_DATA), Numbered(0xB2, FLOW));
    EXPECT_EQ(OfId(flows1, ID_TO_BUS), Numbered(0xA1, FLOW));
    std::vector<ipmsg::Message> seen2 = Watch(m2, expected.size() + 2 * FLOW);
    seen1.insert(seen1.end(), flows1.begin(), flows1.end());
    ASSERT_EQ(seen2.size(), seen1.size());
    for (size_t i = 0; i < seen1.size(); ++i) {
        ASSERT_TRUE(seen2[i].id == seen1[i].id && seen2[i].data == seen1[i].data) << i;
    }

    auto [text, status] = shown.get();
    EXPECT_EQ(status, 0) << text;
    std::regex lines(
        "\\S+ to bus id=17 len=28 22 1A 71 08 0C 7F [0-9A-F ]+\n +niNETMGMT.*\n"
        "(.*id=0 len=0\n)*\\S+ from bus id=16 len=6 D4 04 00 00 00 00\n +\\S.*\n"
        "(.*id=0 len=0\n)*\\S+ to bus id=17 len=6 C3 04 00 00 00 00\n +\\S.*\n");
    EXPECT_TRUE(std::regex_search(text, lines)) << text;
    // The -D client has gone; the other two stay.
    ASSERT_TRUE(AwaitCondition([&] { return StatusByPort(*server)[port]["monitors"] == 2; }));
    nlohmann::json state = StatusByPort(*server)[port];
    EXPECT_EQ(state["monitors_dropped"], 0) << state;
    EXPECT_GT(state["monitor_bytes"], 2 * 4 * (1 + 6 + 2 * FLOW)) << state;
}

// The interface refuses the neuron-ID message at the first open and the third telegram of the
// first cycle: a monitor and the counters see what reached the bus, in its order, and neither
// of those.
TEST(Monitors, WhatTheInterfaceDidNotTakeIsNeverShownAsSent) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), monitorPort = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path(), "-n", NEURON_ID},
                         {"VELTRABOX_FAULTS=write:EIO:1,write:EIO:3"}, LOG_ZONES,
                         Settings(port, MonitorPortSetting(monitorPort)));
    TestClient monitor;
    ASSERT_TRUE(monitor.Connect(monitorPort));
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine(CONNECTED, &mark)) << server.Tail();
    std::vector<ipmsg::Bytes> onBus;
    for (uint32_t cycle = 0, next = 0; cycle < 2; ++cycle) {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
        if (cycle == 1) onBus.push_back(lon.Read().value_or(ipmsg::Bytes{}));
        for (; next < 3; ++next) {
            ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, next)));
            std::optional<ipmsg::Bytes> arrived = lon.Read(500ms);
            if (!arrived) break;
            onBus.push_back(*arrived);
        }
        if (cycle == 0) {
            ASSERT_TRUE(client.WaitClosed()) << server.Tail();
        }
    }
    ASSERT_EQ(onBus,
              (std::vector<ipmsg::Bytes>{NumberedTelegram(0xC3, 0), NumberedTelegram(0xC3, 1),
                                         NEURON_ID_MESSAGE, NumberedTelegram(0xC3, 2)}))
        << server.Tail();
    EXPECT_EQ(OfId(Watch(monitor, onBus.size()), ID_TO_BUS), onBus) << server.Tail();
    EXPECT_FALSE(monitor.Receive(200ms).has_value());
    EXPECT_TRUE(AwaitCondition([&] { return StatusByPort(server)[port]["to_bus"] == 4; }))
        << StatusByPort(server)[port];
}

// The first monitor never reads; the bus floods with the longest telegrams. It is dropped,
// while the served client and the other monitor get every telegram.
TEST(Monitors, AMonitorThatStopsReadingIsDroppedAndNothingElseNotices) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), monitorPort = FreePort();
    auto server = ServeWithMonitors(lon, port, monitorPort);
    TestClient stalled, reading;
    stalled.ShrinkReceiveBuffer();
    ASSERT_TRUE(stalled.Connect(monitorPort));
    ASSERT_TRUE(reading.Connect(monitorPort));
    size_t mark = 0;
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(server->WaitForLine(CONNECTED, &mark)) << server->Tail();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server->WaitForLine(STARTED)) << server->Tail();

    // 4 MB: many times what the stalled monitor's queue and connection can hold.
    constexpr uint32_t FLOOD = 16000;
    auto longest = [](uint8_t tag, uint32_t number) {
        ipmsg::Bytes telegram(257, uint8_t(number));
        telegram[0] = tag;
        telegram[1] = 255;
        for (int i = 0; i < 4; ++i) telegram[2 + i] = uint8_t(number >> (8 * i));
        return telegram;
    };
    // The reading monitor is read in step with the served client, so that only the stalled one
    // can fall behind, however slowly a loaded machine runs this test.
    std::string monitorFault;
    uint32_t monitored = 0;
    auto receive = [&]() -> std::optional<ipmsg::Bytes> {
        std::optional<ipmsg::Bytes> telegram = client.ReceiveData();
        if (telegram && monitorFault.empty()) {
            std::vector<ipmsg::Message> next = Watch(reading, 1);
            if (next.empty() || next[0].id != ipmsg::ID_DATA || next[0].data != *telegram) {
                monitorFault = "telegram " + std::to_string(monitored) +
                               " missing or wrong at the reading monitor";
            }
            ++monitored;
        }
        return telegram;
    };
    EXPECT_EQ(RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); }, receive, 0xD4, FLOOD, 64,
                      longest),
              "")
        << server->Tail();
    EXPECT_EQ(monitorFault, "") << server->Tail();
    EXPECT_EQ(monitored, FLOOD);
    EXPECT_TRUE(stalled.WaitClosed()) << server->Tail();
    EXPECT_TRUE(server->WaitForLine("dropped: it fell behind")) << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
    nlohmann::json state = StatusByPort(*server)[port];
    EXPECT_EQ(state["monitors"], 1) << state;
    EXPECT_EQ(state["monitors_dropped"], 1) << state;
    EXPECT_EQ(state["to_client"], FLOOD) << state;
}

// A monitor's data messages are discarded, never written to the bus. Monitors stay across the
// served client's cycles; with no client served they get keep-alives, and one that falls
// silent is dropped (about 25 s).
TEST(Monitors, AMonitorNeverReachesTheBusAndOutlivesTheServedClient) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), monitorPort = FreePort();
    auto server = ServeWithMonitors(lon, port, monitorPort);
    TestClient chatty, silent;
    ASSERT_TRUE(chatty.Connect(monitorPort));
    ASSERT_TRUE(silent.Connect(monitorPort));
    size_t mark = 0;
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(server->WaitForLine(CONNECTED, &mark)) << server->Tail();

    for (int cycle = 0; cycle < 2; ++cycle) {
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
        ASSERT_TRUE(chatty.SendData(NumberedTelegram(0xEE, cycle)));
        ASSERT_TRUE(chatty.SendRaw(ipmsg::Encode(ID_TO_BUS, NumberedTelegram(0xEF, cycle))));
        ASSERT_TRUE(chatty.SendAlive());
        // Read by the server before the client's telegram, had it been passed on.
        ASSERT_TRUE(AwaitCondition([&] {
            return StatusByPort(*server)[port]["monitor_discarded"] == 2 * (cycle + 1);
        })) << server->Tail();
        ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, cycle)));
        EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, cycle)) << server->Tail();
        ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, cycle)));
        EXPECT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, cycle)) << server->Tail();
        for (TestClient* monitor : {&chatty, &silent}) {
            std::vector<ipmsg::Message> seen = Watch(*monitor, 2);
            ASSERT_EQ(seen.size(), 2u) << server->Tail();
            EXPECT_EQ(seen[0].id, ID_TO_BUS);
            EXPECT_EQ(seen[0].data, NumberedTelegram(0xC3, cycle));
            EXPECT_EQ(seen[1].data, NumberedTelegram(0xD4, cycle));
        }
        client.Close();
        ASSERT_TRUE(server->WaitForLine(RESTARTING, &mark)) << server->Tail();
    }
    EXPECT_FALSE(lon.Read(500ms)) << "a monitor's data reached the bus";

    // No client now: the chatty monitor keeps talking and hears the server's keep-alives (one
    // every second period); the silent one is dropped after four periods.
    const std::string dropped = "dropped: nothing received for four keep-alive periods";
    size_t alives = 0;
    for (int i = 0; i < 30 && (server->CountLines(dropped) == 0 || alives < 2); ++i) {
        ASSERT_TRUE(chatty.SendAlive());
        std::optional<ipmsg::Message> message = chatty.Receive(2s);
        if (message) {
            EXPECT_EQ(message->id, ipmsg::ID_ALIVE);
            ++alives;
        }
    }
    EXPECT_EQ(server->CountLines(dropped), 1u) << server->Tail();
    EXPECT_GE(alives, 2u);
    EXPECT_TRUE(silent.WaitClosed()) << server->Tail();
    nlohmann::json state = StatusByPort(*server)[port];
    EXPECT_EQ(state["monitors"], 1) << state;
    EXPECT_EQ(state["monitors_dropped"], 1) << state;
}

// MonitorLimit and AllowFrom apply to the monitor port; malformed monitor values keep the
// instance from starting.
TEST(Monitors, TheLimitAndTheAllowListHoldOnTheMonitorPort) {
    int port = FreePort(), monitorPort = FreePort();
    ServerProcess server(
        {"-p", std::to_string(port)}, {}, LOG_ZONES,
        Settings(port, MonitorPortSetting(monitorPort) + "\"MonitorLimit\"=dword:00000002\n"
                                                         "\"AllowFrom\"=\"127.0.0.2\"\n"));
    TestClient outsider;
    ASSERT_TRUE(outsider.Connect(monitorPort));
    EXPECT_TRUE(outsider.WaitClosed());
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine("refused, not in AllowFrom", &mark)) << server.Tail();
    TestClient first, second, third;
    ASSERT_TRUE(first.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(second.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(third.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    EXPECT_TRUE(third.WaitClosed());
    ASSERT_TRUE(server.WaitForLine("refused: MonitorLimit 2 reached", &mark)) << server.Tail();
    first.Close();
    ASSERT_TRUE(server.WaitForLine("closed", &mark)) << server.Tail();
    TestClient fourth;
    ASSERT_TRUE(fourth.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(server.WaitForLine(CONNECTED, &mark)) << server.Tail();
    nlohmann::json state = StatusByPort(server)[port];
    EXPECT_EQ(state["monitors"], 2) << state;
    EXPECT_EQ(state["monitors_dropped"], 1) << state;
    EXPECT_EQ(state["refused_clients"], 1) << state;

    // Each refusal names what is valid; a dword's, what the hexadecimal digits came to.
    const std::string ports = "(a port from 1 to 65535 other than " + std::to_string(port);
    const std::vector<std::pair<std::string, std::string>> malformed = {
        {"\"MonitorLimit\"=dword:00000011\n", "=dword:00000011 is not valid (1 to 16); "},
        {"\"MonitorPort\"=dword:00041061\n", "=dword:00041061 is not valid " + ports +
                                                 "; dwords are hexadecimal: this one is 266337); "},
        {"\"MonitorPort\"=\"1\"\n", "=(not a dword) is not valid " + ports + "); "},
        {MonitorPortSetting(port), "is not valid " + ports +
                                       "; dwords are hexadecimal: this one is " +
                                       std::to_string(port) + "); "}};
    for (const auto& [bad, said] : malformed) {
        ServerProcess none({"-p", std::to_string(port)}, {}, LOG_ZONES, Settings(port, bad));
        EXPECT_EQ(none.WaitForExit(), 1) << bad << none.Tail();
        EXPECT_EQ(none.CountLines(said + "the instance does not start."), 1u) << bad << none.Tail();
    }
}

// With few descriptors the monitors get only what the served client can spare: the soft limit
// is raised to the hard one, the start-up says that MonitorLimit does not fit, the monitors
// beyond the room are refused, and the client is served.
TEST(Monitors, MonitorsBeyondTheDescriptorsToSpareAreRefusedAndTheClientIsServed) {
    int port = FreePort(), monitorPort = FreePort();
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "ulimit -Sn 64 && ulimit -Hn 96 && exec \"$@\"", "sh"};
    for (const std::string& word : CommandWords(VELTRABOX_BINARY_DIR "/veltrabox")) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {"-p", std::to_string(port)});
    // The soft limit raised to 96 keeps 56 for the process and the instance: room for 13
    // monitors (64 would leave room for 2).
    ChildProcess server(
        argv, {}, LOG_ZONES,
        Settings(port, MonitorPortSetting(monitorPort) + "\"MonitorLimit\"=dword:00000010\n"));
    ASSERT_TRUE(server.WaitForLine("leaves room for 13 monitors beside 1 instances, not the 16"))
        << server.Tail();
    std::vector<TestClient> monitors(14);
    for (TestClient& monitor : monitors) ASSERT_TRUE(monitor.Connect(monitorPort));
    EXPECT_TRUE(server.WaitForLine("refused: no descriptors to spare for monitors"))
        << server.Tail();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    EXPECT_EQ(StatusByPort(server)[port]["monitors"], 13);
}

// Accepts that keep failing at the monitor port (out of descriptors, say) are told once a
// second, not at every try.
TEST(Monitors, AnAcceptThatKeepsFailingIsToldOnceASecond) {
    int port = FreePort(), monitorPort = FreePort();
    ServerProcess server({"-p", std::to_string(port)}, {"VELTRABOX_FAULTS=accept:EMFILE:~1000000"},
                         LOG_ZONES, Settings(port, MonitorPortSetting(monitorPort)));
    const Clock::time_point start = Clock::now();
    TestClient waiting;
    ASSERT_TRUE(waiting.Connect(monitorPort));
    ASSERT_TRUE(AwaitCondition([&] { return server.CountLines("faults: accept fails") >= 30; }))
        << server.Tail();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t told = 0;
    for (const std::string& line : server.Lines()) {
        told += line.find("Monitors(") != std::string::npos &&
                line.find("accept()") != std::string::npos;
    }
    EXPECT_GE(told, 1u) << server.Tail();
    EXPECT_LE(told, size_t(seconds) + 1) << seconds << " s\n" << server.Tail();
}

}  // namespace
}  // namespace e2e
