#include "startup/instances.h"

#include "bridge/supervisor.h"
#include "diag/debug.h"
#include "startup/access_settings.h"

using namespace win;

void ReadInstanceSettings(ServerInstance** table, int lastIndex) {
    for (int slot = lastIndex; slot >= 0; --slot) {
        if (table[slot] != nullptr && !ReadAccessSettings(table[slot])) {
            ReportEnded(table[slot]->Status);
        }
    }
}

int StartInstances(ServerInstance** table, int lastIndex) {
    // From the last slot down, each on a thread of its own that nobody waits for, except the
    // first one that can start: it runs on the main thread. An instance whose access settings
    // are malformed does not start; the others do.
    ServerInstance* mainInstance = nullptr;
    for (int slot = lastIndex; slot >= 0; --slot) {
        if (table[slot] == nullptr ||
            table[slot]->Status.State.load(std::memory_order_relaxed) == STATE_ENDED) {
            continue;
        }
        if (mainInstance != nullptr) {
            DWORD threadId;
            HANDLE thread = CreateThread(nullptr, 0, MainLoop, mainInstance, 0, &threadId);
            if (thread == nullptr) {
                PrintSystemError(GetLastError(), L"CreateThread()");
                return 1;
            }
            CloseHandle(thread);
        }
        mainInstance = table[slot];
    }
    if (mainInstance == nullptr) return 1;
    // The process lives as long as this supervisor.
    MainLoop(mainInstance);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Programm normal beendet\n");
    return 0;
}
