#include "instance/status.h"

#include <ctime>

#include "platform/win.h"

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;
constexpr uint64_t HAS_CLIENT = uint64_t{1} << 48;

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
    status.Client.store(0, RELAXED);
    status.ConnectedSince.store(0, RELAXED);
}

uint64_t Peer(uint32_t address, uint16_t port) {
    return HAS_CLIENT | uint64_t{address} << 16 | port;
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

void ReportListening(InstanceStatus& status) {
    ClearClient(status);
    status.HasListened.store(true, RELAXED);
    SetState(status, STATE_LISTENING);
}

void ReportClient(InstanceStatus& status, uint32_t address, uint16_t port) {
    status.ConnectedSince.store(std::time(nullptr), RELAXED);
    status.Client.store(Peer(address, port), RELAXED);
    SetState(status, STATE_CONNECTED);
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

void CountRefused(InstanceStatus& status, uint32_t address, uint16_t port) {
    Count(status, COUNT_REFUSED_CLIENTS, 1);
    status.LastRefused.store(Peer(address, port), RELAXED);
    // Later ones wait for the service's next line: one wake per line at most.
    if (status.RefusedUntold.fetch_add(1, RELAXED) == 0) Tell();
}

uint64_t TakeUntoldRefusals(InstanceStatus& status) {
    uint64_t untold = status.RefusedUntold.exchange(0, RELAXED);
    status.RefusedTold.fetch_add(untold, RELAXED);
    return untold;
}

bool SupervisorAlive(const InstanceStatus& status, uint32_t now) {
    int32_t state = status.State.load(RELAXED);
    if (state == STATE_LISTENING || state == STATE_ENDED) return true;
    return now - status.LastReport.load(RELAXED) <= SUPERVISOR_SILENCE_MS;
}
