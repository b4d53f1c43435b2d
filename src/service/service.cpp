#include "service/service.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "mqtt/mqtt.h"
#include "platform/posix.h"
#include "service/notify.h"
#include "service/status_socket.h"
#include "status_text/status_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// After SIGTERM the supervisors have this long to end their cycles, closing their clients and
// interfaces; a thread stuck in a library call is abandoned with the process.
constexpr milliseconds STOP_WAIT{900};
constexpr milliseconds STOP_POLL{20};
// What `offline` on MQTT may take, well inside the unit's stop time.
constexpr milliseconds MQTT_STOP_WAIT{1000};
// At most one line about refused clients per instance and reason in this period, and so at most
// one change of STATUS= for them.
constexpr milliseconds REFUSAL_LINE_PERIOD{1000};
// Without its wake descriptor the service looks at the instances this often instead.
constexpr milliseconds WAKELESS_PERIOD{1000};

struct Service {
    std::vector<ServerInstance*> Instances;
    Notifier Manager{std::getenv("NOTIFY_SOCKET")};
    milliseconds WatchdogInterval{0};  // half of WATCHDOG_USEC; 0 without a watchdog
    ReloadFunction Reload = nullptr;
    int Signals = -1;
    int Wake = -1;
    int StatusListener = -1;
    std::string StatusPath;
    bool Ready = false;
    bool Stalled = false;
    std::string Summary;
    std::vector<std::array<Clock::time_point, REFUSAL_KIND_COUNT>> NextRefusalLine;  // per instance
};

// Never freed: the service thread may still use it while the process exits.
std::atomic<Service*> Current{nullptr};

// Half of WATCHDOG_USEC, when the watchdog is meant for this process (WATCHDOG_PID).
milliseconds WatchdogInterval() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && std::atoll(pid) != getpid())) return milliseconds{0};
    char* end = nullptr;
    unsigned long long value = std::strtoull(usec, &end, 10);
    if (end == usec || *end != '\0' || value == 0) return milliseconds{0};
    return std::max(milliseconds{1}, milliseconds{value / 2000});
}

bool Every(const Service& service, bool (*test)(const ServerInstance&)) {
    for (const ServerInstance* instance : service.Instances) {
        if (!test(*instance)) return false;
    }
    return true;
}

// Has listened, or has ended without ever listening (its settings were malformed, say): an
// instance that will never listen must not hold READY=1 back.
bool ListenedOrEnded(const ServerInstance& instance) {
    return instance.Status.HasListened.load() ||
           instance.Status.State.load(std::memory_order_relaxed) == STATE_ENDED;
}

// Holds neither a client nor an interface: ended, or waiting for a client.
bool Settled(const ServerInstance& instance) {
    int32_t state = instance.Status.State.load(std::memory_order_relaxed);
    return state == STATE_ENDED || state == STATE_LISTENING;
}

// One line for the `refused` clients of `kind` since the instance's last one: the latest of
// them, the port it came to, and how many more.
void TellRefusal(ServerInstance& instance, RefusalKind kind, uint64_t refused) {
    if (!ZoneOn(ZONE_ERROR)) return;
    std::string client = PeerText(LastRefusedOf(instance.Status, kind));
    win::WCHAR more[48] = L"";
    if (refused > 1) {
        win::wsprintfW(
            more,
            kind == REFUSED_BUSY ? L" (and %llu more turned away)" : L" (and %llu more refused)",
            static_cast<unsigned long long>(refused - 1));
    }
    if (kind == REFUSED_BUSY) {
        // Not an error: the port is busy; the journal shows it as information.
        DebugNotice(L"client %hs turned away: port %d serves another client%ls\n", client.c_str(),
                    instance.Port, more);
        return;
    }
    if (kind == REFUSED_CLIENT) {
        DebugPrint(L"Error: client %hs refused, not in AllowFrom of port %d%ls\n", client.c_str(),
                   instance.Port, more);
        return;
    }
    // A watcher: a monitor or a capture reader. Their ports never change while the instance runs.
    const bool capture =
        kind == REFUSED_CAPTURE || kind == REFUSED_CAPTURE_LIMIT || kind == REFUSED_CAPTURE_ROOM;
    const wchar_t* noun = capture ? L"capture reader" : L"monitor";
    const int port = capture ? instance.Access.CapturePort : instance.Access.MonitorPort;
    if (kind == REFUSED_MONITOR || kind == REFUSED_CAPTURE) {
        DebugPrint(L"Error: %ls %hs on port %d refused, not in AllowFrom of port %d%ls\n", noun,
                   client.c_str(), port, instance.Port, more);
    } else if (kind == REFUSED_MONITOR_ROOM || kind == REFUSED_CAPTURE_ROOM) {
        DebugPrint(
            L"Error: %ls %hs on port %d refused: no descriptors to spare for monitors "
            L"(LimitNOFILE)%ls\n",
            noun, client.c_str(), port, more);
    } else {
        int32_t limit;
        {
            std::lock_guard<std::mutex> lock(instance.AccessLock);
            limit = instance.Access.MonitorLimit;
        }
        DebugPrint(L"Error: %ls %hs on port %d refused: MonitorLimit %d reached%ls\n", noun,
                   client.c_str(), port, limit, more);
    }
}

