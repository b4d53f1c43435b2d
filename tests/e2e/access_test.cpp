// Who may reach an instance of the real server: ListenAddress and AllowFrom from the registry.
// Only loopback addresses: clients connect from 127.0.0.1 or 127.0.0.2, or to an address that
// the test gives the loopback interface of a network namespace of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "flow.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/notify_listener.h"
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

// The calling thread in a network namespace of its own with its loopback interface up, and
// back in its old one at the end; what it starts (the server) lives in the new one.
class OwnNetwork {
  public:
    ~OwnNetwork() {
        if (old_ < 0) return;
        setns(old_, CLONE_NEWNET);
        close(old_);
    }
    // Empty once inside; otherwise why not.
    std::string Enter() {
        old_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (old_ < 0) return std::string("no /proc/thread-self/ns/net: ") + std::strerror(errno);
        if (unshare(CLONE_NEWNET) != 0) {
            std::string why =
                std::string("no network namespace of our own: ") + std::strerror(errno);
            close(old_);
            old_ = -1;
            return why;
        }
        // With lo down any address binds, and nothing would be proved.
        ifreq request = Request("lo");
        if (Control(SIOCGIFFLAGS, &request) != 0) return "lo has no flags";
        request.ifr_flags |= IFF_UP;
        return Control(SIOCSIFFLAGS, &request) == 0 ? "" : "lo does not come up";
    }
    // Gives lo the address as a second one (an alias), as DHCP would give it an interface.
    bool AddToLoopback(const char* address) {
        ifreq request = Request("lo:1");
        sockaddr_in in{};
        in.sin_family = AF_INET;
        if (inet_pton(AF_INET, address, &in.sin_addr) != 1) return false;
        std::memcpy(&request.ifr_addr, &in, sizeof in);
        return Control(SIOCSIFADDR, &request) == 0;
    }

  private:
    static ifreq Request(const char* name) {
        ifreq request{};
        std::strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
        return request;
    }
    static int Control(unsigned long code, ifreq* request) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int r = ioctl(fd, code, request);
        close(fd);
        return r;
    }
    int old_ = -1;
};

// The error of binding `address` as an ordinary socket does (0 when it binds).
int BindError(const char* address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    inet_pton(AF_INET, address, &in.sin_addr);
    int error = bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0 ? 0 : errno;
    close(fd);
    return error;
}

TEST(Access, AMalformedSettingKeepsItsInstanceFromStartingAndTheOthersRun) {
    NotifyListener manager;
    int portA = FreePort(), portB = FreePort();
    // Instance A would run on the main thread: B takes its place there.
    ServerProcess server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)},
                         {"NOTIFY_SOCKET=" + manager.Address()}, LOG_ZONES,
                         Settings(portA, "\"AllowFrom\"=\"10.1.0.0/33\"\n"));
    // The instance that never listens does not keep the service from being ready.
    ASSERT_TRUE(manager.WaitFor("READY=1")) << manager.Seen() << server.Tail();
    const std::string status =
        "STATUS=" + std::to_string(portA) + " ended, " + std::to_string(portB) + " listening";
    EXPECT_TRUE(manager.Seen().find(status) != std::string::npos || manager.WaitFor(status))
        << manager.Seen();
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

