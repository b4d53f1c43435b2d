#include "startup/options.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "diag/debug.h"
#include "platform/toolbox.h"
#include "startup/hex.h"

namespace {

constexpr int FIRST_ROOM = 2;

ServerInstance* NewInstance() {
    auto* instance = new (std::nothrow) ServerInstance();
    if (instance == nullptr) return nullptr;
    instance->Port = DEFAULT_PORT;
    instance->DevName = L"LON1:";
    instance->DllName = nullptr;
    return instance;
}

// Loads the LDV library once to see that it is there. Returns whether it loaded.
bool ProbeLdvLibrary(ServerInstance* instance) {
    instance->DllName = LDV_LIBRARY_NAME;
    win::HMODULE library = win::LoadLibraryW(instance->DllName);
    if (library == nullptr) {
        DebugPrint(L"LoadLibrary(%ls) failed\n", instance->DllName);
        return false;
    }
    win::FreeLibrary(library);
    instance->hDll = nullptr;
    return true;
}

// The neuron ID from the registry, plus `offsetText` as a one-byte hex offset on its last byte.
void SetNeuronIdFromRegistry(ServerInstance* instance, win::LPCWSTR offsetText) {
    win::HKEY key = nullptr;
    win::LONG result =
        win::RegOpenKeyExW(win::HKEY_LOCAL_MACHINE, L"Quorvel", 0, win::KEY_READ, &key);
    if (ZoneOn(ZONE_INIT)) DebugPrint(L"RegOpenKeyEx()=%d\n", result);
    if (result == win::ERROR_SUCCESS) {
        win::DWORD size = sizeof instance->NeuronId;
        result = win::RegQueryValueExW(key, L"NID", nullptr, nullptr, instance->NeuronId, &size);
        if (ZoneOn(ZONE_INIT)) DebugPrint(L"RegQueryValueEx()=%d\n", result);
        win::RegCloseKey(key);
    }
    win::BYTE offset = 0;
    HexStringToBytes(offsetText, &offset, 1);
    if (ZoneOn(ZONE_INIT)) DebugPrint(L"HexStringToBytes()=%02X\n", offset);
    instance->NeuronId[5] = static_cast<win::BYTE>(instance->NeuronId[5] + offset);
}

// Opens the next slot, empty until an option needs its record.
bool OpenNextSlot(InstanceTable* table) {
    if (table->Index + 1 >= table->Room) {
        size_t room = 2 * static_cast<size_t>(table->Room);
        void* grown = std::realloc(table->Slots, room * sizeof(ServerInstance*));
        if (grown == nullptr) return false;
        table->Slots = static_cast<ServerInstance**>(grown);
        table->Room = static_cast<int>(room);
    }
    table->Slots[++table->Index] = nullptr;
    return true;
}

void ApplyOption(int option, ServerInstance* instance, InstanceTable* table) {
    switch (option) {
        case 'd':
            instance->DevName = win::optarg;
            break;
        case 'p':
            instance->Port = static_cast<int32_t>(win::_wtol(win::optarg));
            break;
        case 'm':
        case 'v':
            if (!ProbeLdvLibrary(instance)) ++table->BadOptions;
            break;
        case 'n':
            HexStringToBytes(win::optarg, instance->NeuronId, sizeof instance->NeuronId);
            break;
        case 'N':
            SetNeuronIdFromRegistry(instance, win::optarg);
            break;
        case '?':
            ++table->BadOptions;
            break;
        default:
            break;
    }
}

}  // namespace

int BuildInstanceTable(int argc, wchar_t** argv, InstanceTable* table) {
    *table = InstanceTable{};
    table->Slots = static_cast<ServerInstance**>(std::malloc(FIRST_ROOM * sizeof(ServerInstance*)));
    if (table->Slots == nullptr) return win::ERROR_NOT_ENOUGH_MEMORY;
    table->Room = FIRST_ROOM;
    table->Slots[0] = NewInstance();
    if (table->Slots[0] == nullptr) return win::ERROR_NOT_ENOUGH_MEMORY;
    win::ResetGetopt();
    for (int option; (option = win::getopt(argc, argv, OPTION_STRING)) != -1;) {
        ServerInstance*& slot = table->Slots[table->Index];
        if (slot == nullptr && (slot = NewInstance()) == nullptr) {
            return win::ERROR_NOT_ENOUGH_MEMORY;
        }
        if (option == 'i') {
            if (!OpenNextSlot(table)) return win::ERROR_NOT_ENOUGH_MEMORY;
        } else {
            ApplyOption(option, slot, table);
        }
    }
    return 0;
}

void PrintUsage() {
    std::printf("Veltrabox 7.02");
    std::printf(
        "\n\tusage: Veltrabox [-d<driver_name>] [-p<port>] [-m] [-n<neuron_id>] "
        "[-N<neuron_id_ofs>] [-i]\n");
}
