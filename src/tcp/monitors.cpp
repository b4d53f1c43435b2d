#include "tcp/monitors.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "diag/debug.h"
#include "diag/thread_registry.h"
#include "tcp/client_access.h"
#include "tcp/framing.h"
#include "tcp/server_socket.h"

using namespace win;

static_assert((MONITOR_QUEUE_SIZE & (MONITOR_QUEUE_SIZE - 1)) == 0);

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;
constexpr DWORD WATCH_SLICE_MS = 1000;
// A writer ends as soon as its socket is closed; this bound only guards against one stuck
// elsewhere.
constexpr DWORD WRITER_END_WAIT_MS = 5000;
constexpr int MONITOR_RECV_SIZE = 4096;
// After a send that emptied its queue, a writer pauses this long before it looks again, so that
// a busy bus's telegrams reach a monitor a few to a send: one wake-up and one send for each
// telegram would cost a monitor as much as serving the client does. Small beside the queue's
// second of a busy channel.
constexpr DWORD GATHER_MS = 2;

// Monitors that may still attach, all instances together (SetMonitorRoom).
std::atomic<int32_t> MonitorRoom{INT32_MAX};

bool TakeMonitorRoom() {
    if (MonitorRoom.fetch_sub(1, RELAXED) > 0) return true;
    MonitorRoom.fetch_add(1, RELAXED);
    return false;
}

void Count(ServerInstance* instance, StatusCounter counter, int64_t amount) {
    instance->Status.Counters[counter].fetch_add(static_cast<uint64_t>(amount), RELAXED);
}

// Shown by default: who watched the bus, and when and why it stopped, belongs in the journal.
void Report(const MonitorSlot& slot, bool dropped, LPCWSTR what) {
    const MonitorHub& hub = *slot.Hub;
    if (dropped) {
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(L"Error: %ls %hs on port %d %ls\n", hub.Kind->Noun,
                       PeerText(slot.Peer).c_str(), hub.Port, what);
        }
    } else if (NoticeOn()) {
        DebugNotice(L"%ls %hs on port %d %ls\n", hub.Kind->Noun, PeerText(slot.Peer).c_str(),
                    hub.Port, what);
    }
}

// A monitor's message: IpMsg, its id and length.
DWORD IpMsgHead(BYTE* head, WORD id, DWORD length, int32_t, int64_t, uint32_t) {
    PutIpMsgHeader(head, id, static_cast<WORD>(length));
    return IPMSG_HEADER_SIZE;
}

// Copies `length` bytes into the queue at stream position `at`, wrapping at its end.
void CopyIn(BYTE* queue, uint64_t at, const BYTE* bytes, DWORD length) {
    if (length == 0) return;  // a keep-alive has no payload, and memcpy takes no null pointer
    uint32_t offset = static_cast<uint32_t>(at) & (MONITOR_QUEUE_SIZE - 1);
    uint32_t first = std::min<uint32_t>(length, MONITOR_QUEUE_SIZE - offset);
    std::memcpy(queue + offset, bytes, first);
    std::memcpy(queue, bytes + first, length - first);
}

// Under the hub's lock: the monitor gets no further message, and its socket is closed, which
// ends its writer and shows the accepting thread that it is gone.
void Detach(MonitorSlot& slot) {
    if (!slot.Active) return;
    slot.Active = false;
    slot.Hub->Attached.fetch_sub(1, RELAXED);
    CloseIfOpen(slot.Socket);
}

// Under the hub's lock. A monitor whose queue has no room is closed: a message left out would
// break its order, and waiting would slow everything else.
void Append(MonitorSlot& slot, const BYTE* header, DWORD headerSize, const BYTE* payload,
            DWORD length) {
    if (!slot.Active) return;
    uint64_t head = slot.Head.load(RELAXED);
    if (MONITOR_QUEUE_SIZE - (head - slot.Tail.load(std::memory_order_acquire)) <
        headerSize + length) {
        slot.DroppedFor.store(MonitorEnd::FellBehind);
        Detach(slot);
        return;
    }
    CopyIn(slot.Queue, head, header, headerSize);
    CopyIn(slot.Queue, head + headerSize, payload, length);
    // Paired with the writer's WriterSleeping store and Head load: either it sees this
    // message, or it has said it sleeps and is woken.
    slot.Head.store(head + headerSize + length);
    if (slot.WriterSleeping.exchange(false)) SetEvent(slot.hWake);
}

