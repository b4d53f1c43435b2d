// The server on MQTT: its state, each instance's status and, when asked for, every telegram,
// published through a broker (registry key Quorvel\Mqtt) by a thread of its own that drives
// libmosquitto. The pumps only offer copies to a bounded queue and never wait on MQTT; a broker
// that is slow or gone costs held copies, then dropped ones (mqtt_dropped), never a telegram of
// the bridge.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "instance/instance.h"
#include "mqtt/mqtt_settings.h"

enum MqttDirection { MQTT_FROM_BUS, MQTT_TO_BUS };

// Reads the key and, when it is there and sound, starts the MQTT thread for `instances`.
// Call before the instances start; without the key nothing changes.
void StartMqtt(const std::vector<ServerInstance*>& instances);
// Whether a reading of the key (ReadMqttSettings) differs from the one the server started with.
// MQTT takes new settings at a restart only.
bool MqttSettingsChanged(MqttConfig config, const MqttSettings& settings);
// What MQTT publishes of `instance`, for the start's lines: "status under <prefix>/<port>"
// (with telegrams, "status and telegrams under ..."); empty when the server runs without MQTT.
std::string MqttPublishing(const ServerInstance* instance);
// An instance's state changed: its status goes out now rather than at the next second.
void WakeMqtt();
// A telegram has passed, from the bus to the client or from the client to the bus. With
// telegrams on, a copy goes to the MQTT thread's queue if there is room; else it is counted
// as dropped.
void OfferTelegram(ServerInstance* instance, MqttDirection direction, const uint8_t* telegram,
                   uint32_t length);
// The server ends: the state `offline` goes out and the connection closes. Returns once that
// is done, or at `deadline`.
void StopMqtt(std::chrono::steady_clock::time_point deadline);
