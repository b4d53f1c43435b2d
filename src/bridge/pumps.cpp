#include "bridge/pumps.h"

#include "bridge/handoff.h"
#include "diag/debug.h"
#include "diag/thread_registry.h"
#include "lon_link/lon_link.h"
#include "platform/toolbox.h"
#include "tcp/framing.h"

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

// Hands out the copies of what the batch holds, then sends it.
DWORD SendBatch(ServerInstance* instance, IpMsgBatch* batch) {
    HandOffRead(instance, batch);
    DWORD r = SendPacketsToTcp(instance, batch);
    if (r == TCP_SEND_FAILED || r == TCP_SEND_INCOMPLETE) return r;
    instance->WriteAliveCount.store(0, std::memory_order_relaxed);
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
        // for.
        DWORD count = 0, used = 0;
        while (r == TCP_PACKET_READY) {
            lengths[count++] = length;
            used += length;
            if (count == LON_BURST_MAX || sizeof buffer - used < PUMP_BUFFER_SIZE) break;
            r = GetHeldPacketFromTcp(&receive, buffer + used, PUMP_BUFFER_SIZE, &length);
            if (r == TCP_PACKET_READY) NoteReceive(instance, r);
        }
        // What was written is handed out, also ahead of a telegram that failed.
        DWORD sent = 0;
        r = WriteToBus(instance, buffer, lengths, count, &sent);
        if (r == LON_SEND_FAILED || r == LON_SEND_INCOMPLETE) {
            if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Error: LON Reboot SendPacketToLon()=%d\n", r);
            EndPump(r);
        }
    }
}
