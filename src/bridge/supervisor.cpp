#include "bridge/supervisor.h"

#include <algorithm>

#include "bridge/handoff.h"
#include "bridge/pumps.h"
#include "diag/debug.h"
#include "diag/thread_registry.h"
#include "lon_link/lon_link.h"
#include "platform/toolbox.h"
#include "tcp/capture.h"
#include "tcp/framing.h"
#include "tcp/monitors.h"
#include "tcp/server_socket.h"

using namespace win;

namespace {

constexpr DWORD WATCH_SLICE_MS = 1000;
// The third handle of the watch: the server is ending.
constexpr DWORD EV_STOP = 2;
constexpr DWORD PUMP_END_WAIT_MS = 5000;
// A start that fails before any client was accepted (bind refused, no socket) would otherwise
// be retried at full speed, flooding the log; one that accepted a client is paced by clients.
constexpr DWORD START_RETRY_PAUSE_MS = 1000;

// Starts both sides, again and again. False when the port is in use: the supervisor ends.
// False too once the server is ending.
bool StartUntilRunning(ServerInstance* instance) {
    if (StopRequested()) return false;
    DWORD r = StartServer(instance);
    while (r != 0) {
        bool paced = IsOpenSocket(instance->ClientSocket.load());
        StopServer(instance);
        if (r == static_cast<DWORD>(WSAEADDRINUSE) || StopRequested()) return false;
        ReportRestart(instance->Status, paced ? REASON_LON_OPEN_FAILED : REASON_TCP_START_FAILED);
        if (!paced) WaitForSingleObject(StopEvent(), START_RETRY_PAUSE_MS);
        r = StartServer(instance);
    }
    return true;
}

void RaisePriority(HANDLE thread) {
    if (!SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL) && ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"failed setting thread priority\n");
    }
}

int32_t Increment(std::atomic<int32_t>& counter) {
    // A load and a store: a pump thread's reset in between is overwritten, as designed.
    int32_t value = counter.load(std::memory_order_relaxed) + 1;
    counter.store(value, std::memory_order_relaxed);
    return value;
}

enum class Alive { SENT, BUSY, FAILED };

// Sends ID_ALIVE on the client socket without waiting: a client that does not read (or a pump
// thread stuck sending to it) must never hold the supervisor. BUSY when nothing went out because
// another send holds the connection or its send buffer is full; FAILED for an error or a short
// send, which leaves the stream out of step.
Alive SendAlive(ServerInstance* instance) {
    BYTE alive[IPMSG_HEADER_SIZE];
    PutIpMsgHeader(alive, ID_ALIVE, 0);
    int sent = win::send(instance->ClientSocket.load(), reinterpret_cast<const char*>(alive),
                         IPMSG_HEADER_SIZE, MSG_DONTWAIT);
    if (sent != static_cast<int>(IPMSG_HEADER_SIZE)) {
        bool busy = sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(ID_ALIVE)=%d\n", sent);
        return busy ? Alive::BUSY : Alive::FAILED;
    }
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(ID_ALIVE)=OK\n");
    instance->WriteAliveCount.store(0, std::memory_order_relaxed);
    CountKeepAlive(instance->Status);
    return Alive::SENT;
}

// A keep-alive that found the connection busy is tried again at every wake, until it goes out
// or data reaches the client instead (LonToTcp resets WriteAliveCount); only one still pending
// at the next period end ends the cycle: the client has not read for a whole period.
bool RetryAlive(ServerInstance* instance, bool& alivePending) {
    Alive result = Alive::SENT;
    if (instance->WriteAliveCount.load(std::memory_order_relaxed) >= SEND_ALIVE_COUNT) {
        result = SendAlive(instance);
    }
    alivePending = result == Alive::BUSY;
    return result != Alive::FAILED;
}

