#include "mqtt/mqtt_settings.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "diag/debug.h"
#include "status_text/status_text.h"

using namespace win;

namespace {

constexpr LPCWSTR MQTT_KEY = L"Quorvel\\Mqtt";
constexpr DWORD MAX_VALUE_LENGTH = 1024;
constexpr int MQTT_PORT = 1883;
constexpr int MQTTS_PORT = 8883;
constexpr int MAX_PORT = 65535;
constexpr size_t MAX_PASSWORD = 65535;  // an MQTT connect's field

struct Value {
    bool Present;
    DWORD Type;
    std::string Text;  // UTF-8; for a dword its registry form, for the report
    DWORD Number;
};

Value ReadValue(HKEY key, LPCWSTR name) {
    WCHAR data[MAX_VALUE_LENGTH];
    DWORD type = REG_NONE;
    DWORD size = sizeof data - sizeof(WCHAR);
    LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    Value value{result != ERROR_FILE_NOT_FOUND, type, "", 0};
    if (!value.Present) {
        value.Text = "(missing)";
    } else if (result != ERROR_SUCCESS) {
        // Longer than any host name or path we take.
        value.Type = REG_NONE;
        value.Text = "(too long)";
    } else if (type == REG_SZ) {
        data[size / sizeof(WCHAR)] = L'\0';
        value.Text = Utf8(data);
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        std::memcpy(&value.Number, data, sizeof value.Number);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", value.Number);
        value.Text = text;
    } else {
        value.Text = "(not text)";
    }
    return value;
}

// What a malformed value means, for the reading under way on this thread.
thread_local LPCWSTR Consequence = L"";

// Once per value: the key, the value, why, and what follows.
void ReportBadValue(LPCWSTR name, const Value& value, const char* why) {
    if (ZoneOn(ZONE_ERROR)) {
        DebugPrint(
            L"Error: [HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt] \"%ls\"=%hs%hs%hs is not valid (%hs); "
            L"%ls\n",
            name, value.Type == REG_SZ ? "\"" : "", value.Text.c_str(),
            value.Type == REG_SZ ? "\"" : "", why, Consequence);
    }
}

bool IsHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// "mqtt://host[:port]" or "mqtts://host[:port]"; an IPv6 address in brackets.
bool ParseBroker(const std::string& text, MqttSettings* settings) {
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        settings->Tls = false;
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        settings->Tls = true;
        rest = text.substr(8);
    } else {
        return false;
    }
    size_t hostEnd = 0;
    if (!rest.empty() && rest[0] == '[') {
        hostEnd = rest.find(']');
        if (hostEnd == std::string::npos || hostEnd == 1) return false;
        settings->Host = rest.substr(1, hostEnd - 1);
        if (settings->Host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
            return false;
        }
        ++hostEnd;
    } else {
        while (hostEnd < rest.size() && IsHostCharacter(rest[hostEnd])) ++hostEnd;
        if (hostEnd == 0) return false;
        settings->Host = rest.substr(0, hostEnd);
    }
    settings->Port = settings->Tls ? MQTTS_PORT : MQTT_PORT;
    if (hostEnd == rest.size()) return true;
    if (rest[hostEnd] != ':' || hostEnd + 1 == rest.size() || rest.size() - hostEnd > 6) {
        return false;
    }
    int port = 0;
    for (char c : rest.substr(hostEnd + 1)) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    if (port == 0 || port > MAX_PORT) return false;
    settings->Port = port;
    return true;
}

// What the library sends as an MQTT string: UTF-8 without control characters. It refuses
// anything else only when it is handed over, which would leave the server quietly anonymous or
// publishing nothing.
bool LibraryText(const std::string& text) {
    return mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

// A topic for publishing, with no level empty at either end. A `$` topic is the broker's own:
// mosquitto refuses it, and a subscriber to `#` would never see it.
bool ValidPrefix(const std::string& prefix) {
    return !prefix.empty() && prefix.front() != '$' && prefix.front() != '/' &&
           prefix.back() != '/' && LibraryText(prefix) &&
           mosquitto_pub_topic_check(prefix.c_str()) == MOSQ_ERR_SUCCESS;
}

std::string DefaultPrefix() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "veltrabox/localhost";
    return std::string("veltrabox/") + host;
}

// Text values: absent leaves `out` as it is; anything but non-empty text is reported.
bool ReadText(HKEY key, LPCWSTR name, std::string* out) {
    Value value = ReadValue(key, name);
    if (!value.Present) return true;
    if (value.Type != REG_SZ || value.Text.empty()) {
        ReportBadValue(name, value, "not a text");
        return false;
    }
    *out = value.Text;
    return true;
}

