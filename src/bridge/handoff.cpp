#include "bridge/handoff.h"

#include <chrono>

#include "lon_link/lon_link.h"
#include "mqtt/mqtt.h"
#include "tcp/framing.h"
#include "tcp/monitors.h"

using namespace win;

namespace {

// A write hands out within microseconds of its return: a read's copies yield to it that many
// times, then nap, so that a write that hangs costs no processor.
constexpr int WRITE_WAIT_YIELDS = 1000;

// Whether anyone sees the two directions in one order: the monitors and capture readers.
bool Watched(const ServerInstance* instance) {
    return Watching(instance->Monitors) || Watching(instance->Capture);
}

// Marks a write in flight for its whole life, however it ends (a terminated pump unwinds).
struct WriteInFlight {
    std::atomic<bool>& Flag;
    explicit WriteInFlight(std::atomic<bool>& flag) : Flag(flag) { Flag.store(true); }
    ~WriteInFlight() { Flag.store(false); }
};

}  // namespace

int64_t CrossingTime(const ServerInstance* instance) {
    if (instance->Capture == nullptr) return 0;
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void HandOffTelegram(ServerInstance* instance, HandOffWay way, const BYTE* telegram, DWORD length,
                     int64_t timeUs) {
    const WORD id = way == FROM_BUS ? ID_DATA : ID_TO_BUS;
    ShareWithMonitors(instance->Monitors, id, telegram, length, timeUs);
    ShareWithMonitors(instance->Capture, id, telegram, length, timeUs);
    if (way == FROM_BUS) {
        CountToClient(instance->Status, length);
    } else {
        CountToBus(instance->Status, length);
    }
    OfferTelegram(instance, way == FROM_BUS ? MQTT_FROM_BUS : MQTT_TO_BUS, telegram, length);
}

void HandOffRead(ServerInstance* instance, const IpMsgBatch* batch) {
    const int64_t read = CrossingTime(instance);
    for (int waits = 0; instance->WriteInFlight.load() && Watched(instance); ++waits) {
        Sleep(waits < WRITE_WAIT_YIELDS ? 0 : 1);
    }
    DWORD at = 0, length;
    while (const BYTE* telegram = PacketInBatch(batch, &at, &length)) {
        HandOffTelegram(instance, FROM_BUS, telegram, length, read);
    }
}

DWORD WriteToBus(ServerInstance* instance, const BYTE* telegrams, const DWORD* lengths, DWORD count,
                 DWORD* sent) {
    WriteInFlight inFlight(instance->WriteInFlight);
    DWORD r = SendPacketsToLon(instance, telegrams, lengths, count, sent);
    const int64_t written = CrossingTime(instance);
    for (DWORD i = 0, at = 0; i < *sent; at += lengths[i++]) {
        HandOffTelegram(instance, TO_BUS, telegrams + at, lengths[i], written);
    }
    return r;
}

void HandOffNeuronIdMessage(ServerInstance* instance) {
    if (!instance->NeuronIdTaken) return;
    BYTE message[NEURON_ID_MESSAGE_SIZE];
    BuildNeuronIdMessage(instance->NeuronId, message);
    HandOffTelegram(instance, TO_BUS, message, sizeof message, CrossingTime(instance));
}
