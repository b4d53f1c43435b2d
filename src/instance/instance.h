// ServerInstance: one TCP port bridged to one LON interface. Created by wmain, never freed or
// moved; every subsystem works on it.
#pragma once

#include <atomic>

#include "instance/status.h"
#include "ldv/ldv.h"
#include "platform/win.h"

// One network of "AllowFrom": the clients whose address, masked with Mask, is Address. Both
// in network byte order.
struct AllowedNet {
    uint32_t Address;
    uint32_t Mask;
};
constexpr int32_t MAX_ALLOW_FROM = 32;

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

    // Who may reach the instance (registry key Quorvel\Port<port>), set before its supervisor
    // starts. Without the key: every interface (0) and every client (no networks).
    uint32_t ListenAddress;  // network byte order
    int32_t AllowFromCount;
    AllowedNet AllowFrom[MAX_ALLOW_FROM];
    // Monitors (same key): the port they connect on (0: none) and how many at once.
    int32_t MonitorPort;
    int32_t MonitorLimit;
    // Made before the first cycle when MonitorPort is set, then read by the pump threads.
    MonitorHub* Monitors;

    // What the instance is doing and has done, for the status socket and the service manager.
    InstanceStatus Status;
};
