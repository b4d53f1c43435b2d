// The program's entry: debug output, the socket library, the command line, the instances.
#include "diag/debug.h"
#include "startup/instances.h"
#include "startup/options.h"

int wmain(int argc, wchar_t** argv) {
    InitDebugOutput(nullptr, nullptr);
    // The table and its records live as long as the process: instances keep pointers to them.
    static InstanceTable table;
    int result = BuildInstanceTable(argc, argv, &table);
    if (result != 0) return result;
    if (table.BadOptions > 0) {
        PrintUsage();
        return EXIT_BAD_OPTIONS;
    }
    return StartInstances(table.Slots, table.Index);
}