// The keep-alive step after a wait time-out. False when the cycle must end.
bool KeepAlive(ServerInstance* instance, DWORD& referenceTick, bool& alivePending) {
    if (alivePending && !RetryAlive(instance, alivePending)) return false;
    DWORD diff = GetTickCount() - referenceTick;  // unsigned: the tick's wrap does no harm
    if (diff <= KEEPALIVE_PERIOD_MS) return true;
    if (alivePending) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"ID_ALIVE not sent within a period\n");
        return false;
    }
    referenceTick = GetTickCount();
    int32_t writeAlive = Increment(instance->WriteAliveCount);
    int32_t readNoAlive = Increment(instance->ReadNoAliveCount);
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"ReadNoAliveCount=%d WriteAliveCount=%d DiffTime=%5d\n", readNoAlive,
                   writeAlive, diff);
    }
    if (instance->ReadNoAliveCount.load(std::memory_order_relaxed) >= MAX_READ_NOALIVE_COUNT) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"ReadNoAliveCount >= MAX_READ_NOALIVE_COUNT\n");
        return false;
    }
    return RetryAlive(instance, alivePending);
}

// How long the watch may sleep: until its keep-alive period ends (the first moment more than
// KEEPALIVE_PERIOD_MS after it began), or one slice while a keep-alive waits for its next try.
// Nothing else is due, so an idle instance wakes once a period.
DWORD UntilDue(DWORD referenceTick, bool alivePending) {
    if (alivePending) return WATCH_SLICE_MS;
    DWORD elapsed = GetTickCount() - referenceTick;
    return elapsed > KEEPALIVE_PERIOD_MS ? 0 : KEEPALIVE_PERIOD_MS + 1 - elapsed;
}

// Why a pump thread ended, from its exit code.
RestartReason PumpEndReason(HANDLE thread) {
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    switch (code) {
        case LON_READ_FAILED:
            return REASON_LON_READ_FAILED;
        case LON_SEND_FAILED:
        case LON_SEND_INCOMPLETE:
            return REASON_LON_WRITE_FAILED;
        case TCP_SEND_FAILED:
        case TCP_SEND_INCOMPLETE:
            return REASON_SEND_FAILED;
        default:
            return REASON_CLIENT_GONE;
    }
}

// Watches the pump threads until one ends, the wait fails, keep-alive ends the cycle or the
// server is ending; returns why the cycle ends.
RestartReason Watch(ServerInstance* instance, const HANDLE* events, DWORD referenceTick) {
    bool alivePending = false;
    const HANDLE watched[] = {events[EV_LON_TO_TCP], events[EV_TCP_TO_LON], StopEvent()};
    for (;;) {
        DWORD ev = WaitForMultipleObjects(3, watched, FALSE, UntilDue(referenceTick, alivePending));
        ReportAlive(instance->Status);
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"ev=%d\n", ev);
        switch (ev) {
            case EV_LON_TO_TCP:
                if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"LonToTcp beendet\n");
                return PumpEndReason(events[ev]);
            case EV_TCP_TO_LON:
                if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"TcpToLon beendet\n");
                return PumpEndReason(events[ev]);
            case EV_STOP:
                return REASON_STOPPING;
            case WAIT_TIMEOUT:
                if (!KeepAlive(instance, referenceTick, alivePending)) {
                    bool silent = instance->ReadNoAliveCount.load(std::memory_order_relaxed) >=
                                  MAX_READ_NOALIVE_COUNT;
                    return silent ? REASON_CLIENT_SILENT : REASON_SEND_FAILED;
                }
                break;
            case WAIT_FAILED:
                return REASON_WAIT_FAILED;
            default:
                break;
        }
    }
}

// Waits for a pump thread to end, in watch slices with a report after each: a bounded wait
// is progress, and a restart's waits added up outlast the silence the watchdog allows.
DWORD AwaitEnd(ServerInstance* instance, HANDLE thread, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    DWORD w;
    do {
        DWORD waited = std::min(GetTickCount() - start, milliseconds);
        w = WaitForSingleObject(thread, std::min(milliseconds - waited, WATCH_SLICE_MS));
        ReportAlive(instance->Status);
    } while (w == WAIT_TIMEOUT && GetTickCount() - start < milliseconds);
    return w;
}

// Waits for a pump thread to end; terminates it when it still runs after the wait.
void AwaitPump(ServerInstance* instance, HANDLE thread, DWORD milliseconds, LPCWSTR format,
               bool terminateIfRunning) {
    DWORD w = AwaitEnd(instance, thread, milliseconds);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(format, w);
    if (terminateIfRunning && w == WAIT_TIMEOUT) {
        // Bounded too, but long for a thread stuck outside the platform's calls.
        TerminateThread(thread, 0);
        ReportAlive(instance->Status);
    }
}