// AllowFrom names 127.0.0.2 and a network that no test client is in; clients from 127.0.0.1
// are outsiders.
TEST(Access, AClientOutsideAllowFromIsClosedUnreadAndNeverDisturbsTheServedOne) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    NotifyListener manager;
    int port = FreePort();
    const std::string P = std::to_string(port);
    ServerProcess server({"-p", P, "-d", lon.Path()}, {"NOTIFY_SOCKET=" + manager.Address()},
                         LOG_ZONES, Settings(port, "\"AllowFrom\"=\"10.1.0.0/16, 127.0.0.2\"\n"));
    size_t mark = 0;
    TestClient outsider;
    ASSERT_TRUE(outsider.Connect(port));
    outsider.SendData(NumberedTelegram(0xE5, 1));  // may fail: the server has closed
    EXPECT_TRUE(outsider.WaitClosed());
    ASSERT_TRUE(server.WaitForLine(REFUSED, &mark)) << server.Tail();
    // Counted before the line is logged; the refused client was never the instance's client.
    nlohmann::json status = StatusByPort(server)[port];
    EXPECT_EQ(status["state"], "listening") << status;
    EXPECT_TRUE(status["client"].is_null()) << status;
    EXPECT_EQ(status["refused_clients"], 1) << status;
    // A flood from outside is closed too, without being read.
    TestClient flood;
    ASSERT_TRUE(flood.Connect(port));
    for (uint32_t i = 0; i < 1000; ++i) {
        if (!flood.SendData(NumberedTelegram(0xE5, i))) break;
    }
    EXPECT_TRUE(flood.WaitClosed());
    ASSERT_TRUE(server.WaitForLine(REFUSED, &mark)) << server.Tail();

    // Had an outsider been served, its telegram would be the first on the bus.
    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail();

    // An outsider while a client is served is refused, and the session goes on.
    TestClient late;
    ASSERT_TRUE(late.Connect(port));
    EXPECT_TRUE(late.WaitClosed());
    ASSERT_TRUE(server.WaitForLine(REFUSED, &mark)) << server.Tail();
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, 1)));
    EXPECT_EQ(served.ReceiveData(), NumberedTelegram(0xD4, 1)) << server.Tail();
    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 1)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 1)) << server.Tail();
    EXPECT_EQ(server.CountLines(std::string("Error: client 127.0.0.1:")), 3u) << server.Tail();
    EXPECT_EQ(server.CountLines(STARTED), 1u) << server.Tail();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();

    // The status socket, veltraclient's table and STATUS= show the three, beside the client.
    status = StatusByPort(server)[port];
    EXPECT_EQ(status["refused_clients"], 3) << status;
    EXPECT_EQ(status["restarts"], 0) << status;
    const std::string client = status["client"].get<std::string>();
    EXPECT_TRUE(client.starts_with("127.0.0.2:")) << status;
    EXPECT_TRUE(manager.WaitFor("STATUS=" + P + " connected " + client + " (3 refused)"))
        << manager.Seen();
    CommandResult fields =
        RunCommand(BuiltProgram("veltraclient") + " -S -v " + server.StatusSocket());
    EXPECT_TRUE(std::regex_search(fields.output, std::regex("\nrefused_clients +3\n")))
        << fields.output;
}

TEST(Access, AnInstanceBoundTo127002IsNotReachedOn127001) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()}, {}, LOG_ZONES,
                         Settings(port,
                                  "\"ListenAddress\"=\"127.0.0.2\"\n"
                                  "\"AllowFrom\"=\"127.0.0.0/8\"\n"));
    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "127.0.0.2", ""));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    TestClient other;
    EXPECT_FALSE(other.Connect(port, 0ms, "127.0.0.1", ""));
    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail();
    EXPECT_EQ(server.CountLines(REFUSED), 0u) << server.Tail();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();
}