// Clients refused since the last line of their instance and kind get one line, once its period
// is over. So the first of a flood is told at once, and the rest of it a period later. True when
// there was a line.
bool TellRefusals(Service& service) {
    bool told = false;
    Clock::time_point now = Clock::now();
    for (size_t i = 0; i < service.Instances.size(); ++i) {
        for (int32_t k = 0; k < REFUSAL_KIND_COUNT; ++k) {
            auto kind = static_cast<RefusalKind>(k);
            if (now < service.NextRefusalLine[i][kind]) continue;
            uint64_t refused = TakeUntoldRefusals(service.Instances[i]->Status, kind);
            if (refused == 0) continue;
            told = true;
            service.NextRefusalLine[i][kind] = now + REFUSAL_LINE_PERIOD;
            TellRefusal(*service.Instances[i], kind, refused);
        }
    }
    return told;
}

// READY=1 once every port has listened or ended; STATUS= whenever the summary changed.
void TellState(Service& service) {
    // Readiness is judged before the summary is taken, so the summary sent first already shows
    // every instance that made the server ready.
    bool ready = !service.Ready && Every(service, ListenedOrEnded);
    std::string summary = StatusSummary(service.Instances);
    if (summary != service.Summary) {
        service.Manager.Send("STATUS=" + summary);
        service.Summary = summary;
    }
    if (ready) {
        service.Manager.Send("READY=1");
        service.Ready = true;
    }
}

// WATCHDOG=1 while every supervisor is alive; a stuck one stops the pings, once logged.
void FeedWatchdog(Service& service) {
    win::DWORD now = win::GetTickCount();
    for (const ServerInstance* instance : service.Instances) {
        if (SupervisorAlive(instance->Status, now)) continue;
        if (!service.Stalled) {
            DebugPrint(L"Error: MainLoop(%d) has stopped reporting: no more WATCHDOG=1\n",
                       instance->Port);
        }
        service.Stalled = true;
        return;
    }
    service.Stalled = false;
    service.Manager.Send("WATCHDOG=1");
}

