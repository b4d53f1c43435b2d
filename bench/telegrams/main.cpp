// Telegrams through the real server: a peer plays the LON interface (a pty as a serial
// interface, or a TUN device as a network interface), a real TCP client the other end.
//
// First the server beside the bridges that others use between a serial line and TCP, socat
// (with TCP_NODELAY) and ser2net (tuned: TCP_NODELAY, no character delay, 4 KiB buffers), each
// on the same pty with the same client and telegrams, for 8, 32 and 257-byte telegrams: the
// one-way latency both ways (median and 99th percentile, one telegram at a time), the rate of a
// burst from the line to the client and the bridge's CPU time per telegram of it, with the
// server's ratio to the best of the others on each figure. Those do not frame: their client
// takes the line's bytes as they are, while ours takes one message per telegram.
//
// Then the server alone: for one busy instance, for one busy instance beside seven whose
// clients are idle (both on a pty), with monitors, and for one instance on a TUN device, the
// same figures for 257-byte telegrams, with the rate both ways (sent in 4 KiB writes on a pty,
// at most 256 in flight on a TUN device).
//
//   telegrams SERVER_BINARY [TELEGRAMS_PER_BURST [LATENCY_SAMPLES]]
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <tuple>

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
constexpr uint8_t FILLER = 0xA5;

struct Settings {
    std::string server;
    uint32_t burst = 200000;
    uint32_t samples = 2000;
    // Bytes of telegrams in a burst of the comparison, whatever their size.
    size_t comparedBytes = 16 << 20;
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

    // CPU time of the live threads so far, in seconds: the scheduler's own count, finer than
    // the clock ticks of /proc/PID/stat.
    double CpuSeconds() const {
        const std::string tasks = "/proc/" + std::to_string(Pid()) + "/task";
        double ns = 0;
        DIR* dir = opendir(tasks.c_str());
        if (!dir) throw std::runtime_error("cannot read " + tasks);
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
            double running = 0;
            if (schedstat >> running) ns += running;
        }
        closedir(dir);
        return ns / 1e9;
    }
};

// Telegram `number` of a flow: `size` bytes, the number in bytes 2 to 5.
void Number(Bytes* telegram, uint32_t number, size_t size) {
    telegram->assign(size, FILLER);
    (*telegram)[0] = 0x01;
    (*telegram)[1] = uint8_t(size - 2);
    std::memcpy(telegram->data() + 2, &number, sizeof number);
}

// One way through the bridge, with the number of the next telegram on it.
struct Way {
    End& from;
    End& to;
    size_t size = TELEGRAM_SIZE;
    uint32_t next = 0;
};

void Await(pollfd* fds, nfds_t count) {
    int r;
    while ((r = poll(fds, count, WAIT_SECONDS * 1000)) < 0 && errno == EINTR) {
    }
    if (r == 0) throw std::runtime_error("no progress for " + std::to_string(WAIT_SECONDS) + " s");
}

// The next telegram at the far end must be the next of the flow, whole. Checked in place: the
// benchmark's own cost per telegram must stay well below the bridge's.
void Check(const Bytes& got, uint32_t number, size_t size) {
    uint32_t seen = 0;
    if (got.size() >= 6) std::memcpy(&seen, &got[2], sizeof seen);
    bool whole = got.size() == size && got[0] == 0x01 && got[1] == uint8_t(size - 2) &&
                 seen == number &&
                 std::all_of(got.begin() + 6, got.end(), [](uint8_t b) { return b == FILLER; });
    if (!whole) {
        throw std::runtime_error("telegram " + std::to_string(number) + " expected, got " +
                                 std::to_string(got.size()) + " bytes numbered " +
                                 std::to_string(seen));
    }
}

