// Telegrams through the real server: a peer plays the LON interface (a pty as a serial
// interface, or a TUN device as a network interface), a real TCP client the other end. For one
// busy instance alone, and for one busy instance beside seven whose clients are idle (both on
// a pty), and for one instance on a TUN device, it reports the one-way latency both ways
// (median and 99th percentile, one telegram at a time), the rate of a long burst each way
// (257-byte telegrams, sent in 4 KiB writes on a pty, at most 256 in flight on a TUN device)
// and the server's CPU time (user plus system, all threads) per telegram of the burst.
//
//   telegrams SERVER_BINARY [TELEGRAMS_PER_BURST [LATENCY_SAMPLES]]
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench/telegrams/ends.h"
#include "support/child_process.h"
#include "support/ports.h"
#include "support/test_client.h"
#include "support/tun_lon.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WAIT_SECONDS = 20;  // for anything the server must do; more means it is stuck
constexpr size_t TELEGRAM_SIZE = 255 + 2;

struct Settings {
    std::string server;
    uint32_t burst = 200000;
    uint32_t samples = 2000;
};

// The server's debug zones: the error lines only.
constexpr unsigned ZONE_ERROR = 0x10;

// The server as a child process, with the figures this benchmark reads of it.
class Server : public e2e::ChildProcess {
  public:
    // `argv`: the binary and its arguments; `registry` (.reg text) follows the debug zones.
    Server(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
           const std::string& registry)
        : ChildProcess(argv, environment, ZONE_ERROR, registry) {}

    // User plus system time of every thread so far, in seconds.
    double CpuSeconds() const {
        std::ifstream file("/proc/" + std::to_string(Pid()) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // Fields 14 and 15 of the line; the name in field 2 may hold blanks, so count from
        // its closing parenthesis (field 3 is the first after it).
        std::istringstream rest(stat.substr(stat.rfind(')') + 1));
        std::string field;
        for (int i = 3; i < 14; ++i) rest >> field;
        double user = 0, system = 0;
        rest >> user >> system;
        return (user + system) / double(sysconf(_SC_CLK_TCK));
    }
};

// Telegram `number` of a flow: 257 bytes, the number in bytes 2 to 5.
Bytes Numbered(uint32_t number) {
    Bytes telegram(TELEGRAM_SIZE, 0xA5);
    telegram[0] = 0x01;
    telegram[1] = uint8_t(TELEGRAM_SIZE - 2);
    std::memcpy(&telegram[2], &number, sizeof number);
    return telegram;
}

// One way through the bridge, with the number of the next telegram on it.
struct Way {
    End& from;
    End& to;
    uint32_t next = 0;
};

void Await(pollfd* fds, nfds_t count) {
    int r;
    while ((r = poll(fds, count, WAIT_SECONDS * 1000)) < 0 && errno == EINTR) {
    }
    if (r == 0) throw std::runtime_error("no progress for " + std::to_string(WAIT_SECONDS) + " s");
}

// The next telegram at the far end must be the next of the flow, whole.
void Check(const Bytes& got, uint32_t number) {
    if (got != Numbered(number)) {
        uint32_t seen = 0;
        if (got.size() >= 6) std::memcpy(&seen, &got[2], sizeof seen);
        throw std::runtime_error("telegram " + std::to_string(number) + " expected, got " +
                                 std::to_string(got.size()) + " bytes numbered " +
                                 std::to_string(seen));
    }
}

// Sends `count` telegrams as fast as both ends take them; the seconds from the first write to
// the last telegram in.
double Burst(Way& way, uint32_t count) {
    uint32_t sent = 0, arrived = 0;
    Bytes telegram = Numbered(way.next), in;
    const Clock::time_point start = Clock::now();
    const uint32_t window = std::min(way.from.Window(), way.to.Window());
    while (arrived < count) {
        while (sent < count && sent - arrived < window && way.from.Offer(telegram))
            telegram = Numbered(way.next + ++sent);
        if (sent == count) way.from.Flush();
        while (arrived < count && way.to.Take(&in)) Check(in, way.next + arrived++);
        if (arrived == count) break;
        short out = (sent < count && sent - arrived < window) || way.from.Pending() ? POLLOUT : 0;
        pollfd fds[2] = {{way.to.Fd(), POLLIN, 0}, {way.from.Fd(), out, 0}};
        Await(fds, 2);
    }
    way.next += count;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One telegram at a time: the microseconds from each write to its arrival.
std::vector<double> Latencies(Way& way, uint32_t samples) {
    std::vector<double> us;
    Bytes in;
    for (uint32_t i = 0; i < samples; ++i) {
        Bytes telegram = Numbered(way.next);
        const Clock::time_point start = Clock::now();
        if (!way.from.Offer(telegram)) throw std::runtime_error("no room for one telegram");
        while (!way.from.Flush()) {
            pollfd fd = {way.from.Fd(), POLLOUT, 0};
            Await(&fd, 1);
        }
        while (!way.to.Take(&in)) {
            pollfd fd = {way.to.Fd(), POLLIN, 0};
            Await(&fd, 1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        Check(in, way.next++);
    }
    return us;
}

struct Figures {
    double medianUs, p99Us, perSecond, cpuUsPerTelegram;
};

Figures Measure(Way& way, const Server& server, const Settings& settings) {
    std::vector<double> us = Latencies(way, settings.samples);
    std::sort(us.begin(), us.end());
    const double cpu = server.CpuSeconds();
    const double seconds = Burst(way, settings.burst);
    const double cpuUs = (server.CpuSeconds() - cpu) * 1e6 / settings.burst;
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)],
            settings.burst / seconds, cpuUs};
}

// Clients with nothing to say: whatever the server sends is read and dropped, and each sends
// its keep-alives.
class IdleClients {
  public:
    explicit IdleClients(std::vector<Client*> clients)
        : clients_(std::move(clients)), thread_([this] { Run(); }) {}
    ~IdleClients() {
        stop_ = true;
        thread_.join();
    }

