// The fault soak: the real server on a pty (a serial LON interface) with every platform system
// call failing now and then by seeded chance (VELTRABOX_FAULTS), and a client that connects,
// passes telegrams both ways one at a time, and leaves, cycle after cycle. It fails when the
// server ends, when a telegram arrives corrupted, doubled or out of order, when one is lost
// without an injected fault in its cycle, or when descriptors, threads, heap or resident
// memory grow. The heap figure is what malloc has in use, as the server reports it with each
// injected fault (0 under a sanitizer, whose allocator it does not see).
//
//   faultsoak SERVER_BINARY [CYCLES [SEED [CHANCE_PER_MILLION]]]
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "bench/telegrams/ends.h"
#include "support/child_process.h"
#include "support/ports.h"
#include "support/test_client.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int TELEGRAMS_PER_CYCLE = 4;  // each way
constexpr auto ARRIVAL_WAIT = std::chrono::seconds(3);
constexpr int CONNECT_SECONDS = 20;
constexpr long RSS_SLACK_KIB = 1024;
constexpr long HEAP_SLACK_BYTES = 256 * 1024;

// What fails, and how: each of the layer's calls with an error a real system gives it.
constexpr const char* FAULTS[] = {
    "socket:EMFILE", "accept:EMFILE", "send:EPIPE",  "recv:ECONNRESET", "poll:ENOMEM",
    "read:EIO",      "write:EIO",     "open:EACCES", "eventfd:EMFILE",  "mmap:ENOMEM"};

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

// The server as a child process (its error lines only), its standard error read as it grows.
class Server : public e2e::ChildProcess {
  public:
    // `argv`: the binary and its arguments.
    Server(const std::vector<std::string>& argv, const std::string& faults)
        : ChildProcess(argv, {"VELTRABOX_FAULTS=" + faults}, 0x10, "") {}

    // Reads what the log gained: counts the injected faults by call and keeps the last heap
    // figure.
    void Scan() {
        std::vector<std::string> lines = Lines(scanned_);
        scanned_ += lines.size();
        for (const std::string& line : lines) {
            if (line.rfind("faults: ", 0) != 0 || line.find(" fails with ") == std::string::npos) {
                continue;
            }
            ++faults_;
            ++byCall_[line.substr(8, line.find(' ', 8) - 8)];
            size_t heap = line.find("heap in use ");
            if (heap != std::string::npos) heapInUse_ = std::stol(line.substr(heap + 12));
        }
    }
    uint64_t Faults() {
        Scan();
        return faults_;
    }
    const std::map<std::string, uint64_t>& ByCall() const { return byCall_; }
    long HeapInUse() const { return heapInUse_; }

    long Descriptors() const {
        long n = 0;
        for ([[maybe_unused]] auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(Pid()) + "/fd")) {
            ++n;
        }
        return n;
    }
    long StatusField(const char* name) const {
        std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::strlen(name)));
        }
        return -1;
    }
    long Threads() const { return StatusField("Threads:"); }
    long RssKib() const { return StatusField("VmRSS:"); }

  private:
    size_t scanned_ = 0;
    uint64_t faults_ = 0;
    std::map<std::string, uint64_t> byCall_;
    long heapInUse_ = 0;
};

// Telegram `number` of way `way`: [0][10][way][number, 4 bytes][cycle, 2 bytes][3 bytes of
// checksum], so that a corrupted one is known as such.
Bytes Numbered(uint8_t way, uint32_t number, uint32_t cycle) {
    Bytes t = {0x00, 10, way};
    for (int i = 0; i < 4; ++i) t.push_back(uint8_t(number >> (8 * i)));
    t.push_back(uint8_t(cycle));
    t.push_back(uint8_t(cycle >> 8));
    uint32_t sum = 0x5A5A5A;
    for (uint8_t byte : t) sum = (sum * 31 + byte) & 0xFFFFFF;
    for (int i = 0; i < 3; ++i) t.push_back(uint8_t(sum >> (8 * i)));
    return t;
}

bool Intact(const Bytes& t, uint8_t way, uint32_t* number) {
    if (t.size() != 12 || t[2] != way) return false;
    *number = t[3] | uint32_t(t[4]) << 8 | uint32_t(t[5]) << 16 | uint32_t(t[6]) << 24;
    uint32_t cycle = t[7] | uint32_t(t[8]) << 8;
    return Numbered(way, *number, cycle) == t;
}