// A text the library sends to the broker as it stands.
bool ReadLibraryText(HKEY key, LPCWSTR name, std::string* out) {
    if (!ReadText(key, name, out)) return false;
    if (LibraryText(*out)) return true;
    ReportBadValue(name, Value{true, REG_SZ, *out, 0}, "UTF-8 without control characters");
    return false;
}

// A file that the server must read: absent is fine, unreadable is reported. Only a plain file
// will do: opening a FIFO waits for a writer, and a device may never end, so either would hang
// the start or the broker's connect.
bool ReadFileName(HKEY key, LPCWSTR name, std::string* out) {
    if (!ReadText(key, name, out)) return false;
    if (out->empty()) return true;
    struct stat info {};
    std::string why;
    if (access(out->c_str(), R_OK) != 0 || stat(out->c_str(), &info) != 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        why = "not a plain file";
    } else {
        return true;
    }
    ReportBadValue(name, Value{true, REG_SZ, *out, 0}, why.c_str());
    return false;
}

// The password: the file's first line, without its CR, at most what a connect carries. The
// file is read no further than that, so one with no line end in reach (a binary named by
// mistake) is refused instead of filling the memory.
bool ReadPassword(HKEY key, MqttSettings* settings) {
    std::string path;
    if (!ReadFileName(key, L"PasswordFile", &path)) return false;
    if (path.empty()) return true;
    std::string text(MAX_PASSWORD + 2, '\0');  // room for the longest, its CR and its LF
    std::ifstream file(path, std::ios::binary);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    std::string password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.size() > MAX_PASSWORD) {
        ReportBadValue(L"PasswordFile", Value{true, REG_SZ, path, 0},
                       "its first line is longer than 65535 bytes");
        return false;
    }
    // The library takes the password as a C string: it would end at the zero byte.
    if (password.find('\0') != std::string::npos) {
        ReportBadValue(L"PasswordFile", Value{true, REG_SZ, path, 0},
                       "its first line holds a zero byte");
        return false;
    }
    settings->Password = password;
    return true;
}

bool ReadSettings(HKEY key, MqttSettings* settings) {
    Value broker = ReadValue(key, L"Broker");
    settings->Broker = broker.Text;
    if (!broker.Present || broker.Type != REG_SZ || !ParseBroker(broker.Text, settings)) {
        ReportBadValue(L"Broker", broker, "mqtt://host[:port] or mqtts://host[:port]");
        return false;
    }
    settings->TopicPrefix = DefaultPrefix();
    if (!ReadText(key, L"TopicPrefix", &settings->TopicPrefix)) return false;
    if (!ValidPrefix(settings->TopicPrefix)) {
        ReportBadValue(L"TopicPrefix", Value{true, REG_SZ, settings->TopicPrefix, 0},
                       "UTF-8 without control characters; no + or #, no $ at the start, no / "
                       "at either end");
        return false;
    }
    if (!ReadLibraryText(key, L"ClientId", &settings->ClientId) ||
        !ReadLibraryText(key, L"Username", &settings->Username) || !ReadPassword(key, settings) ||
        !ReadFileName(key, L"CaFile", &settings->CaFile) ||
        !ReadFileName(key, L"CertFile", &settings->CertFile) ||
        !ReadFileName(key, L"KeyFile", &settings->KeyFile)) {
        return false;
    }
    if (!settings->Tls && !(settings->CaFile + settings->CertFile + settings->KeyFile).empty()) {
        ReportBadValue(L"Broker", broker, "certificates are for mqtts://");
        return false;
    }
    if (settings->CertFile.empty() != settings->KeyFile.empty()) {
        LPCWSTR name = settings->CertFile.empty() ? L"KeyFile" : L"CertFile";
        const std::string& file =
            settings->CertFile.empty() ? settings->KeyFile : settings->CertFile;
        ReportBadValue(name, Value{true, REG_SZ, file, 0}, "CertFile and KeyFile go together");
        return false;
    }
    Value telegrams = ReadValue(key, L"Telegrams");
    if (telegrams.Present && (telegrams.Type != REG_DWORD || telegrams.Number > 1)) {
        ReportBadValue(L"Telegrams", telegrams, "dword:0 or dword:1");
        return false;
    }
    settings->Telegrams = telegrams.Present && telegrams.Number == 1;
    return true;
}

}  // namespace

MqttConfig ReadMqttSettings(HKEY root, MqttSettings* settings, LPCWSTR consequence) {
    *settings = MqttSettings{};
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, MQTT_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return MQTT_ABSENT;
    Consequence = consequence;
    bool valid = ReadSettings(key, settings);
    RegCloseKey(key);
    return valid ? MQTT_CONFIGURED : MQTT_MALFORMED;
}