// A monitor's writer: sends what its queue holds, in as few sends as the ring allows, until
// its socket fails or is closed.
DWORD WriteToMonitor(LPVOID parameter) {
    auto& slot = *static_cast<MonitorSlot*>(parameter);
    ServerInstance* instance = slot.Hub->Instance;
    WCHAR name[260];
    wsprintfW(name, slot.Hub->Kind->WriterFormat, instance->Port, slot.Peer.Port);
    SetThreadDebugName(name);
    RegisterQuorThread(name);
    while (!slot.Ending.load()) {
        uint64_t tail = slot.Tail.load(RELAXED);
        if (slot.Head.load(std::memory_order_acquire) == tail) {
            ResetEvent(slot.hWake);
            slot.WriterSleeping.store(true);
            if (slot.Head.load() == tail && !slot.Ending.load()) {
                WaitForSingleObject(slot.hWake, INFINITE);
            }
            slot.WriterSleeping.store(false);
            continue;
        }
        uint32_t offset = static_cast<uint32_t>(tail) & (MONITOR_QUEUE_SIZE - 1);
        uint64_t held = slot.Head.load(std::memory_order_acquire) - tail;
        int chunk = static_cast<int>(std::min<uint64_t>(held, MONITOR_QUEUE_SIZE - offset));
        int sent = win::send(slot.Socket.load(), reinterpret_cast<const char*>(slot.Queue) + offset,
                             chunk, 0);
        if (sent != chunk) {
            CloseIfOpen(slot.Socket);
            break;
        }
        slot.Tail.store(tail + static_cast<uint64_t>(chunk), std::memory_order_release);
        slot.WriteAliveCount.store(0, RELAXED);
        Count(instance, slot.Hub->Kind->Bytes, chunk);
        if (static_cast<uint64_t>(chunk) < held) continue;  // the rest wrapped to the ring's start
        // Ending sets the event after its flag: reset first, so that an end is never slept through.
        ResetEvent(slot.hWake);
        if (!slot.Ending.load()) WaitForSingleObject(slot.hWake, GATHER_MS);
    }
    ExitRegisteredThread(0);
}

// Ends one monitor and releases everything it held; the accepting thread's call.
void EndMonitor(MonitorSlot& slot, MonitorEnd why) {
    MonitorHub* hub = slot.Hub;
    {
        std::lock_guard<std::mutex> lock(hub->Lock);
        Detach(slot);
    }
    CloseIfOpen(slot.Socket);
    slot.Ending.store(true);
    SetEvent(slot.hWake);
    if (WaitForSingleObject(slot.hWriter, WRITER_END_WAIT_MS) == WAIT_TIMEOUT) {
        TerminateThread(slot.hWriter, 0);
    }
    CloseHandle(slot.hWriter);
    CloseHandle(slot.hWake);
    if (why == MonitorEnd::Gone) why = slot.DroppedFor.load();
    switch (why) {
        case MonitorEnd::FellBehind:
            Report(slot, true, L"dropped: it fell behind, its queue is full");
            break;
        case MonitorEnd::Silent:
            Report(slot, true, L"dropped: nothing received for four keep-alive periods");
            break;
        case MonitorEnd::Revoked:
            Report(slot, true, L"dropped: a reload took it out of AllowFrom");
            break;
        case MonitorEnd::Stopping:
            Report(slot, false, L"closed: the instance ends");
            break;
        default:
            Report(slot, false, L"closed: its connection ended");
            break;
    }
    if (why != MonitorEnd::Gone && why != MonitorEnd::Stopping) {
        Count(hub->Instance, hub->Kind->Dropped, 1);
    }
    Count(hub->Instance, hub->Kind->Attached, -1);
    MonitorRoom.fetch_add(1, RELAXED);
    delete[] slot.Queue;
    slot.Queue = nullptr;
    slot.InUse = false;
}