// Closes both sides, makes sure both pump threads are gone and releases their handles.
void Restart(ServerInstance* instance, HANDLE* events, RestartReason reason) {
    ReportRestart(instance->Status, StopRequested() ? REASON_STOPPING : reason);
    StopServer(instance);
    AwaitPump(instance, events[EV_LON_TO_TCP], PUMP_END_WAIT_MS,
              L"WaitForSingleObject(Events[EV_LON_TO_TCP]=%d\n", false);
    AwaitPump(instance, events[EV_TCP_TO_LON], PUMP_END_WAIT_MS,
              L"WaitForSingleObject(Events[EV_TCP_TO_LON]=%d\n", true);
    AwaitPump(instance, events[EV_LON_TO_TCP], 0, L"WaitForSingleObject(Events[EV_LON_TO_TCP]=%d\n",
              true);
    CloseHandle(events[EV_LON_TO_TCP]);
    CloseHandle(events[EV_TCP_TO_LON]);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Server wird neu gestartet.\n");
}

// A pump thread that cannot be created fails the first wait, which ends the cycle; say why.
HANDLE StartPump(LPTHREAD_START_ROUTINE entry, ServerInstance* instance) {
    DWORD threadId;
    HANDLE thread = CreateThread(nullptr, 0, entry, instance, 0, &threadId);
    if (thread == nullptr) PrintSystemError(GetLastError(), L"CreateThread()");
    return thread;
}

// One cycle once both sides are open: pump threads, watch, restart.
void RunCycle(ServerInstance* instance) {
    HANDLE events[2];
    events[EV_LON_TO_TCP] = StartPump(LonToTcp, instance);
    events[EV_TCP_TO_LON] = StartPump(TcpToLon, instance);
    DWORD referenceTick = GetTickCount();
    instance->ReadNoAliveCount.store(0, std::memory_order_relaxed);
    instance->WriteAliveCount.store(0, std::memory_order_relaxed);
    RaisePriority(events[EV_LON_TO_TCP]);
    RaisePriority(events[EV_TCP_TO_LON]);
    Restart(instance, events, Watch(instance, events, referenceTick));
}

}  // namespace

DWORD StartServer(ServerInstance* instance) {
    DWORD r = StartTcpServer(instance);
    if (r != 0) {
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(r == static_cast<DWORD>(WSAEINTR)
                           ? L"Programm wird gerade beendet.\n"
                           : L"Starten der TCP Verbindung nicht möglich.\n");
        }
        return r;
    }
    r = StartLon(instance);
    if (r != 0) {
        if (ZoneOn(ZONE_ERROR)) DebugPrint(L"Starten der LON Schnittstelle nicht möglich.\n");
        return r;
    }
    HandOffNeuronIdMessage(instance);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"LON und TCP erfolgreich gestartet.\n");
    return 0;
}

DWORD StopServer(ServerInstance* instance) {
    CloseTcp(instance);
    ReportAlive(instance->Status);  // each side's close is bounded on its own, not together
    StopLon(instance);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"LON und Tcp Beendet.\n");
    return 0;
}

DWORD MainLoop(LPVOID parameter) {
    auto* instance = static_cast<ServerInstance*>(parameter);
    WCHAR name[260];
    wsprintfW(name, L"MainLoop(%d)", instance->Port);
    SetThreadDebugName(name);
    RegisterQuorThread(name);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"MainLoop gestartet\n");
    if (ZoneOn(ZONE_INIT)) {
        DebugPrint(L"Server gestartet (Port=%d DevName=%ls)\n", instance->Port, instance->DevName);
    }
    TriggerWDog(WDOG_RUNNING);
    StartMonitors(instance);
    StartCapture(instance);
    while (StartUntilRunning(instance)) RunCycle(instance);
    StopCapture(instance);
    StopMonitors(instance);
    bool stopping = StopRequested();
    if (!stopping && ZoneOn(ZONE_ERROR)) DebugPrint(L"Error: WSAEADDRINUSE: Thread beendet!\n");
    TriggerWDog(0);
    ReportEnded(instance->Status);
    return stopping ? 0 : WSAEADDRINUSE;
}