// Sends `count` telegrams as fast as both ends take them; the seconds from the first write to
// the last telegram in.
double Burst(Way& way, uint32_t count) {
    uint32_t sent = 0, arrived = 0;
    Bytes telegram, in;
    Number(&telegram, way.next, way.size);
    const Clock::time_point start = Clock::now();
    const uint32_t window = std::min(way.from.Window(), way.to.Window());
    while (arrived < count) {
        while (sent < count && sent - arrived < window && way.from.Offer(telegram))
            Number(&telegram, way.next + ++sent, way.size);
        if (sent == count) way.from.Flush();
        while (arrived < count && way.to.Take(&in)) Check(in, way.next + arrived++, way.size);
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
    Bytes telegram, in;
    for (uint32_t i = 0; i < samples; ++i) {
        Number(&telegram, way.next, way.size);
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
        Check(in, way.next++, way.size);
    }
    return us;
}

struct Figures {
    double medianUs, p99Us, perSecond, cpuUsPerTelegram;
};

// Median and 99th percentile.
std::pair<double, double> Percentiles(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

// A burst of `count`: telegrams per second, and the bridge's CPU time per telegram in us.
std::pair<double, double> Throughput(Way& way, const Server& server, uint32_t count) {
    const double cpu = server.CpuSeconds();
    const double seconds = Burst(way, count);
    return {count / seconds, (server.CpuSeconds() - cpu) * 1e6 / count};
}

Figures Measure(Way& way, const Server& server, const Settings& settings) {
    auto [median, p99] = Percentiles(Latencies(way, settings.samples));
    auto [perSecond, cpuUs] = Throughput(way, server, settings.burst);
    return {median, p99, perSecond, cpuUs};
}

// A bridge between the pty and a TCP port: the server, or one that others use.
struct Bridge {
    const char* name;
    bool framed;  // speaks the server's message framing
    std::string binary;
    std::vector<std::string> (*args)(const std::string& pty, int port, const std::string& pidFile);
};

std::vector<std::string> OurArgs(const std::string& pty, int port, const std::string&) {
    return {"-d", pty, "-p", std::to_string(port)};
}

std::vector<std::string> SocatArgs(const std::string& pty, int port, const std::string&) {
    return {"TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,nodelay",
            "FILE:" + pty + ",rawer"};
}

// Tuned for speed: TCP_NODELAY, no pause after characters, 4 KiB buffers each way.
std::vector<std::string> Ser2netArgs(const std::string& pty, int port, const std::string& pidFile) {
    return {"-n", "-u",
            "-P", pidFile,
            "-Y", "connection: &bench",
            "-Y", "  accepter: tcp(nodelay),127.0.0.1," + std::to_string(port),
            "-Y", "  connector: serialdev," + pty + ",115200n81,local",
            "-Y", "  options:",
            "-Y", "    chardelay: false",
            "-Y", "    dev-to-net-bufsize: 4096",
            "-Y", "    net-to-dev-bufsize: 4096"};
}

// The figures of the comparison, for one bridge and one telegram size.
struct Compared {
    double upMedianUs, upP99Us, downMedianUs, downP99Us, perSecond, cpuUsPerTelegram;
};

// Rounds in which the bridges take turns: the machine's speed drifts, and each bridge gets a
// share of every stretch of it.
constexpr int ROUNDS = 20;

// The bridge's program and its arguments.
std::vector<std::string> Command(const Bridge& bridge, const std::string& pty, int port,
                                 const std::string& pidFile) {
    std::vector<std::string> argv = bridge.args(pty, port, pidFile);
    argv.insert(argv.begin(), bridge.binary);
    return argv;
}

// One bridge running on a pty of its own with its client, and what its rounds gathered.
struct Contender {
    const Bridge& bridge;
    std::unique_ptr<Peer> peer = MakePtyPeer();
    const int port = FreePort();
    const std::string pidFile = "/tmp/veltrabench-" + std::to_string(port) + ".pid";
    Server server;
    std::unique_ptr<Client> client;
    std::unique_ptr<Way> up, down;
    std::vector<double> upUs, downUs;
    double seconds = 0, cpuSeconds = 0;
    uint32_t burst = 0;

    Contender(const Bridge& b, size_t size)
        : bridge(b), server(Command(b, peer->Options()[1], port, pidFile), {}, "") {
        client = std::make_unique<Client>(port, WAIT_SECONDS, bridge.framed);
        up = std::make_unique<Way>(Way{*peer, *client, size});
        down = std::make_unique<Way>(Way{*client, *peer, size});
        // Serving once a telegram has gone through each way; the client's first, as it waits
        // in the bridge until the line is open.
        Latencies(*down, 1);
        Latencies(*up, 1);
    }
    ~Contender() { unlink(pidFile.c_str()); }

    void Round(uint32_t samples, uint32_t count) {
        std::vector<double> us = Latencies(*up, samples);
        upUs.insert(upUs.end(), us.begin(), us.end());
        us = Latencies(*down, samples);
        downUs.insert(downUs.end(), us.begin(), us.end());
        const double cpu = server.CpuSeconds();
        seconds += Burst(*up, count);
        cpuSeconds += server.CpuSeconds() - cpu;
        burst += count;
    }

    Compared Result() const {
        Compared c{};
        std::tie(c.upMedianUs, c.upP99Us) = Percentiles(upUs);
        std::tie(c.downMedianUs, c.downP99Us) = Percentiles(downUs);
        c.perSecond = burst / seconds;
        c.cpuUsPerTelegram = cpuSeconds * 1e6 / burst;
        return c;
    }
};

void PrintCompared(const char* name, const Compared& c) {
    std::printf("%-22s %9.1f %9.1f %9.1f %9.1f %12.0f %9.2f\n", name, c.upMedianUs, c.upP99Us,
                c.downMedianUs, c.downP99Us, c.perSecond, c.cpuUsPerTelegram);
}

// Ours against `other` on each figure: below 1 is better for latency and CPU, above 1 for rate.
void PrintRatio(const char* name, const Compared& ours, const Compared& other) {
    std::printf("%-22s %9.2f %9.2f %9.2f %9.2f %12.2f %9.2f\n", name,
                ours.upMedianUs / other.upMedianUs, ours.upP99Us / other.upP99Us,
                ours.downMedianUs / other.downMedianUs, ours.downP99Us / other.downP99Us,
                ours.perSecond / other.perSecond, ours.cpuUsPerTelegram / other.cpuUsPerTelegram);
}

// The server beside socat and ser2net, one telegram size after another, each bridge on a pty
// of its own with the same client and telegrams, all three running while they take turns.
void ComparePeers(const Settings& settings) {
    const Bridge bridges[] = {{"veltrabox", true, settings.server, OurArgs},
                              {"socat (nodelay)", false, "/usr/bin/socat", SocatArgs},
                              {"ser2net (tuned)", false, "/usr/sbin/ser2net", Ser2netArgs}};
    for (size_t size : {size_t(8), size_t(32), TELEGRAM_SIZE}) {
        std::printf("\n%3zu-byte telegrams     %19s %19s %12s %9s\n", size, "LON->TCP us",
                    "TCP->LON us", "LON->TCP", "CPU us");
        std::printf("%-22s %9s %9s %9s %9s %12s %9s\n", "bridge", "median", "p99", "median", "p99",
                    "telegrams/s", "/telegr");
        std::vector<std::unique_ptr<Contender>> contenders;
        const uint32_t count = uint32_t(settings.comparedBytes / size);
        try {
            for (const Bridge& bridge : bridges) {
                contenders.push_back(std::make_unique<Contender>(bridge, size));
                Burst(*contenders.back()->up, count / 10);
            }
            for (int round = 0; round < ROUNDS; ++round) {
                for (auto& c : contenders) c->Round(settings.samples / ROUNDS, count / ROUNDS);
            }
        } catch (const std::exception&) {
            for (auto& c : contenders) {
                std::fprintf(stderr, "%s log:\n%s\n", c->bridge.name, c->server.Tail().c_str());
            }
            throw;
        }
        std::vector<Compared> results;
        for (auto& c : contenders) {
            results.push_back(c->Result());
            PrintCompared(c->bridge.name, results.back());
        }
        Compared best = results[1];
        for (size_t i = 2; i < results.size(); ++i) {
            const Compared& c = results[i];
            best.upMedianUs = std::min(best.upMedianUs, c.upMedianUs);
            best.upP99Us = std::min(best.upP99Us, c.upP99Us);
            best.downMedianUs = std::min(best.downMedianUs, c.downMedianUs);
            best.downP99Us = std::min(best.downP99Us, c.downP99Us);
            best.perSecond = std::max(best.perSecond, c.perSecond);
            best.cpuUsPerTelegram = std::min(best.cpuUsPerTelegram, c.cpuUsPerTelegram);
        }
        PrintRatio("ours / best peer", results[0], best);
        PrintRatio("ours / ser2net", results[0], results[2]);
        std::fflush(stdout);
    }
    std::printf("\n");
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
        bench::ComparePeers(settings);
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
