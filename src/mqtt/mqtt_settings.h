// Where the server reports over MQTT: the registry key Quorvel\Mqtt. Without the key the
// server publishes nothing.
#pragma once

#include <string>

#include "platform/win.h"

struct MqttSettings {
    std::string Broker;  // as configured, for the log
    std::string Host;
    int Port;
    bool Tls;
    std::string TopicPrefix;
    std::string ClientId;  // empty: the library makes one up
    std::string Username;
    std::string Password;  // the first line of PasswordFile
    std::string CaFile;
    std::string CertFile;
    std::string KeyFile;
    bool Telegrams;
    bool operator==(const MqttSettings&) const = default;
};

enum MqttConfig { MQTT_ABSENT, MQTT_CONFIGURED, MQTT_MALFORMED };

// Reads the key under `root` (HKEY_LOCAL_MACHINE, or a snapshot of it) into `settings`. A
// malformed value is reported once, with its key and value and `consequence`, and gives
// MQTT_MALFORMED.
MqttConfig ReadMqttSettings(win::HKEY root, MqttSettings* settings, win::LPCWSTR consequence);
