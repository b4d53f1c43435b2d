// Reload on SIGHUP, with the real server: what a reload takes in while a client is served, what
// it refuses whole, and that the served client never notices, not even in a storm of them.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "flow.h"
#include "server_status.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char TURNED_AWAY[] = "Weiterer Client abgewiesen.";
constexpr char NOTHING_CHANGED[] = "nothing changed, the running settings stay.";
constexpr char RELOADED[] = "SIGHUP: registry file read again";
constexpr uint32_t TELEGRAMS = 4000;
// Debug zones: Init and Error; Error alone.
constexpr unsigned INIT_AND_ERROR = 0x12;
constexpr unsigned ERROR_ONLY = 0x10;

// `values` under the instance's key.
std::string Key(int port, const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port) + "]\n" + values;
}

// A whole registry file: the debug zones, then `values` under the instance's key.
std::string Registry(unsigned zones, int port, const std::string& values) {
    char zoneLine[64];
    std::snprintf(zoneLine, sizeof zoneLine, "\"Quorvel\"=dword:%08x\n", zones);
    return std::string("[HKEY_LOCAL_MACHINE\\DebugZones]\n") + zoneLine + Key(port, values);
}

// Replaces the server's registry file in one step, as an editor that saves by renaming does.
void Rewrite(const ServerProcess& server, const std::string& text) {
    const std::string temporary = server.RegistryFile() + ".new";
    std::ofstream(temporary) << text;
    std::filesystem::rename(temporary, server.RegistryFile());
}

uint64_t Refused(const ServerProcess& server, int port) {
    return StatusByPort(server)[port]["refused_clients"].get<uint64_t>();
}

// A client from 127.0.0.1 while another is served: closed either way, and counted as refused
// only when AllowFrom leaves it out (counted before its close). A port that cannot be reached
// fails the test: it refuses nobody, yet lets nobody in.
bool RefusedFrom127001(const ServerProcess& server, int port) {
    uint64_t before = Refused(server, port);
    TestClient client;
    EXPECT_TRUE(client.Connect(port, 0ms) && client.WaitClosed()) << "port " << port;
    return Refused(server, port) > before;
}

// The served client passes telegrams both ways, a few a millisecond, for as long as the
// reloads take.
struct Traffic {
    Traffic(TestClient& client, PtyLon& lon) {
        auto paced = [](auto send) {
            return [send](const ipmsg::Bytes& telegram) {
                std::this_thread::sleep_for(500us);
                return send(telegram);
            };
        };
        toBus = std::async(std::launch::async, [&client, &lon, paced] {
            return RunFlow(
                paced([&](const ipmsg::Bytes& t) { return client.SendData(t); }),
                [&] { return lon.Read(); }, 0xC3, TELEGRAMS);
        });
        toClient = std::async(std::launch::async, [&client, &lon, paced] {
            return RunFlow(
                paced([&](const ipmsg::Bytes& t) { return lon.Write(t); }),
                [&] { return client.ReceiveData(); }, 0xD4, TELEGRAMS);
        });
    }
    std::future<std::string> toBus;
    std::future<std::string> toClient;
};