// Starts serving a monitor just accepted in a free slot. False when it cannot be served.
bool AttachMonitor(MonitorSlot& slot, SOCKET s, const PeerAddress& peer) {
    slot.Peer = peer;
    slot.Queue = new (std::nothrow) BYTE[MONITOR_QUEUE_SIZE];
    slot.hWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (slot.Queue == nullptr || slot.hWake == nullptr) {
        PrintSystemError(ERROR_NOT_ENOUGH_MEMORY, L"monitor");
        delete[] slot.Queue;
        slot.Queue = nullptr;
        if (slot.hWake != nullptr) CloseHandle(slot.hWake);
        return false;
    }
    slot.Socket.store(s);
    slot.Head.store(0, RELAXED);
    slot.Tail.store(0, RELAXED);
    slot.WriterSleeping.store(false);
    slot.Ending.store(false);
    slot.DroppedFor.store(MonitorEnd::Gone);
    slot.WriteAliveCount.store(0, RELAXED);
    slot.ReadNoAliveCount = 0;
    slot.ReferenceTick = GetTickCount();
    slot.HeaderHeld = 0;
    slot.SkipLeft = 0;
    CopyIn(slot.Queue, 0, slot.Hub->Kind->Greeting, slot.Hub->Kind->GreetingSize);
    slot.Head.store(slot.Hub->Kind->GreetingSize, RELAXED);
    DWORD threadId;
    slot.hWriter = CreateThread(nullptr, 0, WriteToMonitor, &slot, 0, &threadId);
    if (slot.hWriter == nullptr) {
        PrintSystemError(GetLastError(), L"CreateThread()");
        CloseHandle(slot.hWake);
        delete[] slot.Queue;
        slot.Queue = nullptr;
        return false;
    }
    slot.InUse = true;
    {
        std::lock_guard<std::mutex> lock(slot.Hub->Lock);
        slot.Active = true;
        slot.Hub->Attached.fetch_add(1, RELAXED);
    }
    // Told only once it is attached: every telegram after this line reaches it.
    Count(slot.Hub->Instance, slot.Hub->Kind->Attached, 1);
    Report(slot, false, L"connected");
    return true;
}

// Closes every watcher of `hub` that its instance's AllowFrom no longer lets in; with the
// instance's AccessLock held.
void DropRevokedWatchers(MonitorHub* hub) {
    if (hub == nullptr) return;
    std::lock_guard<std::mutex> lock(hub->Lock);
    for (MonitorSlot& slot : hub->Slots) {
        if (slot.Active && !IsAllowedBy(hub->Instance->Access, slot.Peer.Address)) {
            slot.DroppedFor.store(MonitorEnd::Revoked);
            Detach(slot);
        }
    }
}

