#include "startup/instances.h"

#include <string>

#include "bridge/supervisor.h"
#include "diag/debug.h"
#include "mqtt/mqtt.h"
#include "platform/device_names.h"
#include "startup/access_settings.h"
#include "status_text/status_text.h"

using namespace win;
using win::devices::DeviceKind;

namespace {

// "10.1.0.0/16", or the address alone when the network is one address.
std::string NetText(const AllowedNet& net) {
    WCHAR text[46];
    int family = net.Address.Version == 4 ? AF_INET : AF_INET6;
    if (InetNtopW(family, net.Address.Bytes, text, 46) == nullptr) return "?";
    std::string result = Utf8(text);
    if (net.PrefixLength != (net.Address.Version == 4 ? 32 : 128)) {
        result += '/';
        result += std::to_string(net.PrefixLength);
    }
    return result;
}

std::string AllowFromText(const AccessSettings& access) {
    if (access.AllowFromCount == 0) return "every client";
    std::string text;
    for (int32_t i = 0; i < access.AllowFromCount; ++i) {
        if (i > 0) text += ", ";
        text += NetText(access.AllowFrom[i]);
    }
    return text;
}

// What the device name stands for: "simulated channel LON1:", "serial line /dev/ttyUSB0",
// "network interface lon0", each followed by the variable that named it, if one did.
std::string TargetText(const devices::DeviceTarget& target) {
    const char* kinds[] = {"simulated channel ", "serial line ", "network interface ",
                           "nothing: no such kind of device "};
    std::string text = kinds[static_cast<int>(target.Kind)] + target.Name;
    if (!target.Variable.empty()) text += " (from " + target.Variable + ")";
    return text;
}

// One line for the instance: its port, its interface and what that stands for, who may
// connect, its monitors, and MQTT. A named interface that is not there gets a line of its own,
// now rather than when the first client comes; it is not opened before then.
void TellInstance(const ServerInstance& instance) {
    const devices::DeviceTarget target = devices::ResolveDeviceName(instance.DevName);
    std::string mqtt = MqttPublishing(&instance);
    std::string monitors = instance.Access.MonitorPort != 0
                               ? "monitors on port " + std::to_string(instance.Access.MonitorPort) +
                                     " (at most " + std::to_string(instance.Access.MonitorLimit) +
                                     ")"
                               : "no monitor port";
    DebugNotice(
        L"port %d: interface %ls%ls = %hs; AllowFrom %hs; %hs; %hs%hs\n", instance.Port & 0xFFFF,
        instance.DevName, instance.DllName != nullptr ? L" through the LDV library" : L"",
        TargetText(target).c_str(), AllowFromText(instance.Access).c_str(), monitors.c_str(),
        mqtt.empty() ? "not on MQTT" : "MQTT publishes its ", mqtt.c_str());
    if (!devices::DeviceTargetExists(target) && ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"Error: port %d: %hs does not exist; each client is closed until it does\n",
                   instance.Port & 0xFFFF, TargetText(target).c_str());
    }
}

}  // namespace

void ReadInstanceSettings(ServerInstance** table, int lastIndex) {
    for (int slot = lastIndex; slot >= 0; --slot) {
        if (table[slot] != nullptr && !ReadAccessSettings(table[slot])) {
            ReportEnded(table[slot]->Status);
        }
    }
}

void TellInstances(ServerInstance** table, int lastIndex) {
    for (int slot = 0; slot <= lastIndex; ++slot) {
        if (table[slot] == nullptr ||
            table[slot]->Status.State.load(std::memory_order_relaxed) == STATE_ENDED) {
            continue;
        }
        if (NoticeOn()) TellInstance(*table[slot]);
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
