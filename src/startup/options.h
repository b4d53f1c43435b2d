// The command line turned into the instance table.
#pragma once

#include "instance/instance.h"

constexpr int32_t DEFAULT_PORT = 49152;
constexpr win::LPCWSTR OPTION_STRING = L"mvd:p:n:N:i";
constexpr win::LPCWSTR LDV_LIBRARY_NAME = L"ldv_vni.dll";
constexpr int EXIT_BAD_OPTIONS = 255;

struct InstanceTable {
    ServerInstance** Slots;  // Room entries; Slots[0..Index] in use, Slots[Index] may be null
    int Room;
    int Index;  // the slot the options apply to; after parsing, the last slot
    int BadOptions;
};

// Parses every option into `table` (which it creates). Returns 0, or ERROR_NOT_ENOUGH_MEMORY
// when the table or a record cannot be had. Bad options are counted, not reported.
int BuildInstanceTable(int argc, wchar_t** argv, InstanceTable* table);
void PrintUsage();