void AcceptMonitor(MonitorHub* hub) {
    ServerInstance* instance = hub->Instance;
    sockaddr_storage peer{};
    int peerLength = sizeof peer;
    SOCKET s =
        win::accept(hub->ListenSocket.load(), reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (s == INVALID_SOCKET) {
        // Out of descriptors, say: pause, but end at once when the port is closed.
        WSAPOLLFD listening = {hub->ListenSocket.load(), 0, 0};
        PauseAfterFailedAccept(&hub->AcceptFailed, &listening);
        return;
    }
    PeerAddress from = PeerOf(peer);
    if (RefuseDisallowedClient(instance, s, from, hub->Kind->NotAllowed)) return;
    int32_t inUse = 0;
    MonitorSlot* vacant = nullptr;
    for (MonitorSlot& slot : hub->Slots) {
        if (slot.InUse) {
            ++inUse;
        } else if (vacant == nullptr) {
            vacant = &slot;
        }
    }
    int32_t limit;
    {
        std::lock_guard<std::mutex> lock(instance->AccessLock);
        limit = instance->Access.MonitorLimit;
    }
    // Counted before the close, and told like the refusals at AllowFrom: a flood of newcomers
    // costs a line a second.
    bool full = inUse >= limit;
    if (full || !TakeMonitorRoom()) {
        CountRefused(instance->Status, full ? hub->Kind->OverLimit : hub->Kind->NoRoom, from);
        win::closesocket(s);
        return;
    }
    SetSocketOptions(s);
    if (!AttachMonitor(*vacant, s, from)) {
        MonitorRoom.fetch_add(1, RELAXED);
        win::closesocket(s);
        return;
    }
    // A reload between the check above and the attach found this monitor not yet attached.
    std::lock_guard<std::mutex> lock(instance->AccessLock);
    DropRevokedWatchers(hub);
}

// Reads what a monitor sent and discards it, counting every message but keep-alives. False
// when the monitor is gone.
bool ReadFromMonitor(MonitorSlot& slot) {
    BYTE buffer[MONITOR_RECV_SIZE];
    int got = win::recv(slot.Socket.load(), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (got == SOCKET_ERROR || got == 0) return false;
    if (!slot.Hub->Kind->TalksBack) return true;
    slot.ReadNoAliveCount = 0;
    int64_t discarded = 0;
    for (int at = 0; at < got;) {
        if (slot.SkipLeft > 0) {
            uint32_t skip = std::min<uint32_t>(slot.SkipLeft, static_cast<uint32_t>(got - at));
            slot.SkipLeft -= skip;
            at += static_cast<int>(skip);
            continue;
        }
        slot.Header[slot.HeaderHeld++] = buffer[at++];
        if (slot.HeaderHeld < IPMSG_HEADER_SIZE) continue;
        slot.HeaderHeld = 0;
        slot.SkipLeft = static_cast<uint32_t>(slot.Header[2] | slot.Header[3] << 8);
        if ((slot.Header[0] | slot.Header[1] << 8) != ID_ALIVE) ++discarded;
    }
    if (discarded > 0) Count(slot.Hub->Instance, COUNT_MONITOR_DISCARDED, discarded);
    return true;
}

// The served client's keep-alive rule, for each monitor on its own clock: ID_ALIVE after two
// periods with nothing sent, the end after four with nothing received.
void KeepMonitorsAlive(MonitorHub* hub) {
    if (!hub->Kind->TalksBack) return;
    DWORD now = GetTickCount();
    for (MonitorSlot& slot : hub->Slots) {
        if (!slot.InUse || now - slot.ReferenceTick <= KEEPALIVE_PERIOD_MS) continue;
        slot.ReferenceTick = now;
        int32_t writeAlive = slot.WriteAliveCount.fetch_add(1, RELAXED) + 1;
        if (++slot.ReadNoAliveCount >= MAX_READ_NOALIVE_COUNT) {
            EndMonitor(slot, MonitorEnd::Silent);
        } else if (writeAlive >= SEND_ALIVE_COUNT) {
            std::lock_guard<std::mutex> lock(hub->Lock);
            BYTE header[IPMSG_HEADER_SIZE];
            PutIpMsgHeader(header, ID_ALIVE, 0);
            Append(slot, header, IPMSG_HEADER_SIZE, nullptr, 0);
        }
    }
}

// The accepting thread of an instance's monitors, for the instance's life: waits on the monitor
// port and on every monitor, in slices that also run the keep-alive. Ends when the port is
// closed, and ends every monitor with it.
DWORD WatchMonitors(LPVOID parameter) {
    auto* hub = static_cast<MonitorHub*>(parameter);
    WCHAR name[260];
    wsprintfW(name, hub->Kind->ThreadFormat, hub->Instance->Port);
    SetThreadDebugName(name);
    RegisterQuorThread(name);
    for (;;) {
        WSAPOLLFD watched[1 + MAX_MONITOR_LIMIT];
        MonitorSlot* slotOf[1 + MAX_MONITOR_LIMIT];
        watched[0] = {hub->ListenSocket.load(), POLLRDNORM, 0};
        ULONG count = 1;
        for (MonitorSlot& slot : hub->Slots) {
            if (!slot.InUse) continue;
            slotOf[count] = &slot;
            watched[count++] = {slot.Socket.load(), POLLRDNORM, 0};
        }
        if (win::WSAPoll(watched, count, WATCH_SLICE_MS) == SOCKET_ERROR) {
            PrintSystemError(GetLastError(), L"WSAPoll()");
            break;
        }
        if (watched[0].revents & (POLLNVAL | POLLERR | POLLHUP)) break;
        for (ULONG i = 1; i < count; ++i) {
            if (watched[i].revents == 0) continue;
            bool open = (watched[i].revents & POLLNVAL) == 0 && ReadFromMonitor(*slotOf[i]);
            if (!open) EndMonitor(*slotOf[i], MonitorEnd::Gone);
        }
        if (watched[0].revents & POLLRDNORM) AcceptMonitor(hub);
        KeepMonitorsAlive(hub);
    }
    // Newcomers are refused from now on, not left waiting.
    CloseIfOpen(hub->ListenSocket);
    for (MonitorSlot& slot : hub->Slots) {
        if (slot.InUse) EndMonitor(slot, MonitorEnd::Stopping);
    }
    ExitRegisteredThread(0);
}

}  // namespace

const MonitorKind MONITOR_KIND = {L"monitor",
                                  L"MonitorPort",
                                  L"Monitors(%d)",
                                  L"Monitor(%d:%u)",
                                  COUNT_MONITORS,
                                  COUNT_MONITORS_DROPPED,
                                  COUNT_MONITOR_BYTES,
                                  REFUSED_MONITOR,
                                  REFUSED_MONITOR_LIMIT,
                                  REFUSED_MONITOR_ROOM,
                                  nullptr,
                                  0,
                                  true,
                                  IpMsgHead};

void QueueForMonitors(MonitorHub* hub, WORD id, const BYTE* telegram, DWORD length,
                      int64_t timeUs) {
    std::lock_guard<std::mutex> lock(hub->Lock);
    hub->LastTimeUs = std::max(hub->LastTimeUs, timeUs);
    timeUs = hub->LastTimeUs;
    BYTE head[MONITOR_HEAD_MAX];
    DWORD headSize = hub->Kind->Head(head, id, length, hub->Instance->Port, timeUs,
                                     hub->Records.fetch_add(1, RELAXED));
    for (MonitorSlot& slot : hub->Slots) Append(slot, head, headSize, telegram, length);
}

void SetMonitorRoom(int32_t monitors) {
    MonitorRoom.store(monitors, RELAXED);
}

void DropRevokedMonitors(ServerInstance* instance) {
    DropRevokedWatchers(instance->Monitors);
    DropRevokedWatchers(instance->Capture);
}

void OpenMonitorHub(ServerInstance* instance, int32_t port, const MonitorKind* kind,
                    MonitorHub** where) {
    auto* hub = new MonitorHub();
    hub->Instance = instance;
    hub->Kind = kind;
    hub->Port = port;
    for (MonitorSlot& slot : hub->Slots) {
        slot.Hub = hub;
        slot.Socket.store(INVALID_SOCKET);
    }
    DWORD r = OpenListenSocket(instance, port, hub->ListenSocket);
    DWORD threadId;
    if (r == 0) hub->hThread = CreateThread(nullptr, 0, WatchMonitors, hub, 0, &threadId);
    if (r == 0 && hub->hThread == nullptr) {
        r = GetLastError();
        PrintSystemError(r, L"CreateThread()");
        CloseIfOpen(hub->ListenSocket);
    }
    if (r != 0) {
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(L"Error: %ls %d cannot be opened (%d): no %lss\n", kind->PortSetting, port,
                       static_cast<int>(r), kind->Noun);
        }
        delete hub;
        return;
    }
    // The service's reload reaches the watchers under the lock too.
    std::lock_guard<std::mutex> lock(instance->AccessLock);
    *where = hub;
}

void StartMonitors(ServerInstance* instance) {
    if (instance->Access.MonitorPort == 0) return;
    OpenMonitorHub(instance, instance->Access.MonitorPort, &MONITOR_KIND, &instance->Monitors);
}

void CloseMonitorHub(ServerInstance* instance, MonitorHub** where) {
    MonitorHub* hub;
    {
        std::lock_guard<std::mutex> lock(instance->AccessLock);
        hub = *where;
        *where = nullptr;
    }
    if (hub == nullptr) return;
    // Closing the port wakes the accepting thread, which then ends every monitor; closing the
    // monitors too wakes it wherever it waits.
    CloseIfOpen(hub->ListenSocket);
    for (MonitorSlot& slot : hub->Slots) CloseIfOpen(slot.Socket);
    WaitForSingleObject(hub->hThread, INFINITE);
    CloseHandle(hub->hThread);
    delete hub;
}

void StopMonitors(ServerInstance* instance) {
    CloseMonitorHub(instance, &instance->Monitors);
}