// A flood from outside AllowFrom, and one beyond MonitorLimit: at most one line and one change
// of STATUS= a second, and the lines, each with the count of refusals since the one before, lose
// none of them.
TEST(Access, AFloodOfRefusedClientsIsToldOnceASecondAndEveryOneCounted) {
    NotifyListener manager;
    int port = FreePort(), monitorPort = FreePort();
    const std::string P = std::to_string(port);
    char values[96];
    std::snprintf(
        values, sizeof values,
        "\"AllowFrom\"=\"127.0.0.2\"\n\"MonitorPort\"=dword:%08x\n\"MonitorLimit\"=dword:1\n",
        monitorPort);
    ServerProcess server({"-p", P}, {"NOTIFY_SOCKET=" + manager.Address()}, LOG_ZONES,
                         Settings(port, values));
    ASSERT_TRUE(manager.WaitFor("READY=1")) << manager.Seen() << server.Tail();
    TestClient monitor;
    ASSERT_TRUE(monitor.Connect(monitorPort, WAIT, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(server.WaitForLine("monitor 127.0.0.2:")) << server.Tail();
    constexpr int FLOOD = 200;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < FLOOD; ++i) {
        TestClient outsider, surplus;
        ASSERT_TRUE(outsider.Connect(port, 0ms)) << i;
        ASSERT_TRUE(surplus.Connect(monitorPort, 0ms, "127.0.0.1", "127.0.0.2")) << i;
        ASSERT_TRUE(outsider.WaitClosed()) << i;
        ASSERT_TRUE(surplus.WaitClosed()) << i;
    }
    const std::string all = "STATUS=" + P + " listening (" + std::to_string(FLOOD) + " refused)";
    ASSERT_TRUE(manager.WaitFor(all)) << manager.Seen() << server.Tail();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    const std::string more = R"((?: \(and (\d+) more refused\))?$)";
    std::regex line("refused, not in AllowFrom of port " + P + more);
    int lines = 0, told = 0;
    auto tally = [&] {
        lines = told = 0;
        for (const std::string& text : server.Lines()) {
            std::smatch match;
            if (!std::regex_search(text, match, line)) continue;
            ++lines;
            told += 1 + (match[1].matched ? std::stoi(match[1]) : 0);
        }
        return told >= FLOOD;
    };
    // The line goes out before the STATUS= that counts it, but the two reach this test by
    // different paths: the log may still be in its pipe.
    AwaitCondition(tally);
    EXPECT_EQ(told, FLOOD) << server.Tail();
    EXPECT_LE(lines, int(seconds) + 1) << seconds << " s\n" << server.Tail();
    size_t changes = 0;
    for (size_t at = 0; (at = manager.Seen().find(" refused)", at)) != std::string::npos; ++at) {
        ++changes;
    }
    EXPECT_LE(changes, size_t(lines)) << manager.Seen();

    line = std::regex("on port " + std::to_string(monitorPort) +
                      " refused: MonitorLimit 1 reached" + more);
    AwaitCondition(tally);
    EXPECT_EQ(told, FLOOD) << server.Tail();
    EXPECT_LE(lines, int(seconds) + 1) << seconds << " s\n" << server.Tail();
}

// One port takes both families. AllowFrom lists networks of both: an IPv4 client of the
// dual-stack socket is matched against the IPv4 networks, and every address shows in its usual
// form, never as ::ffff:a.b.c.d.
TEST(Access, BothFamiliesOnOnePortEachMatchedAgainstItsOwnNetworks) {
    SKIP_IF_MISSING(Ipv6LoopbackMissing());
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    NotifyListener manager;
    const int port = FreePort(), other = FreePort(), monitorPort = FreePort();
    const std::string P = std::to_string(port), O = std::to_string(other);
    char monitorValue[40];
    std::snprintf(monitorValue, sizeof monitorValue, "\"MonitorPort\"=dword:%08x\n", monitorPort);
    ServerProcess server(
        {"-p", P, "-d", lon.Path(), "-i", "-p", O, "-d", "LON2:"},
        {"NOTIFY_SOCKET=" + manager.Address()}, LOG_ZONES,
        Settings(port, std::string("\"AllowFrom\"=\"fd00::/8, ::1, 127.0.0.2\"\n") + monitorValue) +
            Settings(other, "\"AllowFrom\"=\"fd00::/8, 127.0.0.0/8\"\n"));

    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "::1", "")) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail();
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, 0)));
    EXPECT_EQ(served.ReceiveData(), NumberedTelegram(0xD4, 0)) << server.Tail();
    const std::string client = StatusByPort(server)[port]["client"].get<std::string>();
    EXPECT_TRUE(client.starts_with("[::1]:")) << client;
    EXPECT_TRUE(manager.WaitFor("STATUS=" + P + " connected " + client + ", " + O + " listening"))
        << manager.Seen();

    // The monitor port listens the same way.
    TestClient monitor;
    ASSERT_TRUE(monitor.Connect(monitorPort, WAIT, "::1", "")) << server.Tail();
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine("monitor [::1]:", &mark)) << server.Tail();
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, 1)));
    EXPECT_EQ(monitor.ReceiveData(), NumberedTelegram(0xD4, 1)) << server.Tail();
    EXPECT_EQ(served.ReceiveData(), NumberedTelegram(0xD4, 1)) << server.Tail();

    // 127.0.0.1 lies in none of the port's IPv4 networks, whatever its IPv6 ones hold.
    TestClient outsider;
    ASSERT_TRUE(outsider.Connect(port));
    EXPECT_TRUE(outsider.WaitClosed());
    ASSERT_TRUE(server.WaitForLine("Error: client 127.0.0.1:", &mark)) << server.Tail();
    // On the other port ::1 lies outside fd00::/8, and 127.0.0.1 inside 127.0.0.0/8.
    TestClient v6Outsider;
    ASSERT_TRUE(v6Outsider.Connect(other, WAIT, "::1", ""));
    EXPECT_TRUE(v6Outsider.WaitClosed());
    ASSERT_TRUE(server.WaitForLine("Error: client [::1]:", &mark)) << server.Tail();
    EXPECT_TRUE(server.Tail(1).find("refused, not in AllowFrom of port " + O) != std::string::npos)
        << server.Tail();
    TestClient v4;
    ASSERT_TRUE(v4.Connect(other));
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    EXPECT_TRUE(StatusByPort(server)[other]["client"].get<std::string>().starts_with("127.0.0.1:"));

    ASSERT_TRUE(served.SendData(NumberedTelegram(0xC3, 1)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 1)) << server.Tail();
    EXPECT_EQ(server.CountLines("::ffff:"), 0u) << server.Tail();
    EXPECT_EQ(manager.Seen().find("::ffff:"), std::string::npos) << manager.Seen();
    EXPECT_EQ(server.CountLines(RESTARTING), 0u) << server.Tail();
}