TEST(Reload, AllowFromAndTheZonesChangeWhileTheServedClientPassesTelegramsUnbroken) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    const int port = FreePort();
    // No AllowFrom: every client is let in, and a newcomer is turned away as a second client.
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()}, {}, LOG_ZONES,
                         Key(port, ""));
    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "127.0.0.1", "127.0.0.2")) << server.Tail();
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    EXPECT_FALSE(RefusedFrom127001(server, port)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(TURNED_AWAY, &mark)) << "the Default zone is on";

    Traffic traffic(served, lon);
    // A list without 127.0.0.1 keeps it out from now on.
    const std::string narrow = "\"AllowFrom\"=\"127.0.0.2\"\n";
    Rewrite(server, Registry(LOG_ZONES, port, narrow));
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    // Each change is told, in lines the default zones show, before the reload's own line.
    EXPECT_TRUE(server.WaitForLine("SIGHUP: port " + std::to_string(port) +
                                       " changed: AllowFrom 127.0.0.2/32 (was none, every client "
                                       "is served)",
                                   &mark))
        << server.Tail();
    ASSERT_TRUE(server.WaitForLine(RELOADED, &mark)) << server.Tail();
    EXPECT_TRUE(RefusedFrom127001(server, port)) << server.Tail();
    // A storm: 100 reloads in a second, between two lists, while the telegrams flow, all with
    // the Default zone off. The last one, which lets 127.0.0.1 in, wins; once a client from
    // there is no longer refused, the new zones hold too (they are taken first).
    const std::string wider = "\"AllowFrom\"=\"127.0.0.0/8, ::1\"\n";
    for (int i = 0; i < 100; ++i) {
        Rewrite(server, Registry(INIT_AND_ERROR, port, i % 2 == 0 ? narrow : wider));
        ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(AwaitCondition([&] { return !RefusedFrom127001(server, port); })) << server.Tail();
    EXPECT_TRUE(server.WaitForLine("SIGHUP: debug zones 00000012, style", &mark)) << server.Tail();
    for (int i = 0; i < 3; ++i) {
        TestClient newcomer;
        ASSERT_TRUE(newcomer.Connect(port, 0ms, "127.0.0.1", "127.0.0.2"));
        EXPECT_TRUE(newcomer.WaitClosed());
    }
    EXPECT_FALSE(RefusedFrom127001(server, port)) << server.Tail();

    EXPECT_EQ(traffic.toBus.get(), "") << server.Tail();
    EXPECT_EQ(traffic.toClient.get(), "") << server.Tail();
    nlohmann::json status = StatusByPort(server)[port];
    EXPECT_EQ(status["restarts"], 0) << status;
    EXPECT_EQ(status["state"], "connected") << status;
    EXPECT_EQ(server.Stop(), 0) << server.Tail();
    EXPECT_EQ(server.CountLines(STARTED), 1u) << server.Tail();
    EXPECT_EQ(server.CountLines(TURNED_AWAY), 1u) << "the Default zone is off\n" << server.Tail();
    EXPECT_EQ(server.CountLines(NOTHING_CHANGED), 0u) << server.Tail();
}

// Each of these files is refused whole: the served client stays, 127.0.0.1 stays refused, and
// the Default zone stays on. A changed ListenAddress takes effect at a restart only, while the
// rest of its file is taken in.
TEST(Reload, AFileThatDoesNotParseOrAMalformedValueChangesNothing) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    const int port = FreePort();
    const std::string narrow = "\"AllowFrom\"=\"127.0.0.2\"\n";
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()}, {}, LOG_ZONES,
                         Key(port, narrow));
    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "127.0.0.1", "127.0.0.2")) << server.Tail();
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();

    const std::string wider = "\"AllowFrom\"=\"127.0.0.0/8\"\n";
    const struct {
        std::string file;
        std::string line;  // the report, from the line on
        bool removed = false;
    } refused[] = {
        {Registry(ERROR_ONLY, port, wider + "this line is no registry line\n"),
         "has lines that cannot be read; " + std::string(NOTHING_CHANGED)},
        {Registry(ERROR_ONLY, port, wider + "\"MonitorLimit\"=dword:00000063\n"),
         "\"MonitorLimit\"=dword:00000063 is not valid (1 to 16); " + std::string(NOTHING_CHANGED)},
        {Registry(ERROR_ONLY, port, "\"AllowFrom\"=\"127.0.0.0/33\"\n"),
         "\"AllowFrom\"=\"127.0.0.0/33\" is not valid; " + std::string(NOTHING_CHANGED)},
        {"[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=hex:10\n[HKEY_LOCAL_"
         "MACHINE\\Quorvel\\Port" +
             std::to_string(port) + "]\n" + wider,
         "\"Quorvel\" is not a dword; " + std::string(NOTHING_CHANGED)},
        {Registry(ERROR_ONLY, port, wider) +
             "[HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt]\n\"Broker\"=\"http://x\"\n",
         "\"Broker\"=\"http://x\" is not valid"},
        {"", "the registry file holds none of the server's keys; " + std::string(NOTHING_CHANGED)},
        {"[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=dword:00000010\n" + Key(port + 1, wider),
         "has lost the key [HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port) +
             "] of a running instance; " + NOTHING_CHANGED},
        {"", "the registry file cannot be read; " + std::string(NOTHING_CHANGED), true},
    };
    for (const auto& row : refused) {
        // The served client stays alive however long the rows take: under an emulated ARM core
        // they outlast the four silent periods that would end its cycle.
        ASSERT_TRUE(served.SendAlive());
        if (row.removed) {
            std::filesystem::remove(server.RegistryFile());
        } else {
            Rewrite(server, row.file);
        }
        ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
        ASSERT_TRUE(server.WaitForLine(row.line, &mark)) << row.file << server.Tail();
        EXPECT_TRUE(RefusedFrom127001(server, port)) << row.file << server.Tail();
        TestClient newcomer;
        ASSERT_TRUE(newcomer.Connect(port, 0ms, "127.0.0.1", "127.0.0.2"));
        EXPECT_TRUE(newcomer.WaitClosed());
        ASSERT_TRUE(server.WaitForLine(TURNED_AWAY, &mark)) << row.file << server.Tail();
    }
    EXPECT_EQ(server.CountLines(RELOADED), 0u) << server.Tail();

    // AllowFrom gone from a key still there: taken, as an error.
    Rewrite(server, Registry(LOG_ZONES, port, "\"ListenAddress\"=\"127.0.0.3\"\n"));
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(server.WaitForLine("Error: SIGHUP: ListenAddress of port " + std::to_string(port) +
                                       " changed; it takes effect at a restart",
                                   &mark))
        << server.Tail();
    ASSERT_TRUE(server.WaitForLine("Error: SIGHUP: port " + std::to_string(port) +
                                       " changed: AllowFrom none, every client is served (was "
                                       "127.0.0.2/32)",
                                   &mark))
        << server.Tail();
    ASSERT_TRUE(server.WaitForLine(RELOADED, &mark)) << server.Tail();
    EXPECT_FALSE(RefusedFrom127001(server, port)) << "reached on 127.0.0.1, and let in";

    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail();
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, 0)));
    EXPECT_EQ(served.ReceiveData(), NumberedTelegram(0xD4, 0)) << server.Tail();
    EXPECT_EQ(server.CountLines(STARTED), 1u) << server.Tail();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();
}

