#include "startup/reload.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "diag/debug.h"
#include "mqtt/mqtt.h"
#include "startup/access_settings.h"
#include "tcp/monitors.h"

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

// "10.0.0.0/8, ::1/128", as the log shows a list.
std::wstring AllowFromText(const AccessSettings& access) {
    if (access.AllowFromCount == 0) return L"none, every client is served";
    std::wstring text;
    for (int32_t i = 0; i < access.AllowFromCount; ++i) {
        const AllowedNet& net = access.AllowFrom[i];
        WCHAR address[46];
        if (InetNtopW(net.Address.Version == 4 ? AF_INET : AF_INET6, net.Address.Bytes, address,
                      46) == nullptr) {
            address[0] = L'\0';
        }
        if (i > 0) text += L", ";
        text += address;
        text += L"/" + std::to_wstring(net.PrefixLength);
    }
    return text;
}

// One line, shown by default, for what a reload changes of an instance while it runs. Letting
// every client in is taken, as the operator asked, but told as an error, so that it is seen.
void TellAccessChanges(const ServerInstance& instance, const AccessSettings& was,
                       const AccessSettings& now) {
    std::wstring changes;
    if (!std::equal(was.AllowFrom, was.AllowFrom + was.AllowFromCount, now.AllowFrom,
                    now.AllowFrom + now.AllowFromCount)) {
        changes += L"; AllowFrom " + AllowFromText(now) + L" (was " + AllowFromText(was) + L")";
    }
    if (was.MonitorLimit != now.MonitorLimit) {
        changes += L"; MonitorLimit " + std::to_wstring(now.MonitorLimit) + L" (was " +
                   std::to_wstring(was.MonitorLimit) + L")";
    }
    if (changes.empty() || !ZoneOn(ZONE_ERROR)) return;
    if (now.AllowFromCount == 0 && was.AllowFromCount != 0) {
        DebugPrint(L"Error: SIGHUP: port %d changed: %ls\n", instance.Port & 0xFFFF,
                   changes.c_str() + 2);
    } else {
        DebugNotice(L"SIGHUP: port %d changed: %ls\n", instance.Port & 0xFFFF, changes.c_str() + 2);
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
    // The service thread is the only writer: the old values need no lock to be read here.
    const AccessSettings was = instance.Access;
    {
        std::lock_guard<std::mutex> lock(instance.AccessLock);
        instance.Access.AllowFromCount = access.AllowFromCount;
        std::memcpy(instance.Access.AllowFrom, access.AllowFrom, sizeof access.AllowFrom);
        instance.Access.MonitorLimit = access.MonitorLimit;
        instance.Access.FromKey = access.FromKey;
        DropRevokedMonitors(&instance);
    }
    TellAccessChanges(instance, was, access);
}

void RefuseFile(LPCWSTR why) {
    if (ZoneOn(ZONE_ERROR)) {
        DebugPrint(L"Error: SIGHUP: the registry file %ls; %ls\n", why, NOTHING_CHANGED);
    }
}

bool HasKey(HKEY root, LPCWSTR name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A file emptied, cut short or stripped of a running instance's key is taken for a mistake (a
// rewrite caught half done, a tool that dropped a section), as a missing one is: read as it
// stands, it would let every client in. False, after a line that says why, for such a file.
bool KeepsEveryKey(HKEY root, const std::vector<ServerInstance*>& instances,
                   const std::vector<AccessSettings>& access) {
    if (!HasKey(root, L"Quorvel") && !HasKey(root, L"DebugZones")) {
        RefuseFile(L"holds none of the server's keys");
        return false;
    }
    for (size_t i = 0; i < instances.size(); ++i) {
        if (Running(*instances[i]) && instances[i]->Access.FromKey && !access[i].FromKey) {
            WCHAR why[96];
            wsprintfW(
                why,
                L"has lost the key [HKEY_LOCAL_MACHINE\\Quorvel\\Port%d] of a running instance",
                instances[i]->Port & 0xFFFF);
            RefuseFile(why);
            return false;
        }
    }
    return true;
}

}  // namespace

void ReloadSettings(const std::vector<ServerInstance*>& instances) {
    HKEY root = nullptr;
    LONG opened = RegOpenSnapshotOfFile(&root);
    if (opened != ERROR_SUCCESS) {
        RefuseFile(opened == ERROR_BADDB ? L"has lines that cannot be read" : L"cannot be read");
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
    sound = sound && mqttConfig != MQTT_MALFORMED && KeepsEveryKey(root, instances, access);
    RegCloseKey(root);
    if (!sound) return;

    // The zones first: whoever sees the new AllowFrom at work sees them too. Told under the old
    // ones, so that a reload that hides the error zone still says so.
    const DWORD oldMask = __atomic_load_n(&DebugZoneSettings.ulZoneMask, __ATOMIC_RELAXED);
    const DWORD oldStyle = __atomic_load_n(&DebugStyle, __ATOMIC_RELAXED);
    if ((mask != oldMask || style != oldStyle) && NoticeOn()) {
        DebugNotice(L"SIGHUP: debug zones %08x, style %08x (were %08x, %08x)\n", mask, style,
                    oldMask, oldStyle);
    }
    SetDebugSettings(mask, style);
    for (size_t i = 0; i < instances.size(); ++i) {
        if (Running(*instances[i])) TakeAccessSettings(*instances[i], access[i]);
    }
    if (MqttSettingsChanged(mqttConfig, mqtt) && ZoneOn(ZONE_ERROR)) {
        DebugPrint(
            L"Error: SIGHUP: the MQTT settings changed; they take effect at a restart, until then "
            L"the old ones stay\n");
    }
    // The reload's result is shown by default: an operator who reloads wants to see it taken.
    if (NoticeOn()) {
        DebugNotice(L"SIGHUP: registry file read again (debug zones %08x, style %08x)\n", mask,
                    style);
    }
}