TEST(Access, AnInstanceBoundToIpv6LoopbackIsNotReachedOverIpv4) {
    SKIP_IF_MISSING(Ipv6LoopbackMissing());
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port)}, {}, LOG_ZONES,
                         Settings(port, "\"ListenAddress\"=\"::1\"\n"));
    TestClient served;
    ASSERT_TRUE(served.Connect(port, WAIT, "::1", "")) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    TestClient other;
    EXPECT_FALSE(other.Connect(port, 0ms, "127.0.0.1", ""));
}

// Where the kernel refuses IPv6 sockets (here: the first socket of each thread fails as it
// would there, on the second instance's own thread its listener), the instance listens on IPv4
// alone and says so.
TEST(Access, WithoutIpv6TheInstanceListensOnIpv4Alone) {
    int first = FreePort(), port = FreePort();
    ServerProcess server({"-p", std::to_string(first), "-i", "-p", std::to_string(port)},
                         {"VELTRABOX_FAULTS=socket:EAFNOSUPPORT:1*"});
    ASSERT_TRUE(server.WaitForLine("IPv6 is switched off in this kernel: port " +
                                   std::to_string(port) + " listens on IPv4 only"))
        << server.Tail();
    TestClient client;
    ASSERT_TRUE(client.Connect(port)) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    if (Ipv6LoopbackMissing().empty()) {
        TestClient v6;
        EXPECT_FALSE(v6.Connect(port, 0ms, "::1", "")) << "the socket is IPv4 only";
    }
}

// A ListenAddress that no interface has at the start (DHCP, a VLAN that comes up late): the
// instance listens at once, the service is ready, and once the address arrives a client
// reaches it there.
TEST(Access, AListenAddressThatArrivesLateIsServedOnceItComes) {
    constexpr char LATE[] = "192.0.2.5";
    OwnNetwork network;
    SKIP_IF_MISSING(network.Enter());
    ASSERT_EQ(BindError(LATE), EADDRNOTAVAIL) << "the address must be missing at the start";
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    NotifyListener manager;
    int port = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()},
                         {"NOTIFY_SOCKET=" + manager.Address()}, LOG_ZONES,
                         Settings(port, std::string("\"ListenAddress\"=\"") + LATE + "\"\n"));
    ASSERT_TRUE(manager.WaitFor("READY=1")) << manager.Seen() << server.Tail();
    const std::string listening = "STATUS=" + std::to_string(port) + " listening";
    EXPECT_TRUE(manager.Seen().find(listening) != std::string::npos || manager.WaitFor(listening))
        << manager.Seen();

    ASSERT_TRUE(network.AddToLoopback(LATE)) << std::strerror(errno);
    TestClient client;
    ASSERT_TRUE(client.Connect(port, 0ms, LATE, "")) << std::strerror(errno) << server.Tail();
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail();
    ASSERT_TRUE(lon.Write(NumberedTelegram(0xD4, 0)));
    EXPECT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, 0)) << server.Tail();
    EXPECT_EQ(server.CountLines("bind()"), 0u) << server.Tail();
}

}  // namespace
}  // namespace e2e
