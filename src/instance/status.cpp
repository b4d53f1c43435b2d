#include "instance/status.h"

#include <ctime>
#include <cwchar>

#include "platform/win.h"

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;

std::atomic<void (*)()> Listener{nullptr};
std::atomic<bool> Stopping{false};

void Tell() {
    void (*wake)() = Listener.load();
    if (wake != nullptr) wake();
}

// Every change of state is also a report of the supervisor, and the service hears of it.
void SetState(InstanceStatus& status, InstanceState state) {
    status.LastReport.store(win::GetTickCount(), RELAXED);
    if (status.State.exchange(state, RELAXED) != state) Tell();
}

void ClearClient(InstanceStatus& status) {
    {
        std::lock_guard<std::mutex> lock(status.PeerLock);
        status.Client = PeerAddress{};
    }
    status.ConnectedSince.store(0, RELAXED);
}

void Count(InstanceStatus& status, StatusCounter counter, uint64_t amount) {
    status.Counters[counter].fetch_add(amount, RELAXED);
}

}  // namespace

void SetStatusListener(void (*wake)()) {
    Listener.store(wake);
}

void RequestStop() {
    Stopping.store(true);
    win::SetEvent(StopEvent());
}

bool StopRequested() {
    return Stopping.load(std::memory_order_relaxed);
}

win::HANDLE StopEvent() {
    static const win::HANDLE event = win::CreateEventW(nullptr, win::TRUE, win::FALSE, nullptr);
    return event;
}

// The state before the flag, and the service told after both: whoever sees the flag sees the
// state, so READY=1 never goes out ahead of the STATUS= that shows the instance listening.
void ReportListening(InstanceStatus& status) {
    ClearClient(status);
    status.LastReport.store(win::GetTickCount(), RELAXED);
    bool changed = status.State.exchange(STATE_LISTENING) != STATE_LISTENING;
    status.HasListened.store(true);
    if (changed) Tell();
}

void ReportClient(InstanceStatus& status, const PeerAddress& peer) {
    status.ConnectedSince.store(std::time(nullptr), RELAXED);
    {
        std::lock_guard<std::mutex> lock(status.PeerLock);
        status.Client = peer;
    }
    SetState(status, STATE_CONNECTED);
}

PeerAddress ClientOf(const InstanceStatus& status) {
    std::lock_guard<std::mutex> lock(status.PeerLock);
    return status.Client;
}

PeerAddress LastRefusedOf(const InstanceStatus& status, RefusalKind kind) {
    std::lock_guard<std::mutex> lock(status.PeerLock);
    return status.Refused[kind].Last;
}

std::string PeerText(const PeerAddress& peer) {
    const IpAddress& address = peer.Address;
    if (address.Version == 0) return "";
    win::WCHAR text[46];
    if (win::InetNtopW(address.Version == 4 ? win::AF_INET : win::AF_INET6, address.Bytes, text,
                       46) == nullptr) {
        return "";
    }
    std::string host(text, text + std::wcslen(text));
    if (address.Version == 6) host = "[" + host + "]";
    return host + ":" + std::to_string(peer.Port);
}

void ReportRestart(InstanceStatus& status, RestartReason reason) {
    ClearClient(status);
    status.LastRestartReason.store(reason, RELAXED);
    Count(status, COUNT_RESTARTS, 1);
    bool lonSide = reason == REASON_LON_OPEN_FAILED || reason == REASON_LON_READ_FAILED ||
                   reason == REASON_LON_WRITE_FAILED;
    if (lonSide) Count(status, COUNT_INTERFACE_FAILURES, 1);
    SetState(status, STATE_RESTARTING);
}

void ReportEnded(InstanceStatus& status) {
    ClearClient(status);
    SetState(status, STATE_ENDED);
}

void ReportAlive(InstanceStatus& status) {
    status.LastReport.store(win::GetTickCount(), RELAXED);
}

void CountToClient(InstanceStatus& status, uint32_t bytes) {
    Count(status, COUNT_TO_CLIENT, 1);
    Count(status, COUNT_BYTES_TO_CLIENT, bytes);
}

void CountToBus(InstanceStatus& status, uint32_t bytes) {
    Count(status, COUNT_TO_BUS, 1);
    Count(status, COUNT_BYTES_TO_BUS, bytes);
}

void CountKeepAlive(InstanceStatus& status) {
    Count(status, COUNT_KEEPALIVES_SENT, 1);
}

void CountMqttDropped(InstanceStatus& status) {
    Count(status, COUNT_MQTT_DROPPED, 1);
}

void CountRefused(InstanceStatus& status, RefusalKind kind, const PeerAddress& peer) {
    if (kind == REFUSED_MONITOR_LIMIT || kind == REFUSED_MONITOR_ROOM) {
        Count(status, COUNT_MONITORS_DROPPED, 1);
    } else if (kind == REFUSED_CAPTURE_LIMIT || kind == REFUSED_CAPTURE_ROOM) {
        Count(status, COUNT_CAPTURE_DROPPED, 1);
    } else if (kind != REFUSED_BUSY) {
        Count(status, COUNT_REFUSED_CLIENTS, 1);
    }
    RefusalTally& tally = status.Refused[kind];
    {
        std::lock_guard<std::mutex> lock(status.PeerLock);
        tally.Last = peer;
    }
    // Later ones wait for the service's next line: one wake per line at most.
    if (tally.Untold.fetch_add(1, RELAXED) == 0) Tell();
}

uint64_t TakeUntoldRefusals(InstanceStatus& status, RefusalKind kind) {
    RefusalTally& tally = status.Refused[kind];
    uint64_t untold = tally.Untold.exchange(0, RELAXED);
    tally.Told.fetch_add(untold, RELAXED);
    return untold;
}

uint64_t RefusedClientsTold(const InstanceStatus& status) {
    return status.Refused[REFUSED_CLIENT].Told.load(RELAXED) +
           status.Refused[REFUSED_MONITOR].Told.load(RELAXED) +
           status.Refused[REFUSED_CAPTURE].Told.load(RELAXED);
}

bool SupervisorAlive(const InstanceStatus& status, uint32_t now) {
    int32_t state = status.State.load(RELAXED);
    if (state == STATE_LISTENING || state == STATE_ENDED) return true;
    return now - status.LastReport.load(RELAXED) <= SUPERVISOR_SILENCE_MS;
}
