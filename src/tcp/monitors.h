// Monitors: connections on an instance's second port that watch its traffic beside the served
// client. Each gets every telegram that crosses the instance, both ways, in order: from the bus
// as ID_DATA, to the bus as ID_TO_BUS. What a monitor sends never reaches the bus.
//
// The pump threads only append a copy of each telegram to every monitor's bounded queue; a
// writer thread per monitor drains it. A queue without room closes its monitor: nothing ever
// waits for a monitor. One thread per instance accepts monitors, reads and discards what they
// send and keeps them alive; monitors live across the served client's cycles.
#pragma once

#include <atomic>
#include <mutex>

#include "instance/instance.h"
#include "platform/win.h"
#include "tcp/server_socket.h"

// A telegram that went to the bus (from the served client, or the neuron-ID message at open).
constexpr win::WORD ID_TO_BUS = 17;

constexpr int32_t DEFAULT_MONITOR_LIMIT = 4;
constexpr int32_t MAX_MONITOR_LIMIT = 16;
// Per monitor: about a second of the fastest LON channel, framed; a power of two.
constexpr uint32_t MONITOR_QUEUE_SIZE = 256 * 1024;

// Why a monitor ended: its connection ended, or the server dropped it, or the instance ends.
enum class MonitorEnd : int32_t { Gone, FellBehind, Silent, Revoked, Stopping };

struct MonitorSlot {
    MonitorHub* Hub;
    // Set by the accepting thread while the slot is free of any writer.
    win::BYTE* Queue;
    PeerAddress Peer;  // the monitor's
    // Closed by whoever ends the monitor first: the accepting thread, a pump thread whose copy
    // found no room, or the writer when a send fails.
    std::atomic<win::SOCKET> Socket;
    win::HANDLE hWriter;
    win::HANDLE hWake;  // set when the writer may have something to send, or must end
    // Bytes ever appended (under the hub's lock) and ever sent (by the writer); the queue holds
    // the difference.
    std::atomic<uint64_t> Head;
    std::atomic<uint64_t> Tail;
    // Under the hub's lock: the pump threads append to this monitor.
    bool Active;
    std::atomic<bool> WriterSleeping;
    std::atomic<bool> Ending;
    // Set, before the detach, by whoever drops the monitor (a pump thread whose copy found no
    // room, or a reload that took it out of AllowFrom); Gone otherwise.
    std::atomic<MonitorEnd> DroppedFor;
    // Keep-alive, as for the served client: periods without anything sent (reset by the
    // writer) and without anything received (the accepting thread's own).
    std::atomic<int32_t> WriteAliveCount;
    int32_t ReadNoAliveCount;
    win::DWORD ReferenceTick;
    // Where the accepting thread is in the monitor's stream of messages, which it discards.
    win::BYTE Header[4];
    uint32_t HeaderHeld;
    uint32_t SkipLeft;
    bool InUse;  // accepting thread only
};

struct MonitorHub {
    ServerInstance* Instance;
    std::atomic<win::SOCKET> ListenSocket;
    win::HANDLE hThread;
    // Serialises the appends of both pump threads and the keep-alives, so every monitor sees
    // one order; also guards each slot's Active.
    std::mutex Lock;
    std::atomic<int32_t> Attached;  // slots that are Active
    AcceptFailures AcceptFailed;    // the accepting thread's
    MonitorSlot Slots[MAX_MONITOR_LIMIT];
};

// Appends one message to every active monitor's queue; a monitor without room is closed.
void QueueForMonitors(MonitorHub* hub, win::WORD id, const win::BYTE* telegram, win::DWORD length);

// The pump threads' call: nothing but a load and a test while no monitor is attached.
inline void ShareWithMonitors(ServerInstance* instance, win::WORD id, const win::BYTE* telegram,
                              win::DWORD length) {
    MonitorHub* hub = instance->Monitors;
    if (hub != nullptr && hub->Attached.load(std::memory_order_relaxed) != 0) {
        QueueForMonitors(hub, id, telegram, length);
    }
}

// How many monitors the process has descriptors for, all instances together; a monitor beyond
// them is refused. Without a call, no bound.
void SetMonitorRoom(int32_t monitors);
// Closes every monitor of the instance that its AllowFrom no longer lets in (a reload changed
// it); each is told of as it ends. Call with the instance's AccessLock held.
void DropRevokedMonitors(ServerInstance* instance);
// Opens the monitor port of an instance with a MonitorPort and starts accepting monitors on it.
// Without a MonitorPort, does nothing. A port that cannot be had is reported and the instance
// runs without monitors.
void StartMonitors(ServerInstance* instance);
// Closes the monitor port and every monitor and releases all of it; returns once the threads
// have ended.
void StopMonitors(ServerInstance* instance);