// One direction of the flow, checked at its far end.
struct Way {
    Way(const char* wayName, uint8_t wayTag) : name(wayName), tag(wayTag) {}
    const char* name;
    uint8_t tag;
    uint32_t next = 0;                         // the number of the next telegram to send
    int64_t lastArrived = -1;                  // the number of the last one that arrived
    std::vector<uint64_t> faultsAtCycleStart;  // by number: the fault count when its cycle began
    uint64_t lost = 0;
    uint64_t arrived = 0;
};

struct Sample {
    uint32_t cycle;
    long fds, threads, rssKib, heap;
    uint64_t faults;
};

class Soak {
  public:
    Soak(const std::string& binary, uint32_t cycles, uint64_t seed, uint32_t chance)
        : cycles_(cycles), peer_(MakePtyPeer()), port_(FreePort()) {
        std::string faults = "seed=" + std::to_string(seed);
        for (const char* fault : FAULTS)
            faults += std::string(",") + fault + ":~" + std::to_string(chance);
        std::vector<std::string> argv = {binary, "-p", std::to_string(port_)};
        for (auto& option : peer_->Options()) argv.push_back(option);
        server_ = std::make_unique<Server>(argv, faults);
    }

    void Run() {
        AwaitListening();
        std::printf("%8s %6s %8s %10s %10s %8s\n", "cycle", "fds", "threads", "rss_kib", "heap",
                    "faults");
        TakeSample(0);
        for (uint32_t cycle = 1; cycle <= cycles_; ++cycle) {
            RunCycle(cycle);
            if (!server_->Running()) Fail("the server ended\n" + server_->Tail());
            if (cycle == cycles_ / 2 || cycle == cycles_) TakeSample(cycle);
        }
        CheckFlat();
        Report();
    }

  private:
    // Connects, passes telegrams both ways one at a time, leaves. A cycle broken on the way
    // (the server closed the client, or a telegram did not come) must have had a fault.
    void RunCycle(uint32_t cycle) {
        const uint64_t faultsAtStart = server_->Faults();
        try {
            Client client(port_, CONNECT_SECONDS);
            for (int i = 0; i < TELEGRAMS_PER_CYCLE; ++i) {
                if (!Pass(up_, client, *peer_, cycle, faultsAtStart) ||
                    !Pass(down_, *peer_, client, cycle, faultsAtStart)) {
                    ++broken_;
                    return;
                }
            }
        } catch (const std::runtime_error& e) {
            if (server_->Faults() == faultsAtStart) {
                Fail(std::string("cycle ") + std::to_string(cycle) +
                     " broke without an injected fault: " + e.what() + "\n" + server_->Tail());
            }
            ++broken_;
        }
    }

