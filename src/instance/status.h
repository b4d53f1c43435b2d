// What one instance is doing, for the status socket and the service manager. Its supervisor and
// pump threads write it with relaxed atomics (counting must not slow the pumps); the service
// thread reads it at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/netif.h"
#include "platform/win.h"

// An IPv4 or IPv6 address in network byte order: IPv4 in the first 4 bytes. Version 0: none.
struct IpAddress {
    int32_t Version;  // 4, 6 or 0
    uint8_t Bytes[16];
    bool operator==(const IpAddress&) const = default;
};
// A client's address and port (host byte order). An IPv4 client of a dual-stack socket is
// kept as IPv4, never in its IPv4-mapped form.
struct PeerAddress {
    IpAddress Address;
    uint16_t Port;
};
// "192.0.2.7:5000" or "[2001:db8::7]:5000"; empty for none.
std::string PeerText(const PeerAddress& peer);

enum InstanceState : int32_t {
    STATE_RESTARTING,  // opening or closing its sides; also before the port first listens
    STATE_LISTENING,   // waiting for a client
    STATE_CONNECTED,   // a client is connected
    STATE_ENDED,       // the supervisor has returned
};

enum RestartReason : int32_t {
    REASON_NONE,
    REASON_CLIENT_GONE,       // receiving from the client failed: it closed or vanished
    REASON_CLIENT_SILENT,     // nothing received for four keep-alive periods
    REASON_SEND_FAILED,       // a data message or keep-alive did not reach the client
    REASON_LON_READ_FAILED,   // the interface failed a read
    REASON_LON_WRITE_FAILED,  // the interface failed a write
    REASON_LON_OPEN_FAILED,   // the interface did not open after a client was accepted
    REASON_TCP_START_FAILED,  // no listening socket, or accept failed
    REASON_WAIT_FAILED,       // waiting for the pump threads failed
    REASON_STOPPING,          // the server is ending
};

// Counters, cumulative since the start. A new one needs its name in STATUS_COUNTER_NAMES.
enum StatusCounter : int32_t {
    COUNT_TO_CLIENT,        // telegrams
    COUNT_TO_BUS,           // telegrams
    COUNT_BYTES_TO_CLIENT,  // telegram bytes, without the message header
    COUNT_BYTES_TO_BUS,
    COUNT_KEEPALIVES_SENT,
    COUNT_RESTARTS,
    COUNT_INTERFACE_FAILURES,  // restarts because the LON interface failed an open, read or write
    COUNT_REFUSED_CLIENTS,     // closed unread at accept: not in AllowFrom
    COUNT_MQTT_DROPPED,       // telegrams not published: the MQTT queue was full or the broker gone
    COUNT_MONITORS,           // connected now (not cumulative)
    COUNT_MONITORS_DROPPED,   // closed by the server: over the limit or the descriptors to spare,
                              // behind, silent, or left out of AllowFrom by a reload
    COUNT_MONITOR_BYTES,      // sent to monitors, headers and keep-alives included
    COUNT_MONITOR_DISCARDED,  // messages from monitors other than keep-alives, never used
    COUNT_CAPTURE_READERS,    // connected now (not cumulative)
    COUNT_CAPTURE_DROPPED,    // closed by the server: over the limit, or behind
    COUNT_CAPTURE_BYTES,      // sent to capture readers, file headers included
    STATUS_COUNTER_COUNT
};

// Why a client was closed unread at accept; each reason has its own line in the log.
enum RefusalKind : int32_t {
    REFUSED_CLIENT,         // at the instance's port: not in AllowFrom
    REFUSED_MONITOR,        // at its monitor port: not in AllowFrom
    REFUSED_MONITOR_LIMIT,  // at its monitor port: MonitorLimit reached
    REFUSED_MONITOR_ROOM,   // at its monitor port: no descriptors to spare for monitors
    REFUSED_CAPTURE,        // at its capture port: not in AllowFrom
    REFUSED_CAPTURE_LIMIT,  // at its capture port: MonitorLimit reached
    REFUSED_CAPTURE_ROOM,   // at its capture port: no descriptors to spare
    REFUSED_BUSY,           // at the instance's port: another client is served
    REFUSAL_KIND_COUNT
};