// Ends the process with exit status 0 once every supervisor has ended its cycle, closing its
// client and its interface, or when STOP_WAIT is over. A supervisor that waits for a client
// holds neither and is left waiting (waking it would only log a failed accept); one that
// accepts a client now ends that cycle at once.
[[noreturn]] void Stop(Service& service, int signal) {
    RequestStop();
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SIG%hs: ending the server\n", sigabbrev_np(signal));
    service.Manager.Send("STOPPING=1");
    StopMqtt(Clock::now() + MQTT_STOP_WAIT);
    Clock::time_point deadline = Clock::now() + STOP_WAIT;
    while (!Every(service, Settled) && Clock::now() < deadline) {
        std::this_thread::sleep_for(STOP_POLL);
    }
    if (service.StatusListener >= 0) unlink(service.StatusPath.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
}

void OpenStatus(Service& service) {
    service.StatusPath = StatusSocketPath(service.Instances.front()->Port);
    service.StatusListener = OpenStatusSocket(service.StatusPath);
    if (service.StatusListener < 0) {
        DebugPrint(L"No status socket at %hs: %hs\n", service.StatusPath.c_str(),
                   std::strerror(errno));
    }
}

// Until the next watchdog ping or the next due line about refused clients, if any; at most a
// WAKELESS_PERIOD without a wake descriptor.
int PollTimeout(const Service& service, Clock::time_point nextPing) {
    Clock::time_point until =
        service.WatchdogInterval.count() > 0 ? nextPing : Clock::time_point::max();
    if (service.Wake < 0) until = std::min(until, Clock::now() + WAKELESS_PERIOD);
    for (size_t i = 0; i < service.Instances.size(); ++i) {
        for (int32_t kind = 0; kind < REFUSAL_KIND_COUNT; ++kind) {
            if (service.Instances[i]->Status.Refused[kind].Untold.load(std::memory_order_relaxed) !=
                0) {
                until = std::min(until, service.NextRefusalLine[i][kind]);
            }
        }
    }
    if (until == Clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
}

// SIGHUP reloads; a storm of them is taken one at a time, each a whole reading. Any other
// signal ends the server.
void TakeSignal(Service& service) {
    signalfd_siginfo signal{};
    if (win::posix::read(service.Signals, &signal, sizeof signal) != sizeof signal) return;
    int number = static_cast<int>(signal.ssi_signo);
    if (number != SIGHUP) Stop(service, number);
    if (service.Reload != nullptr) service.Reload(service.Instances);
}

void Run(Service& service) {
    SetThreadDebugName(L"Service");
    Clock::time_point nextPing = Clock::now() + service.WatchdogInterval;
    TellState(service);
    for (;;) {
        pollfd events[] = {{service.Signals, POLLIN, 0},
                           {service.Wake, POLLIN, 0},
                           {service.StatusListener, POLLIN, 0}};
        if (win::posix::poll(events, 3, PollTimeout(service, nextPing)) < 0) continue;
        if (events[0].revents & POLLIN) TakeSignal(service);
        bool changed = (events[1].revents & POLLIN) != 0 || service.Wake < 0;
        if (changed) {
            uint64_t changes = 0;
            if (win::posix::read(service.Wake, &changes, sizeof changes) < 0) changes = 0;
        }
        if (TellRefusals(service) || changed) TellState(service);
        if (events[2].revents & POLLIN) {
            ServeStatusClient(service.StatusListener, StatusJsonLines(service.Instances));
        }
        if (service.WatchdogInterval.count() > 0 && Clock::now() >= nextPing) {
            FeedWatchdog(service);
            nextPing = Clock::now() + service.WatchdogInterval;
        }
    }
}

// An instance's state changed (the status listener): the service thread and MQTT tell of it.
// This runs on the supervisors' and pumps' threads, whose injected faults are meant for their
// own calls, so the write goes straight to Linux.
void WakeService() {
    WakeMqtt();
    Service* service = Current.load();
    uint64_t one = 1;
    if (service != nullptr && write(service->Wake, &one, sizeof one) < 0) return;
}

}  // namespace

void StartService(ServerInstance** table, int lastIndex, ReloadFunction reload) {
    auto* service = new Service;
    service->Reload = reload;
    win::DWORD now = win::GetTickCount();
    for (int slot = 0; slot <= lastIndex; ++slot) {
        if (table[slot] == nullptr) continue;
        table[slot]->Status.LastReport.store(now, std::memory_order_relaxed);
        service->Instances.push_back(table[slot]);
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    service->Signals = win::posix::signalfd(&signals, SFD_CLOEXEC);
    if (service->Signals < 0) {
        // Blocked and never read, the signals would be lost: the server could not be stopped.
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(
                L"Error: no signalfd (%hs): SIGTERM and SIGINT end the server unordered, SIGHUP "
                L"reloads nothing\n",
                std::strerror(errno));
        }
        signal(SIGHUP, SIG_IGN);
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    }
    service->Wake = win::posix::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (service->Wake < 0 && ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"Error: no eventfd (%hs): the state is told within a second\n",
                   std::strerror(errno));
    }
    service->WatchdogInterval = WatchdogInterval();
    service->NextRefusalLine.resize(service->Instances.size());
    OpenStatus(*service);
    StartMqtt(service->Instances);
    Current.store(service);
    SetStatusListener(WakeService);
    std::thread([service] { Run(*service); }).detach();
}

void EndService() {
    Service* service = Current.load();
    if (service == nullptr) return;
    while (StopRequested()) pause();
    if (service->StatusListener >= 0) unlink(service->StatusPath.c_str());
}