    // Sends the next telegram of `way` and waits for it at the far end. False when it did
    // not come and a fault explains it.
    bool Pass(Way& way, End& from, End& to, uint32_t cycle, uint64_t faultsAtStart) {
        const uint32_t number = way.next++;
        way.faultsAtCycleStart.push_back(faultsAtStart);
        while (!from.Offer(Numbered(way.tag, number, cycle))) Await(from, POLLOUT);
        while (!from.Flush()) Await(from, POLLOUT);
        const auto deadline = Clock::now() + ARRIVAL_WAIT;
        while (way.lastArrived < int64_t(number)) {
            Bytes telegram;
            if (to.Take(&telegram)) {
                Arrived(way, telegram);
                continue;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd fds[2] = {{to.Fd(), POLLIN, 0}, {from.Fd(), POLLIN, 0}};
            if (left.count() <= 0 || poll(fds, 2, int(left.count())) == 0) {
                if (server_->Faults() == faultsAtStart) {
                    Fail(std::string(way.name) + " telegram " + std::to_string(number) +
                         " stuck without an injected fault\n" + server_->Tail());
                }
                return false;
            }
            // The client's own end may show the server's close first.
            if (fds[1].revents) {
                Bytes ignored;
                while (from.Take(&ignored)) {
                }
            }
        }
        return true;
    }

    // A telegram at the far end: whole, later than the last, and every one skipped lost to a
    // fault injected in its cycle.
    void Arrived(Way& way, const Bytes& telegram) {
        uint32_t number = 0;
        if (!Intact(telegram, way.tag, &number)) Fail(std::string(way.name) + ": corrupted");
        if (int64_t(number) <= way.lastArrived) {
            Fail(std::string(way.name) + " telegram " + std::to_string(number) +
                 " doubled or out of order\n" + server_->Tail());
        }
        const uint64_t faults = server_->Faults();
        for (uint32_t missing = uint32_t(way.lastArrived + 1); missing < number; ++missing) {
            if (faults == way.faultsAtCycleStart[missing]) {
                Fail(std::string(way.name) + " telegram " + std::to_string(missing) +
                     " lost without an injected fault\n" + server_->Tail());
            }
            ++way.lost;
        }
        way.lastArrived = number;
        ++way.arrived;
    }

    void Await(End& end, short events) {
        pollfd fd{end.Fd(), events, 0};
        if (poll(&fd, 1, int(std::chrono::milliseconds(ARRIVAL_WAIT).count())) <= 0) {
            Fail("no room to send\n" + server_->Tail());
        }
    }

    // The baseline is the server waiting for its first client.
    void AwaitListening() {
        bool listening = false;
        e2e::AwaitCondition(
            [&] {
                listening = e2e::SocketsInState(port_, e2e::TCP_LISTEN) > 0;
                return listening || !server_->Running();
            },
            std::chrono::seconds(CONNECT_SECONDS));
        if (!listening) Fail("the server does not listen\n" + server_->Tail());
    }

    // Figures once the server is back waiting for its next client: a cycle's threads and
    // descriptors may take a moment to go after the client has left.
    void TakeSample(uint32_t cycle) {
        Sample s{};
        for (int i = 0; i < 200; ++i) {
            s = {cycle, server_->Descriptors(), server_->Threads(), server_->RssKib(),
                 0,     server_->Faults()};
            if (samples_.empty() || (s.fds <= samples_[0].fds && s.threads <= samples_[0].threads))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        s.heap = server_->HeapInUse();
        samples_.push_back(s);
        std::printf("%8u %6ld %8ld %10ld %10ld %8llu\n", s.cycle, s.fds, s.threads, s.rssKib,
                    s.heap, static_cast<unsigned long long>(s.faults));
        std::fflush(stdout);
    }

    void CheckFlat() {
        const Sample& first = samples_.front();
        const Sample& middle = samples_[samples_.size() / 2];
        const Sample& last = samples_.back();
        if (last.fds > first.fds) Fail("descriptors grew");
        if (last.threads > first.threads) Fail("threads grew");
        // Memory settles in the first half; the second half must not add to it.
        if (last.rssKib > middle.rssKib + RSS_SLACK_KIB) Fail("resident memory grew");
        if (middle.heap > 0 && last.heap > middle.heap + HEAP_SLACK_BYTES) Fail("heap grew");
    }

    void Report() {
        std::printf("cycles %u, broken by faults %llu\n", cycles_,
                    static_cast<unsigned long long>(broken_));
        for (const Way* way : {&up_, &down_}) {
            std::printf("%s: %u sent, %llu arrived intact in order, %llu lost to faults\n",
                        way->name, way->next, static_cast<unsigned long long>(way->arrived),
                        static_cast<unsigned long long>(way->lost));
        }
        std::printf("faults injected: %llu (", static_cast<unsigned long long>(server_->Faults()));
        const char* separator = "";
        for (const auto& [call, count] : server_->ByCall()) {
            std::printf("%s%s %llu", separator, call.c_str(),
                        static_cast<unsigned long long>(count));
            separator = ", ";
        }
        std::printf(")\n");
    }

    const uint32_t cycles_;
    std::unique_ptr<Peer> peer_;
    const int port_;
    std::unique_ptr<Server> server_;
    Way up_{"client to bus", 0xA1};
    Way down_{"bus to client", 0xB2};
    uint64_t broken_ = 0;
    std::vector<Sample> samples_;
};

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SERVER_BINARY [CYCLES [SEED [CHANCE_PER_MILLION]]]\n",
                     argv[0]);
        return 2;
    }
    uint32_t cycles = argc > 2 ? uint32_t(std::stoul(argv[2])) : 3000;
    uint64_t seed = argc > 3 ? std::stoull(argv[3]) : 1;
    uint32_t chance = argc > 4 ? uint32_t(std::stoul(argv[4])) : 3000;
    signal(SIGPIPE, SIG_IGN);
    std::printf("fault soak: %u cycles, seed %llu, each call fails with chance %u in a million\n",
                cycles, static_cast<unsigned long long>(seed), chance);
    try {
        bench::Soak(argv[1], cycles, seed, chance).Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAILED: %s\n", e.what());
        return 1;
    }
    std::printf("passed\n");
    return 0;
}
