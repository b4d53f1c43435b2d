#include "startup/descriptors.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

#include "diag/debug.h"
#include "tcp/monitors.h"

namespace {

// What the process holds beside its instances: the standard streams, the service's signal,
// wake and status sockets and a status client, MQTT, the registry file being read, libraries
// being loaded. A socket of the platform layer takes two descriptors (its own and its wake), a
// thread one.
constexpr rlim_t PROCESS_DESCRIPTORS = 32;
// One instance at its busiest, monitors aside: the listening socket, the served client and a
// newcomer being turned away, the supervisor, pump and turn-away threads, the LON interface, and
// the monitor port with its thread and a monitor being accepted or refused.
constexpr rlim_t INSTANCE_DESCRIPTORS = 24;
// A capture port beside: its listening socket, its thread and a reader being accepted.
constexpr rlim_t CAPTURE_PORT_DESCRIPTORS = 6;
// One monitor (or capture reader): its socket and its writer thread.
constexpr rlim_t MONITOR_DESCRIPTORS = 3;

// The soft limit, raised to the hard one where it is lower.
rlim_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return RLIM_INFINITY;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = {limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

}  // namespace

void FitDescriptors(ServerInstance** table, int lastIndex) {
    rlim_t limit = RaiseDescriptorLimit();
    if (limit == RLIM_INFINITY) return;
    rlim_t instances = 0;
    rlim_t monitors = 0;
    rlim_t captures = 0;
    for (int slot = 0; slot <= lastIndex; ++slot) {
        const ServerInstance* instance = table[slot];
        if (instance == nullptr ||
            instance->Status.State.load(std::memory_order_relaxed) == STATE_ENDED) {
            continue;
        }
        ++instances;
        const auto watchers = static_cast<rlim_t>(instance->Access.MonitorLimit);
        if (instance->Access.MonitorPort != 0) monitors += watchers;
        if (instance->Access.CapturePort != 0) {
            monitors += watchers;
            captures += CAPTURE_PORT_DESCRIPTORS;
        }
    }
    rlim_t reserve = PROCESS_DESCRIPTORS + instances * INSTANCE_DESCRIPTORS + captures;
    rlim_t room = limit > reserve ? (limit - reserve) / MONITOR_DESCRIPTORS : 0;
    SetMonitorRoom(static_cast<int32_t>(std::min<rlim_t>(room, INT32_MAX)));
    if (!ZoneOn(ZONE_ERROR)) return;
    if (limit < reserve) {
        DebugPrint(
            L"Error: the descriptor limit %llu (LimitNOFILE) is too low for %llu instances, which "
            L"need %llu: a client may find no descriptor left\n",
            static_cast<unsigned long long>(limit), static_cast<unsigned long long>(instances),
            static_cast<unsigned long long>(reserve));
    }
    if (monitors <= room) return;
    DebugPrint(
        L"Error: the descriptor limit %llu (LimitNOFILE) leaves room for %llu monitors beside "
        L"%llu instances, not the %llu their MonitorLimit allows: the rest are refused\n",
        static_cast<unsigned long long>(limit), static_cast<unsigned long long>(room),
        static_cast<unsigned long long>(instances), static_cast<unsigned long long>(monitors));
}
