// Where the server reports over MQTT: the registry key Quorvel\Mqtt. Without the key the
// server publishes nothing.
#pragma once

#include <string>

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
};

enum MqttConfig { MQTT_ABSENT, MQTT_CONFIGURED, MQTT_MALFORMED };

// Reads the key into `settings`. A malformed value is reported once, with its key and value,
// and gives MQTT_MALFORMED: the server then runs without MQTT.
MqttConfig ReadMqttSettings(MqttSettings* settings);