  private:
    void Run() {
        Bytes ignored;
        std::vector<pollfd> fds;
        for (Client* c : clients_) fds.push_back({c->Fd(), POLLIN, 0});
        while (!stop_) {
            poll(fds.data(), fds.size(), 200);
            for (size_t i = 0; i < clients_.size(); ++i) {
                if (fds[i].fd < 0) continue;
                // A monitor that fell behind is closed by the server; it is no longer read.
                try {
                    while (clients_[i]->Take(&ignored)) {
                    }
                } catch (const std::runtime_error&) {
                    fds[i].fd = -1;
                }
            }
        }
    }

    std::vector<Client*> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void Print(const char* setup, const char* way, const Figures& f) {
    std::printf("%-22s %-9s %10.1f %10.1f %12.0f %14.2f\n", setup, way, f.medianUs, f.p99Us,
                f.perSecond, f.cpuUsPerTelegram);
    std::fflush(stdout);
}

// Monitors of the first instance (none without a port): `reading` read all they get; a
// `stalled` one never reads, with a small receive buffer, so that the server's queue for it
// fills and it is dropped.
struct Monitoring {
    bool port = false;
    int reading = 0;
    bool stalled = false;
};

// `instances` instances in one server, each on an interface of `makePeer` with a client; the
// first one busy, the others idle. Returns the CPU time per telegram of the busy way from the
// LON interface to the client.
double RunSetup(const char* setup, int instances, PeerMaker makePeer, const Settings& settings,
                const Monitoring& monitoring = {}) {
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<std::string> args = {settings.server}, environment;
    std::vector<int> ports;
    for (int i = 0; i < instances; ++i) {
        peers.push_back(makePeer());
        ports.push_back(FreePort());
        if (i > 0) args.push_back("-i");
        for (const auto& option : peers.back()->Options()) args.push_back(option);
        args.insert(args.end(), {"-p", std::to_string(ports.back())});
        for (const auto& entry : peers.back()->Environment()) environment.push_back(entry);
    }
    const int monitorPort = monitoring.port ? FreePort() : 0;
    char registry[128] = "";
    if (monitoring.port) {
        std::snprintf(registry, sizeof registry,
                      "[HKEY_LOCAL_MACHINE\\Quorvel\\Port%d]\n\"MonitorPort\"=dword:%08x\n",
                      ports[0], monitorPort);
    }
    Server server(args, environment, registry);
    try {
        std::vector<std::unique_ptr<Client>> monitors;
        for (int i = 0; i < monitoring.reading; ++i) {
            monitors.push_back(std::make_unique<Client>(monitorPort, WAIT_SECONDS));
        }
        std::vector<std::unique_ptr<Client>> clients;
        std::vector<Way> up, down;
        for (int i = 0; i < instances; ++i) {
            clients.push_back(std::make_unique<Client>(ports[i], WAIT_SECONDS));
            up.push_back({*peers[i], *clients[i]});
            down.push_back({*clients[i], *peers[i]});
        }
        // The monitor port listens before the instance's own port does.
        e2e::TestClient stalled;
        if (monitoring.stalled) {
            stalled.ShrinkReceiveBuffer();
            if (!stalled.Connect(monitorPort)) throw std::runtime_error("stalled monitor: connect");
        }
        // Each instance serves once a telegram has gone through it each way. The client's
        // comes first: it waits in the server until the interface is open, while a network
        // interface drops what arrives before.
        for (int i = 0; i < instances; ++i) {
            Latencies(down[i], 1);
            Latencies(up[i], 1);
        }
        std::vector<Client*> idle;
        for (int i = 1; i < instances; ++i) idle.push_back(clients[i].get());
        for (auto& monitor : monitors) idle.push_back(monitor.get());
        IdleClients keepAlive(idle);
        if (!monitoring.stalled) {
            Burst(up[0], settings.burst / 10);
            Burst(down[0], settings.burst / 10);
        }
        const Figures fromLon = Measure(up[0], server, settings);
        Print(setup, "LON->TCP", fromLon);
        Print(setup, "TCP->LON", Measure(down[0], server, settings));
        if (monitoring.reading > 0 || monitoring.stalled) {
            std::printf("  monitors dropped as they fell behind: %zu\n",
                        server.CountLines("fell behind"));
        }
        return fromLon.cpuUsPerTelegram;
    } catch (const std::exception&) {
        std::fprintf(stderr, "server log:\n%s\n", server.Tail().c_str());
        throw;
    }
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s SERVER_BINARY [TELEGRAMS_PER_BURST [LATENCY_SAMPLES]]\n",
                     argv[0]);
        return 2;
    }
    bench::Settings settings;
    settings.server = argv[1];
    if (argc > 2) settings.burst = uint32_t(std::stoul(argv[2]));
    if (argc > 3) settings.samples = uint32_t(std::stoul(argv[3]));
    signal(SIGPIPE, SIG_IGN);
    try {
        std::printf("%-22s %-9s %10s %10s %12s %14s\n", "telegrams (257 bytes)", "way", "median us",
                    "p99 us", "telegrams/s", "CPU us/telegr");
        double one = bench::RunSetup("1 instance", 1, bench::MakePtyPeer, settings);
        double eight = bench::RunSetup("8 instances, 7 idle", 8, bench::MakePtyPeer, settings);
        std::printf("CPU per telegram LON->TCP, 8 instances / 1 instance: %.2f\n", eight / one);
        // A monitor's cost against the served client's own: the CPU it adds per telegram, as a
        // share of the CPU of the instance with a monitor port and no monitor.
        const bench::Monitoring port{true, 0, false};
        double none = bench::RunSetup("monitor port, none", 1, bench::MakePtyPeer, settings, port);
        double m1 = bench::RunSetup("1 monitor", 1, bench::MakePtyPeer, settings, {true, 1, false});
        double m4 =
            bench::RunSetup("4 monitors", 1, bench::MakePtyPeer, settings, {true, 4, false});
        std::printf(
            "CPU per telegram LON->TCP: monitor port without monitors / without port %.2f;"
            " each monitor adds %.2f (1 monitor) and %.2f (4 monitors) of the served"
            " client's own\n",
            none / one, (m1 - none) / none, (m4 - none) / 4 / none);
        bench::RunSetup("1 stalled monitor", 1, bench::MakePtyPeer, settings, {true, 0, true});
        if (std::string why = e2e::TunLon::Unavailable(); why.empty()) {
            bench::RunSetup("1 instance, TUN", 1, bench::MakeTunPeer, settings);
        } else {
            std::printf("network interface (TUN) skipped: %s\n", why.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "telegrams: %s\n", e.what());
        return 1;
    }
    return 0;
}
