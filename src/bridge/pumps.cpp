#include "bridge/pumps.h"

#include "diag/debug.h"
#include "diag/thread_registry.h"
#include "lon_link/lon_link.h"
#include "mqtt/mqtt.h"
#include "platform/toolbox.h"
#include "tcp/framing.h"
#include "tcp/monitors.h"

using namespace win;

namespace {

constexpr DWORD PUMP_BUFFER_SIZE = 512;

ServerInstance* BeginPump(LPVOID parameter, LPCWSTR nameFormat, LPCWSTR startMessage) {
    auto* instance = static_cast<ServerInstance*>(parameter);
    WCHAR name[260];
    wsprintfW(name, nameFormat, instance->Port);
    SetThreadDebugName(name);
    RegisterQuorThread(name);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(startMessage);
    return instance;
}

[[noreturn]] void EndPump(DWORD result) {
    TriggerWDog(0);
    ExitRegisteredThread(result);
}

// Sends what the batch holds, then passes each telegram on beside the client.
DWORD SendBatch(ServerInstance* instance, IpMsgBatch* batch) {
    DWORD r = SendPacketsToTcp(instance, batch);
    if (r == TCP_SEND_FAILED || r == TCP_SEND_INCOMPLETE) return r;
    instance->WriteAliveCount.store(0, std::memory_order_relaxed);
    DWORD at = 0, length;
    while (const BYTE* telegram = PacketInBatch(batch, &at, &length)) {
        CountToClient(instance->Status, length);
        OfferTelegram(instance, MQTT_FROM_BUS, telegram, length);
    }
    batch->Used = 0;
    return r;
}

// After each return of the client side that may bring a telegram: the client is alive.
void NoteReceive(ServerInstance* instance, DWORD r) {
    instance->ReadNoAliveCount.store(0, std::memory_order_relaxed);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"GetPacketFromTcp()=%d\n", r);
}

}  // namespace

DWORD LonToTcp(LPVOID parameter) {
    ServerInstance* instance = BeginPump(parameter, L"LonToTcp(%d)", L"LON-TO-TCP gestartet\n");
    IpMsgBatch batch;
    batch.Used = 0;
    DWORD length = 0;
    TriggerWDog(WDOG_RUNNING);
    for (;;) {
        DWORD r = GetPacketFromLon(instance, PacketSlot(&batch), PUMP_BUFFER_SIZE, &length);
        // The telegrams that the same read brought go with it, in one send; none is waited for.
        while (r != LON_READ_FAILED && length != 0) {
            // Monitors get each telegram before it is passed on, so that what it causes never
            // reaches them first.
            ShareWithMonitors(instance, ID_DATA, PacketSlot(&batch), length);
            AddPacketToBatch(&batch, length);
            BYTE* slot = PacketSlot(&batch);
            if (!slot) break;
            r = GetHeldPacketFromLon(instance, slot, PUMP_BUFFER_SIZE, &length);
        }
        if (batch.Used > 0) {
            DWORD sent = SendBatch(instance, &batch);
            if (sent == TCP_SEND_FAILED || sent == TCP_SEND_INCOMPLETE) {
                if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: Reboot SendPacketToTcp()=%d\n", sent);
                EndPump(sent);
            }
        }
        if (r == LON_READ_FAILED) {
            if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: Reboot GetPacketFromLon()=%d\n", r);
            EndPump(r);
        }
    }
}

DWORD TcpToLon(LPVOID parameter) {
    ServerInstance* instance = BeginPump(parameter, L"TcpToLon(%d)", L"TCP-TO-LON gestartet\n");
    // The telegrams of one receive, back to back; each is handed out into room for the longest
    // message, so that none is dropped for want of it.
    BYTE buffer[LON_BURST_BYTES];
    DWORD lengths[LON_BURST_MAX];
    DWORD length = 0;
    TcpReceiveState receive;
    TriggerWDog(WDOG_RUNNING);
    // Starts empty: bytes of a former connection must never reach the LON interface.
    GetPacketFromTcp(instance, &receive, nullptr, 0, &length);
    for (;;) {
        DWORD r = GetPacketFromTcp(instance, &receive, buffer, PUMP_BUFFER_SIZE, &length);
        NoteReceive(instance, r);
        if (r == TCP_RECV_PENDING) continue;
        if (r == TCP_RECV_FAILED) {
            if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: TCP Reboot GetPacketFromTcp()=%d\n", r);
            EndPump(r);
        }
        // The messages that the same receive brought go with it, in one write; none is waited
        // for. Monitors get each telegram before it is passed on.
        DWORD count = 0, used = 0;
        while (r == TCP_PACKET_READY) {
            ShareWithMonitors(instance, ID_TO_BUS, buffer + used, length);
            lengths[count++] = length;
            used += length;
            if (count == LON_BURST_MAX || sizeof buffer - used < PUMP_BUFFER_SIZE) break;
            r = GetHeldPacketFromTcp(&receive, buffer + used, PUMP_BUFFER_SIZE, &length);
            if (r == TCP_PACKET_READY) NoteReceive(instance, r);
        }
        DWORD sent = 0;
        r = SendPacketsToLon(instance, buffer, lengths, count, &sent);
        // What was written counts, also ahead of a telegram that failed.
        for (DWORD i = 0, at = 0; i < sent; at += lengths[i++]) {
            CountToBus(instance->Status, lengths[i]);
            OfferTelegram(instance, MQTT_TO_BUS, buffer + at, lengths[i]);
        }
        if (r == LON_SEND_FAILED || r == LON_SEND_INCOMPLETE) {
            if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: LON Reboot SendPacketToLon()=%d\n", r);
            EndPump(r);
        }
    }
}
