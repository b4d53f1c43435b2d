#include "startup/reload.h"

#include <cstring>

#include "diag/debug.h"
#include "mqtt/mqtt.h"
#include "startup/access_settings.h"

using namespace win;

namespace {

constexpr LPCWSTR NOTHING_CHANGED = L"nothing changed, the running settings stay.";

// An ended instance (its port was in use, or its settings malformed at the start) has no
// settings to change; a restart starts it again.
bool Running(const ServerInstance& instance) {
    return instance.Status.State.load(std::memory_order_relaxed) != STATE_ENDED;
}

void TellRestartNeeded(const ServerInstance& instance, LPCWSTR what) {
    if (ZoneOn(ZONE_ERROR)) {
        DebugPrint(
            L"Error: SIGHUP: %ls of port %d changed; it takes effect at a restart, until then "
            L"the old one stays\n",
            what, instance.Port & 0xFFFF);
    }
}

// The parts of `access` that may change while the instance runs; the rest only compared.
void TakeAccessSettings(ServerInstance& instance, const AccessSettings& access) {
    if (!(access.ListenAddress == instance.Access.ListenAddress)) {
        TellRestartNeeded(instance, L"ListenAddress");
    }
    if (access.MonitorPort != instance.Access.MonitorPort) {
        TellRestartNeeded(instance, L"MonitorPort");
    }
    if (access.CapturePort != instance.Access.CapturePort) {
        TellRestartNeeded(instance, L"CapturePort");
    }
    std::lock_guard<std::mutex> lock(instance.AccessLock);
    instance.Access.AllowFromCount = access.AllowFromCount;
    std::memcpy(instance.Access.AllowFrom, access.AllowFrom, sizeof access.AllowFrom);
    instance.Access.MonitorLimit = access.MonitorLimit;
}

}  // namespace

void ReloadSettings(const std::vector<ServerInstance*>& instances) {
    HKEY root = nullptr;
    LONG opened = RegOpenSnapshotOfFile(&root);
    if (opened != ERROR_SUCCESS) {
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(L"Error: SIGHUP: the registry file %ls; %ls\n",
                       opened == ERROR_BADDB ? L"has lines that cannot be read" : L"cannot be read",
                       NOTHING_CHANGED);
        }
        return;
    }
    // Every value is read, so that each malformed one is reported, before anything changes.
    // A value the file leaves out goes back to its default.
    DWORD mask = DEFAULT_ZONE_MASK;
    DWORD style = DEFAULT_STYLE;
    bool sound = ReadDebugSettings(root, &mask, &style, NOTHING_CHANGED);
    std::vector<AccessSettings> access(instances.size());
    for (size_t i = 0; i < instances.size(); ++i) {
        if (!Running(*instances[i])) continue;
        sound = ReadAccessSettings(root, instances[i]->Port, &access[i], NOTHING_CHANGED) && sound;
    }
    MqttSettings mqtt;
    MqttConfig mqttConfig = ReadMqttSettings(root, &mqtt, NOTHING_CHANGED);
    RegCloseKey(root);
    if (!sound || mqttConfig == MQTT_MALFORMED) return;

    // The zones first: whoever sees the new AllowFrom at work sees them too.
    SetDebugSettings(mask, style);
    for (size_t i = 0; i < instances.size(); ++i) {
        if (Running(*instances[i])) TakeAccessSettings(*instances[i], access[i]);
    }
    if (MqttSettingsChanged(mqttConfig, mqtt) && ZoneOn(ZONE_ERROR)) {
        DebugPrint(
            L"Error: SIGHUP: the MQTT settings changed; they take effect at a restart, until then "
            L"the old ones stay\n");
    }
    if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"SIGHUP: registry file read again (debug zones %08x, style %08x)\n", mask,
                   style);
    }
}
