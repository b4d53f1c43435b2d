// The program's entry: debug output, the socket library, the command line, the instances.
#include "diag/debug.h"
#include "service/service.h"
#include "startup/descriptors.h"
#include "startup/instances.h"
#include "startup/options.h"
#include "startup/reload.h"

namespace {

constexpr win::WORD WINSOCK_VERSION_2_0 = 0x0002;

}  // namespace

int InitWinsock() {
    win::WSADATA data;
    return win::WSAStartup(WINSOCK_VERSION_2_0, &data);
}

int wmain(int argc, wchar_t** argv) {
    InitDebugOutput(nullptr, nullptr);
    int error = InitWinsock();
    if (error != 0) {
        PrintSystemError(static_cast<win::DWORD>(error), L"WSAStartup()");
        return error;
    }
    // The table and its records live as long as the process: instances keep pointers to them.
    static InstanceTable table;
    int result = BuildInstanceTable(argc, argv, &table);
    if (result != 0) return result;
    if (table.BadOptions > 0) {
        PrintUsage();
        return EXIT_BAD_OPTIONS;
    }
    ReadInstanceSettings(table.Slots, table.Index);
    FitDescriptors(table.Slots, table.Index);
    StartService(table.Slots, table.Index, ReloadSettings);
    TellInstances(table.Slots, table.Index);
    int exitCode = StartInstances(table.Slots, table.Index);
    EndService();
    return exitCode;
}