// A reload that narrows AllowFrom closes the monitors it leaves out; who watched, and why it
// stopped, shows at the default zones. An emptied file lets no refused monitor in.
TEST(Reload, AMonitorThatTheNewAllowFromLeavesOutIsClosed) {
    const int port = FreePort(), monitorPort = FreePort();
    const std::string M = std::to_string(monitorPort);
    char monitorValue[40];
    std::snprintf(monitorValue, sizeof monitorValue, "\"MonitorPort\"=dword:%08x\n", monitorPort);
    auto allowing = [&](const std::string& networks) {
        return monitorValue + ("\"AllowFrom\"=\"" + networks + "\"\n");
    };
    ServerProcess server({"-p", std::to_string(port)}, {}, ERROR_ONLY,
                         Key(port, allowing("127.0.0.0/8")));
    TestClient kept, revoked;
    ASSERT_TRUE(kept.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(revoked.Connect(monitorPort));
    size_t mark = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(server.WaitForLine("on port " + M + " connected", &mark)) << server.Tail();
    }

    Rewrite(server, Registry(ERROR_ONLY, port, allowing("127.0.0.2")));
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    EXPECT_TRUE(revoked.WaitClosed()) << server.Tail();
    EXPECT_TRUE(
        server.WaitForLine("on port " + M + " dropped: a reload took it out of AllowFrom", &mark))
        << server.Tail();
    EXPECT_EQ(StatusByPort(server)[port]["monitors"], 1) << server.Tail();

    Rewrite(server, "");
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(server.WaitForLine("holds none of the server's keys", &mark)) << server.Tail();
    TestClient outsider;
    ASSERT_TRUE(outsider.Connect(monitorPort));
    EXPECT_TRUE(outsider.WaitClosed()) << server.Tail();
    EXPECT_TRUE(server.WaitForLine("on port " + M + " refused, not in AllowFrom", &mark))
        << server.Tail();
    kept.Close();
    EXPECT_TRUE(server.WaitForLine("closed: its connection ended", &mark)) << server.Tail();
}

}  // namespace
}  // namespace e2e
