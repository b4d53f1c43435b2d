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
// clients are idle (both on a pty), and for one instance on a TUN device, the same figures for
// 257-byte telegrams, with the rate both ways (sent in 4 KiB writes on a pty, at most 256 in
// flight on a TUN device).
//
// Last, monitors beside the served client of one instance on a pty: none, one and four that
// read, one stalled, and one capture reader, taking turns in rounds on one server. The latency
// both ways, the CPU per telegram from the bus at a channel's pace (not a flood's), what each
// reading monitor or capture reader adds of the served client's own, and the stalled
// monitor's and the capture reader's latencies against those without, beside the noise. A figure
// taken while a monitor was not attached throughout is marked invalid.
//
//   telegrams SERVER_BINARY [TELEGRAMS_PER_BURST [LATENCY_SAMPLES]]
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
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

    // The monitors connected now, as the status socket shows them (its one instance).
    int Monitors() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", StatusSocket().c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        std::string text;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
        }
        close(fd);
        const size_t at = text.find("\"monitors\":");
        if (at == std::string::npos) throw std::runtime_error("status socket: no monitors");
        return std::atoi(text.c_str() + at + std::strlen("\"monitors\":"));
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

// Waits until one of `fds` is ready or `until` has come, whichever is first; neither within
// WAIT_SECONDS is a failure.
void Await(pollfd* fds, nfds_t count, Clock::time_point until = Clock::time_point::max()) {
    const Clock::time_point patience = Clock::now() + std::chrono::seconds(WAIT_SECONDS);
    const Clock::time_point end = std::min(until, patience);
    for (;;) {
        const auto left = std::max(Clock::duration::zero(), end - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec wait = {seconds.count(),
                               long(std::chrono::nanoseconds(left - seconds).count())};
        const int r = ppoll(fds, count, &wait, nullptr);
        if (r > 0 || (r == 0 && until < patience)) return;
        if (r == 0) {
            throw std::runtime_error("no progress for " + std::to_string(WAIT_SECONDS) + " s");
        }
        if (errno != EINTR) throw std::runtime_error(std::string("poll: ") + strerror(errno));
    }
}

// The number that Number put in a telegram.
uint32_t NumberOf(const Bytes& telegram) {
    uint32_t number = 0;
    if (telegram.size() >= 6) std::memcpy(&number, &telegram[2], sizeof number);
    return number;
}

// The next telegram at the far end must be the next of the flow, whole. Checked in place: the
// benchmark's own cost per telegram must stay well below the bridge's.
void Check(const Bytes& got, uint32_t number, size_t size) {
    const uint32_t seen = NumberOf(got);
    bool whole = got.size() == size && got[0] == 0x01 && got[1] == uint8_t(size - 2) &&
                 seen == number &&
                 std::all_of(got.begin() + 6, got.end(), [](uint8_t b) { return b == FILLER; });
    if (!whole) {
        throw std::runtime_error("telegram " + std::to_string(number) + " expected, got " +
                                 std::to_string(got.size()) + " bytes numbered " +
                                 std::to_string(seen));
    }
}

// Sends `count` telegrams as fast as both ends take them or, with a `pace` (telegrams per
// second), each written on its own as it falls due; the seconds from the first write to the
// last telegram in.
double Burst(Way& way, uint32_t count, uint32_t pace = 0) {
    uint32_t sent = 0, arrived = 0;
    Bytes telegram, in;
    Number(&telegram, way.next, way.size);
    const Clock::time_point start = Clock::now();
    // When telegram `n` of a paced burst falls due.
    auto dueAt = [&](uint32_t n) {
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(double(n) / pace));
    };
    const uint32_t window = std::min(way.from.Window(), way.to.Window());
    while (arrived < count) {
        uint32_t due = count;
        if (pace > 0) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            due = uint32_t(std::min<double>(count, seconds * pace + 1));
        }
        while (sent < due && sent - arrived < window && way.from.Offer(telegram))
            Number(&telegram, way.next + ++sent, way.size);
        if (sent == due) way.from.Flush();
        while (arrived < count && way.to.Take(&in)) Check(in, way.next + arrived++, way.size);
        if (arrived == count) break;
        const bool room = sent < due && sent - arrived < window;
        short out = room || way.from.Pending() ? POLLOUT : 0;
        pollfd fds[2] = {{way.to.Fd(), POLLIN, 0}, {way.from.Fd(), out, 0}};
        Await(fds, 2, sent == due && sent < count ? dueAt(sent) : Clock::time_point::max());
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
        client = std::make_unique<Client>(port, WAIT_SECONDS,
                                          bridge.framed ? Framing::MESSAGES : Framing::NONE);
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

// Clients with nothing to say, read on a thread of their own: whatever the server sends is
// read, and each sends its keep-alives. What a monitor takes from the bus is checked for order.
class Readers {
  public:
    // What one client took of a flow's telegrams, which come in order.
    struct Seen {
        std::atomic<uint32_t> last{0};   // the number of the last
        std::atomic<uint64_t> taken{0};  // counted after `last` is stored
        std::atomic<bool> gap{false};    // a telegram missing, or one out of order
        std::atomic<bool> gone{false};   // closed by the server
    };

    explicit Readers(std::vector<Client*> clients)
        : clients_(std::move(clients)), seen_(clients_.size()), thread_([this] { Run(); }) {}
    ~Readers() {
        stop_ = true;
        thread_.join();
    }
    size_t Count() const { return clients_.size(); }
    const Seen& Of(size_t i) const { return seen_[i]; }

  private:
    void Run() {
        Bytes got;
        std::vector<pollfd> fds;
        for (Client* c : clients_) fds.push_back({c->Fd(), POLLIN, 0});
        while (!stop_) {
            poll(fds.data(), fds.size(), 20);
            for (size_t i = 0; i < clients_.size(); ++i) {
                if (fds[i].fd < 0) continue;
                Seen& seen = seen_[i];
                // A monitor that fell behind is closed by the server; it is no longer read.
                try {
                    while (clients_[i]->Take(&got)) {
                        const uint32_t number = NumberOf(got);
                        if (seen.taken > 0 && number != seen.last + 1) seen.gap = true;
                        seen.last = number;
                        ++seen.taken;
                    }
                } catch (const std::runtime_error&) {
                    fds[i].fd = -1;
                    seen.gone = true;
                }
            }
        }
    }

    std::vector<Client*> clients_;
    std::vector<Seen> seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void Print(const char* setup, const char* way, const Figures& f) {
    std::printf("%-22s %-9s %10.1f %10.1f %12.0f %14.2f\n", setup, way, f.medianUs, f.p99Us,
                f.perSecond, f.cpuUsPerTelegram);
    std::fflush(stdout);
}

// A server of `instances` instances, each on an interface of `makePeer` with a client of its
// own; the first one with a monitor port and a capture port, unless they are 0.
struct Rig {
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<int> ports;
    std::unique_ptr<Server> server;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<Way> up, down;

    Rig(const std::string& binary, int instances, PeerMaker makePeer, int monitorPort = 0,
        int capturePort = 0) {
        std::vector<std::string> args = {binary}, environment;
        for (int i = 0; i < instances; ++i) {
            peers.push_back(makePeer());
            ports.push_back(FreePort());
            if (i > 0) args.push_back("-i");
            for (const auto& option : peers.back()->Options()) args.push_back(option);
            args.insert(args.end(), {"-p", std::to_string(ports.back())});
            for (const auto& entry : peers.back()->Environment()) environment.push_back(entry);
        }
        char registry[160] = "";
        if (monitorPort != 0) {
            std::snprintf(registry, sizeof registry,
                          "[HKEY_LOCAL_MACHINE\\Quorvel\\Port%d]\n\"MonitorPort\"=dword:%08x\n"
                          "\"CapturePort\"=dword:%08x\n",
                          ports[0], monitorPort, capturePort);
        }
        server = std::make_unique<Server>(args, environment, registry);
    }

    // Connects the clients. Each instance serves once a telegram has gone through it each way.
    // The client's comes first: it waits in the server until the interface is open, while a
    // network interface drops what arrives before.
    void Serve() {
        for (size_t i = 0; i < peers.size(); ++i) {
            clients.push_back(std::make_unique<Client>(ports[i], WAIT_SECONDS));
            up.push_back({*peers[i], *clients[i]});
            down.push_back({*clients[i], *peers[i]});
        }
        for (size_t i = 0; i < peers.size(); ++i) {
            Latencies(down[i], 1);
            Latencies(up[i], 1);
        }
    }

    // Runs `measure`; when it fails, the server's log tells why.
    template <class Measure>
    auto Logged(Measure measure) {
        try {
            return measure();
        } catch (const std::exception&) {
            std::fprintf(stderr, "server log:\n%s\n", server->Tail().c_str());
            throw;
        }
    }
};

// `instances` instances in one server, each on an interface of `makePeer` with a client; the
// first one busy, the others idle. Returns the CPU time per telegram of the busy way from the
// LON interface to the client.
double RunSetup(const char* setup, int instances, PeerMaker makePeer, const Settings& settings) {
    Rig rig(settings.server, instances, makePeer);
    return rig.Logged([&] {
        rig.Serve();
        std::vector<Client*> idle;
        for (size_t i = 1; i < rig.clients.size(); ++i) idle.push_back(rig.clients[i].get());
        Readers keepAlive(idle);
        Burst(rig.up[0], settings.burst / 10);
        Burst(rig.down[0], settings.burst / 10);
        const Figures fromLon = Measure(rig.up[0], *rig.server, settings);
        Print(setup, "LON->TCP", fromLon);
        Print(setup, "TCP->LON", Measure(rig.down[0], *rig.server, settings));
        return fromLon.cpuUsPerTelegram;
    });
}

// The monitors' pace, telegrams from the bus per second. A busy LON channel carries a few
// hundred a second: ten times the fastest still shows what a monitor costs per telegram, and
// readers on a loaded machine keep up with it. At the flood's rate (tens of thousands a
// second) a reader that loses its core for a moment overflows its queue and is dropped, and
// what is measured is then fewer monitors.
constexpr uint32_t MONITOR_PACE = 4000;
// Rounds in which the monitored setups take turns on one server, as the bridges do above.
constexpr int MONITOR_ROUNDS = 10;
// Telegrams from the bus before a stalled monitor's samples: enough to fill its connection
// (its small receive buffer, the server's send buffer), so that its writer waits and its queue
// grows, with room left in the queue for the samples.
constexpr uint32_t STALL_FILL = 200;

// The setups of the monitor section: monitors that read all they get (as many as `reading`,
// none included), or capture readers that do; none, measured just before a stalled one, as its
// reference; one stalled, that never reads while it is measured.
enum class Watch { READING, CAPTURING, BEFORE_STALL, STALLED };

// One setup of the monitor section, and what its rounds gathered: latencies, by the round's
// parity (two halves of the same figure show the noise), and the CPU of the paced flow from
// the bus.
struct Watched {
    const char* name;
    Watch watch;
    int reading;
    std::vector<double> upUs[2] = {}, downUs[2] = {};
    double cpuSeconds = 0;
    uint32_t paced = 0;
    int spoilt = 0;  // measurements during which a monitor was not attached throughout

    double CpuUsPerTelegram() const { return cpuSeconds * 1e6 / paced; }
};

// Waits until each monitor has taken the telegram from the bus numbered `last`, the last one
// sent, or was closed; returns how many were closed.
int Settle(const Readers& readers, uint32_t last) {
    const Clock::time_point patience = Clock::now() + std::chrono::seconds(WAIT_SECONDS);
    int gone = 0;
    for (size_t i = 0; i < readers.Count(); ++i) {
        const Readers::Seen& seen = readers.Of(i);
        while (!seen.gone && !(seen.taken > 0 && seen.last == last)) {
            if (Clock::now() > patience) throw std::runtime_error("a monitor is stuck");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (seen.gap) throw std::runtime_error("a monitor missed a telegram from the bus");
        gone += seen.gone ? 1 : 0;
    }
    return gone;
}

// Waits until the server has `count` monitors.
void AwaitMonitors(const Server& server, int count) {
    const Clock::time_point patience = Clock::now() + std::chrono::seconds(WAIT_SECONDS);
    while (server.Monitors() != count) {
        if (Clock::now() > patience) throw std::runtime_error("monitors not attached");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Reads a stalled monitor at last: true when it had every telegram from the bus numbered
// `first` to `last`, that is, it was attached throughout and never dropped.
bool HadAll(e2e::TestClient& stalled, uint32_t first, uint32_t last) {
    std::optional<uint32_t> previous;
    while (std::optional<Bytes> got = stalled.ReceiveData(std::chrono::seconds(WAIT_SECONDS))) {
        const uint32_t number = NumberOf(*got);
        if (!previous && number > first) return false;
        if (previous && number != *previous + 1) {
            throw std::runtime_error("the stalled monitor missed a telegram from the bus");
        }
        if (number == last) return true;
        previous = number;
    }
    return false;
}

// One round of a setup: the monitors connect, latencies both ways and the paced flow from the
// bus are measured, and the monitors leave.
void Round(Watched& w, Rig& rig, int monitorPort, int capturePort, int round,
           const Settings& settings) {
    Way &up = rig.up[0], &down = rig.down[0];
    const uint32_t samples = settings.samples / MONITOR_ROUNDS;
    auto latencies = [&] {
        std::vector<double> us = Latencies(down, samples);
        w.downUs[round % 2].insert(w.downUs[round % 2].end(), us.begin(), us.end());
        us = Latencies(up, samples);
        w.upUs[round % 2].insert(w.upUs[round % 2].end(), us.begin(), us.end());
    };
    // The stalled monitor and its reference both start after the round's monitors are gone
    // and STALL_FILL telegrams; the stalled one once the server has it.
    if (w.watch == Watch::BEFORE_STALL) {
        AwaitMonitors(*rig.server, 0);
        Burst(up, STALL_FILL);
        latencies();
        return;
    }
    if (w.watch == Watch::STALLED) {
        e2e::TestClient stalled;
        stalled.ShrinkReceiveBuffer();
        if (!stalled.Connect(monitorPort)) throw std::runtime_error("stalled monitor: connect");
        AwaitMonitors(*rig.server, 1);
        Burst(up, STALL_FILL);
        const uint32_t first = up.next;
        latencies();
        if (!HadAll(stalled, first, up.next - 1)) ++w.spoilt;
        return;
    }
    std::vector<std::unique_ptr<Client>> monitors;
    std::vector<Client*> reading;
    for (int i = 0; i < w.reading; ++i) {
        monitors.push_back(
            w.watch == Watch::CAPTURING
                ? std::make_unique<Client>(capturePort, WAIT_SECONDS, Framing::CAPTURE)
                : std::make_unique<Client>(monitorPort, WAIT_SECONDS));
        reading.push_back(monitors.back().get());
    }
    Readers readers(reading);
    // Attached once each monitor has a telegram from the bus: from then on it gets every one.
    for (size_t i = 0; i < readers.Count(); ++i) {
        while (readers.Of(i).taken == 0 && !readers.Of(i).gone) Latencies(up, 1);
    }
    if (Settle(readers, up.next - 1) > 0) throw std::runtime_error("a monitor closed at once");
    latencies();
    const double cpu = rig.server->CpuSeconds();
    const uint32_t count = settings.burst / 10 / MONITOR_ROUNDS;
    Burst(up, count, MONITOR_PACE);
    w.cpuSeconds += rig.server->CpuSeconds() - cpu;
    w.paced += count;
    if (Settle(readers, up.next - 1) > 0) ++w.spoilt;
}

// Latency figures of a setup, over both halves or one.
std::pair<double, double> LatencyOf(const std::vector<double> (&us)[2], int half = -1) {
    if (half >= 0) return Percentiles(us[half]);
    std::vector<double> all = us[0];
    all.insert(all.end(), us[1].begin(), us[1].end());
    return Percentiles(all);
}

// Monitors beside the served client of one instance on a pty: none, one and four that read,
// and one stalled after its reference, taking turns in rounds on one server. Prints latencies
// both ways and the CPU per telegram from the bus at MONITOR_PACE; then what each monitor adds
// to the served client's own CPU per telegram, and the stalled monitor's latencies against its
// reference's, beside the noise (the reference's rounds of one parity against the other's).
void RunMonitors(const Settings& settings) {
    const int monitorPort = FreePort(), capturePort = FreePort();
    Rig rig(settings.server, 1, MakePtyPeer, monitorPort, capturePort);
    Watched setups[] = {
        {"no monitor", Watch::READING, 0},        {"1 monitor", Watch::READING, 1},
        {"4 monitors", Watch::READING, 4},        {"none, before stalled", Watch::BEFORE_STALL, 0},
        {"1 stalled monitor", Watch::STALLED, 0}, {"1 capture reader", Watch::CAPTURING, 1}};
    rig.Logged([&] {
        rig.Serve();
        for (int round = 0; round < MONITOR_ROUNDS; ++round) {
            for (Watched& w : setups) Round(w, rig, monitorPort, capturePort, round, settings);
        }
    });
    std::printf("\nMonitors, 257-byte telegrams, %d rounds; CPU from the bus at %u telegrams/s\n",
                MONITOR_ROUNDS, MONITOR_PACE);
    std::printf("%-22s %21s %21s %14s\n", "", "LON->TCP us", "TCP->LON us", "CPU us/telegr");
    std::printf("%-22s %10s %10s %10s %10s %14s\n", "setup", "median", "p99", "median", "p99",
                "LON->TCP");
    for (const Watched& w : setups) {
        auto [upMedian, upP99] = LatencyOf(w.upUs);
        auto [downMedian, downP99] = LatencyOf(w.downUs);
        std::printf("%-22s %10.1f %10.1f %10.1f %10.1f", w.name, upMedian, upP99, downMedian,
                    downP99);
        if (w.watch == Watch::BEFORE_STALL || w.watch == Watch::STALLED) {
            std::printf(" %14s\n", "-");
        } else {
            std::printf(" %14.2f\n", w.CpuUsPerTelegram());
        }
        if (w.spoilt > 0) {
            std::printf("  INVALID: a monitor was not attached throughout %d of %d measurements\n",
                        w.spoilt, MONITOR_ROUNDS);
        }
    }
    const Watched &none = setups[0], &one = setups[1], &four = setups[2];
    const Watched &before = setups[3], &stalled = setups[4], &capture = setups[5];
    // What a monitor adds, as a share of the served client's own CPU per telegram.
    auto added = [&](const Watched& w) {
        if (none.spoilt > 0 || w.spoilt > 0) return std::string("invalid");
        char text[16];
        std::snprintf(
            text, sizeof text, "%.2f",
            (w.CpuUsPerTelegram() - none.CpuUsPerTelegram()) / w.reading / none.CpuUsPerTelegram());
        return std::string(text);
    };
    std::printf(
        "each monitor adds of the served client's CPU per telegram: %s (1 monitor), %s"
        " (4 monitors); a capture reader adds %s\n",
        added(one).c_str(), added(four).c_str(), added(capture).c_str());
    // Latency ratios, median and p99 both ways: `a` over `b`.
    auto ratios = [](const char* what, std::pair<double, double> aUp, std::pair<double, double> bUp,
                     std::pair<double, double> aDown, std::pair<double, double> bDown) {
        std::printf("%-22s %10.2f %10.2f %10.2f %10.2f\n", what, aUp.first / bUp.first,
                    aUp.second / bUp.second, aDown.first / bDown.first,
                    aDown.second / bDown.second);
    };
    if (stalled.spoilt > 0) {
        std::printf("%-22s invalid\n", "stalled / before");
    } else {
        ratios("stalled / before", LatencyOf(stalled.upUs), LatencyOf(before.upUs),
               LatencyOf(stalled.downUs), LatencyOf(before.downUs));
    }
    ratios("capture reader / none", LatencyOf(capture.upUs), LatencyOf(none.upUs),
           LatencyOf(capture.downUs), LatencyOf(none.downUs));
    ratios("noise: before's halves", LatencyOf(before.upUs, 1), LatencyOf(before.upUs, 0),
           LatencyOf(before.downUs, 1), LatencyOf(before.downUs, 0));
    std::fflush(stdout);
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
        if (std::string why = e2e::TunLon::Unavailable(); why.empty()) {
            bench::RunSetup("1 instance, TUN", 1, bench::MakeTunPeer, settings);
        } else {
            std::printf("network interface (TUN) skipped: %s\n", why.c_str());
        }
        bench::RunMonitors(settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "telegrams: %s\n", e.what());
        return 1;
    }
    return 0;
}
