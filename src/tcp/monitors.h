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

// What sets the watchers of one port apart: monitors, or capture readers (tcp/capture.h), which
// get the same telegrams in another encoding and never send.
struct MonitorKind {
    win::LPCWSTR Noun;          // in lines: "monitor"
    win::LPCWSTR PortSetting;   // "MonitorPort"
    win::LPCWSTR ThreadFormat;  // the accepting thread's name, with the instance's port
    win::LPCWSTR WriterFormat;  // a writer's, with the instance's port and the watcher's
    StatusCounter Attached, Dropped, Bytes;
    // Why a watcher is refused at accept: not in AllowFrom, the limit, no descriptors to spare.
    RefusalKind NotAllowed, OverLimit, NoRoom;
    // Sent to each watcher first.
    const win::BYTE* Greeting;
    win::DWORD GreetingSize;
    // Keep-alive both ways, and the watcher's messages read and counted.
    bool TalksBack;
    // Writes the head of the message that carries a telegram of `length` bytes with `id`
    // (ID_DATA from the bus, ID_TO_BUS) through the instance on `port`, read or written at
    // `timeUs` (microseconds since the epoch), the hub's record `number`; returns its size, at
    // most MONITOR_HEAD_MAX.
    win::DWORD (*Head)(win::BYTE* head, win::WORD id, win::DWORD length, int32_t port,
                       int64_t timeUs, uint32_t number);
};
constexpr win::DWORD MONITOR_HEAD_MAX = 32;
extern const MonitorKind MONITOR_KIND;

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
    const MonitorKind* Kind;
    int32_t Port;
    std::atomic<win::SOCKET> ListenSocket;
    win::HANDLE hThread;
    // Serialises the appends of both pump threads and the keep-alives, so every monitor sees
    // one order; also guards each slot's Active.
    std::mutex Lock;
    std::atomic<int32_t> Attached;  // slots that are Active
    // Telegrams handed to the hub: under Lock while any slot is Active, so that every
    // watcher's records are numbered in the order of its queue.
    std::atomic<uint32_t> Records;
    // The latest time handed out (under Lock): a record's time never goes back, though a read's
    // copies may follow those of a write that ended after the read, or the clock may step.
    int64_t LastTimeUs;
    AcceptFailures AcceptFailed;  // the accepting thread's
    MonitorSlot Slots[MAX_MONITOR_LIMIT];
};

// Appends one message to every active monitor's queue; a monitor without room is closed.
void QueueForMonitors(MonitorHub* hub, win::WORD id, const win::BYTE* telegram, win::DWORD length,
                      int64_t timeUs);

// Whether any watcher is attached to `hub` (null: none).
inline bool Watching(const MonitorHub* hub) {
    return hub != nullptr && hub->Attached.load(std::memory_order_relaxed) != 0;
}

// The hand-off's call: a load and a test (and the record count) while no one is attached.
inline void ShareWithMonitors(MonitorHub* hub, win::WORD id, const win::BYTE* telegram,
                              win::DWORD length, int64_t timeUs) {
    if (Watching(hub)) {
        QueueForMonitors(hub, id, telegram, length, timeUs);
    } else if (hub != nullptr) {
        hub->Records.fetch_add(1, std::memory_order_relaxed);
    }
}

// Opens `port` for watchers of `kind`, starts accepting them on it and sets *where (the
// instance's Monitors or Capture) under its AccessLock; a port that cannot be had leaves it
// null, after a line.
void OpenMonitorHub(ServerInstance* instance, int32_t port, const MonitorKind* kind,
                    MonitorHub** where);
// Takes *where (under the AccessLock), closes its port and every watcher and releases all of
// it; returns once the threads have ended. Null: nothing.
void CloseMonitorHub(ServerInstance* instance, MonitorHub** where);
// How many monitors the process has descriptors for, all instances together; a monitor beyond
// them is refused. Without a call, no bound.
void SetMonitorRoom(int32_t monitors);
// Closes every monitor and capture reader of the instance that its AllowFrom no longer lets in
// (a reload changed it); each is told of as it ends. Call with the instance's AccessLock held.
void DropRevokedMonitors(ServerInstance* instance);
// Opens the monitor port of an instance with a MonitorPort and starts accepting monitors on it.
// Without a MonitorPort, does nothing. A port that cannot be had is reported and the instance
// runs without monitors.
void StartMonitors(ServerInstance* instance);
// Closes the monitor port and every monitor and releases all of it; returns once the threads
// have ended.
void StopMonitors(ServerInstance* instance);
