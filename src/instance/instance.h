// ServerInstance: one TCP port bridged to one LON interface. Created by wmain, never freed or
// moved; every subsystem works on it.
#pragma once

#include <atomic>
#include <mutex>

#include "instance/status.h"
#include "ldv/ldv.h"
#include "platform/win.h"

// One network of "AllowFrom": the clients of its family whose address starts with the first
// PrefixLength bits of Address (its other bits are zero).
struct AllowedNet {
    IpAddress Address;
    int32_t PrefixLength;
    bool operator==(const AllowedNet&) const = default;
};
constexpr int32_t MAX_ALLOW_FROM = 32;

// ServerInstance::LdvGate's low half: the flag of a closed opening, and the count of threads
// inside.
constexpr int64_t LDV_GATE_CLOSED = int64_t(1) << 31;
constexpr int64_t LDV_GATE_INSIDE = LDV_GATE_CLOSED - 1;

// Who may reach an instance, and its monitors (registry key Quorvel\Port<port>).
struct AccessSettings {
    IpAddress ListenAddress;  // Version 0: every address of both families
    int32_t AllowFromCount;   // 0: every client
    AllowedNet AllowFrom[MAX_ALLOW_FROM];
    int32_t MonitorPort;   // 0: no monitors
    int32_t MonitorLimit;  // also of the capture port's readers
    int32_t CapturePort;   // 0: no capture port
    bool FromKey;          // the registry file has the instance's key
};

// The monitors of an instance (tcp/monitors.h); none without a monitor port.
struct MonitorHub;

struct ServerInstance {
    int32_t Port;
    win::LPCWSTR DevName;
    win::LPCWSTR DllName;
    win::HMODULE hDll;
    LdvOpenFn ldv_open_overlapped_neuronid;
    LdvCloseFn ldv_close;
    LdvReadFn ldv_read_overlapped;
    LdvWriteFn ldv_write_overlapped;
    LdvIoControlFn ldv_io_control;
    win::BYTE NeuronId[6];
    // Written by the supervisor while the pump threads read it.
    std::atomic<win::HANDLE> hLon;
    win::OVERLAPPED Overlapped;
    win::BOOL IsQuorvelDriver;
    // Set by StartLon: the interface took the neuron-ID message written at open.
    win::BOOL NeuronIdTaken;
    // TcpToLon is writing to the interface and has not yet handed out the copies.
    std::atomic<bool> WriteInFlight;
    // Shared by the supervisor and the pump threads: single relaxed loads and stores.
    std::atomic<int32_t> ReadNoAliveCount;
    std::atomic<int32_t> WriteAliveCount;
    // The listening socket lives as long as the instance; ClientSocket lives for one cycle.
    std::atomic<win::SOCKET> ListenSocket;
    std::atomic<win::SOCKET> ClientSocket;
    // While a client is served, this thread accepts and closes every newcomer (StartTcpServer
    // starts it, CloseTcp ends it).
    std::atomic<win::HANDLE> hTurnAway;

    // Library way: pump threads enter this gate for every use of the entry points and the read
    // event. High half: the number of the library's opening; low half: LDV_GATE_CLOSED once
    // StopLon has closed that opening, and the count of threads inside. The library is unloaded
    // only when none is inside.
    std::atomic<int64_t> LdvGate;
    // Library opens and closes still running on threads of their own; the library is not called
    // again while one is.
    std::atomic<int32_t> LdvCallsOut;
    // Unique within the process; names the read event where the record's address is wider.
    win::DWORD EventId;

    // Who may reach the instance, set before its supervisor starts. A reload changes
    // AllowFrom and MonitorLimit under AccessLock while other threads read them; ListenAddress
    // and MonitorPort stay as they were at the start.
    std::mutex AccessLock;
    AccessSettings Access;
    // Made before the first cycle when MonitorPort (CapturePort) is set, then read by the pump
    // threads; set and cleared under AccessLock, under which a reload reaches them.
    MonitorHub* Monitors;
    MonitorHub* Capture;

    // What the instance is doing and has done, for the status socket and the service manager.
    InstanceStatus Status;
};