// Refusals of one kind as the log and STATUS= tell of them, at most once a second (a flood must
// not flood them): the latest one (under InstanceStatus::PeerLock), those not told of yet, and
// those told of.
struct RefusalTally {
    PeerAddress Last;
    std::atomic<uint64_t> Untold;
    std::atomic<uint64_t> Told;
};

struct InstanceStatus {
    std::atomic<int32_t> State;  // InstanceState
    std::atomic<bool> HasListened;
    // GetTickCount of the supervisor's last report; see SupervisorAlive.
    std::atomic<uint32_t> LastReport;
    // Guards Client and each Refused[].Last, too wide for an atomic.
    mutable std::mutex PeerLock;
    // The connected client (Version 0: none).
    PeerAddress Client;
    std::atomic<int64_t> ConnectedSince;  // seconds since the epoch (UTC)
    std::atomic<int32_t> LastRestartReason;
    std::atomic<uint64_t> Counters[STATUS_COUNTER_COUNT];
    // What a network interface counted, over every cycle (the driver way's open hands it over).
    win::netif::Counts Interface;
    // Clients closed at accept, by why, as the log (and for AllowFrom STATUS=) tell of them.
    RefusalTally Refused[REFUSAL_KIND_COUNT];
};

// Who hears of changes (the service): `wake` is called when an instance's state changes and
// when a refused client waits to be told of. Set before any instance starts; null for no one.
void SetStatusListener(void (*wake)());

// The server is ending (SIGTERM, SIGINT): every supervisor ends its cycle, closing its client
// and interface, and starts no new one. Once asked, for good.
void RequestStop();
bool StopRequested();
// Signalled once stopping, for a supervisor's waits: a manual-reset event that lives as long as
// the process.
win::HANDLE StopEvent();

// The port listens: waiting for a client.
void ReportListening(InstanceStatus& status);
// A client was accepted from `peer`.
void ReportClient(InstanceStatus& status, const PeerAddress& peer);
// The connected client (Version 0: none), and the latest one refused for `kind`.
PeerAddress ClientOf(const InstanceStatus& status);
PeerAddress LastRefusedOf(const InstanceStatus& status, RefusalKind kind);
// The instance closes its sides and starts again.
void ReportRestart(InstanceStatus& status, RestartReason reason);
// The supervisor has returned.
void ReportEnded(InstanceStatus& status);
// The supervisor's watch loop is turning.
void ReportAlive(InstanceStatus& status);
// One telegram of `bytes` passed to the client or to the bus.
void CountToClient(InstanceStatus& status, uint32_t bytes);
void CountToBus(InstanceStatus& status, uint32_t bytes);
void CountKeepAlive(InstanceStatus& status);
// A telegram for MQTT was dropped: its queue was full, or no broker took it.
void CountMqttDropped(InstanceStatus& status);
// A client from `peer` was closed at accept for `kind`: counted among the refused clients (not
// in AllowFrom), or for MonitorLimit or the descriptors among the dropped monitors (capture
// readers); a client
// turned away while another is served is only told of. The first one not yet told of wakes the
// service, which tells of it.
void CountRefused(InstanceStatus& status, RefusalKind kind, const PeerAddress& peer);
// The refusals of `kind` not yet told of, now counted as told: the service's log line.
uint64_t TakeUntoldRefusals(InstanceStatus& status, RefusalKind kind);
// The clients outside AllowFrom told of, at both ports: STATUS= shows them.
uint64_t RefusedClientsTold(const InstanceStatus& status);

// A supervisor is alive while it waits for a client (blocked in accept, which only a client
// or the end wakes), once it has ended, or when it reported within the last
// SUPERVISOR_SILENCE_MS: its watch loop and a restart's waits for the pump threads report every
// second, and a restart reports after each step it cannot slice (closing a side, ending a thread
// that did not end), none of which takes more than 6 s.
constexpr uint32_t SUPERVISOR_SILENCE_MS = 15000;
bool SupervisorAlive(const InstanceStatus& status, uint32_t now);
