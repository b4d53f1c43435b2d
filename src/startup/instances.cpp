#include "startup/instances.h"

#include "bridge/supervisor.h"
#include "diag/debug.h"

using namespace win;

int StartInstances(ServerInstance** table, int lastIndex) {
    // From the last slot down to the second, each on a thread of its own that nobody waits for.
    for (int slot = lastIndex; slot >= 1; --slot) {
        if (table[slot] == nullptr) continue;
        DWORD threadId;
        HANDLE thread = CreateThread(nullptr, 0, MainLoop, table[slot], 0, &threadId);
        if (thread == nullptr) {
            PrintSystemError(GetLastError(), L"CreateThread()");
            return 1;
        }
        CloseHandle(thread);
    }
    // The process lives as long as the first instance's supervisor.
    MainLoop(table[0]);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"Programm normal beendet\n");
    return 0;
}
