// The server's MQTT settings, read from registry text as the start-up and a reload read them: the
// input is the text under [HKEY_LOCAL_MACHINE\Quorvel\Mqtt]. Settings that are accepted must
// hold together, and written out again plainly they must read back the same. The file values
// may name the files of SCRATCH, which the target makes: a password with a CRLF line end and
// three readable files for the certificates.
#include <filesystem>
#include <fstream>
#include <string>

#include "diag/debug.h"
#include "fuzz_check.h"
#include "mqtt/mqtt_settings.h"

namespace {

const std::filesystem::path SCRATCH = "/tmp/veltrabox-fuzz-mqtt";

// Made once per process; a file already there is left alone, so runs side by side agree.
void MakeScratchFiles() {
    static const bool made = [] {
        std::filesystem::create_directories(SCRATCH);
        for (const char* name : {"password", "ca.pem", "cert.pem", "key.pem"}) {
            if (std::filesystem::exists(SCRATCH / name)) continue;
            std::ofstream(SCRATCH / name) << "s3cret\r\nsecond line\n";
        }
        return true;
    }();
    Check(made);
}

// The settings under the key, from a registry held in memory (see fuzz_instance_settings). The
// error lines stay on: a refused value is printed whole, however long.
MqttConfig ReadAll(const std::string& values, MqttSettings* settings) {
    SetDebugZoneMask(ZONE_ERROR);
    const std::string text = "[HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt]\n" + values;
    win::HKEY root = nullptr;
    Check(win::RegOpenSnapshotOfText(text.data(), text.size(), &root) == win::ERROR_SUCCESS);
    MqttConfig config = ReadMqttSettings(root, settings, L"the server runs without MQTT.");
    win::RegCloseKey(root);
    return config;
}

// `text` as a quoted registry value.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

void AddText(std::string* values, const char* name, const std::string& text) {
    if (!text.empty()) *values += std::string("\"") + name + "\"=" + Quoted(text) + "\n";
}

// Accepted settings as the plainest registry values that say the same; the broker no longer
// than it was (a port only where it is not the scheme's), since the value's length is limited.
// The password is a file's content, not a setting: it is left out.
std::string Written(const MqttSettings& settings) {
    std::string broker = settings.Tls ? "mqtts://" : "mqtt://";
    broker +=
        settings.Host.find(':') != std::string::npos ? "[" + settings.Host + "]" : settings.Host;
    if (settings.Port != (settings.Tls ? 8883 : 1883)) {
        broker += ":" + std::to_string(settings.Port);
    }
    std::string values = "\"Broker\"=" + Quoted(broker) + "\n";
    AddText(&values, "TopicPrefix", settings.TopicPrefix);
    AddText(&values, "ClientId", settings.ClientId);
    AddText(&values, "Username", settings.Username);
    AddText(&values, "CaFile", settings.CaFile);
    AddText(&values, "CertFile", settings.CertFile);
    AddText(&values, "KeyFile", settings.KeyFile);
    if (settings.Telegrams) values += "\"Telegrams\"=dword:00000001\n";
    return values;
}

void CheckSettings(const MqttSettings& settings) {
    Check(settings.Broker.rfind(settings.Tls ? "mqtts://" : "mqtt://", 0) == 0);
    Check(!settings.Host.empty() && settings.Port >= 1 && settings.Port <= 65535);
    const std::string& prefix = settings.TopicPrefix;
    Check(!prefix.empty() && prefix.find_first_of("+#") == std::string::npos &&
          prefix.front() != '/' && prefix.front() != '$' && prefix.back() != '/');
    Check(settings.Tls || (settings.CaFile + settings.CertFile + settings.KeyFile).empty());
    Check(settings.CertFile.empty() == settings.KeyFile.empty());
    Check(settings.Password.find_first_of(std::string("\n\0", 2)) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MakeScratchFiles();
    MqttSettings first;
    MqttConfig config = ReadAll(std::string(reinterpret_cast<const char*>(data), size), &first);
    Check(config != MQTT_ABSENT);
    Verdict("refused");
    if (config != MQTT_CONFIGURED) return 0;
    CheckSettings(first);
    // The default prefix names the host; the verdict names the default.
    static const std::string hostPrefix = [] {
        MqttSettings brokerAlone;
        Check(ReadAll("\"Broker\"=\"mqtt://h\"\n", &brokerAlone) == MQTT_CONFIGURED);
        return brokerAlone.TopicPrefix;
    }();
    MqttSettings shown = first;
    if (shown.TopicPrefix == hostPrefix) shown.TopicPrefix = "veltrabox/HOST";
    Verdict("accepted " + Written(shown) + "password \"" + first.Password + "\"");
    const std::string written = Written(first);
    MqttSettings again;
    Check(ReadAll(written, &again) == MQTT_CONFIGURED);
    again.Broker = first.Broker;
    again.Password = first.Password;
    Check(again == first);
    return 0;
}
