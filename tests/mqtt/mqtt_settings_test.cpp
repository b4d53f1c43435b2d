// The MQTT settings from the registry: what a sound key gives, and that every malformed value is
// reported once, with its key and value, and leaves the server without MQTT.
#include "mqtt/mqtt_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "diag/debug.h"
#include "support/scoped_registry.h"

namespace {

constexpr char KEY[] = "[HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt]\n";

class MqttSettingsTest : public testing::Test {
  protected:
    MqttConfig Read(const std::string& values) {
        registry_.Write(KEY + values);
        return ReadMqttSettings(win::HKEY_LOCAL_MACHINE, &settings_,
                                L"the server runs without MQTT.");
    }
    // A file that exists, for the values that name one.
    std::string File(const std::string& name, const std::string& text) {
        std::string path = testing::TempDir() + name;
        std::ofstream(path) << text;
        return path;
    }

    ScopedRegistry registry_{""};
    MqttSettings settings_{};
};

TEST_F(MqttSettingsTest, WithoutTheKeyNoMqttAndASoundKeyReadWhole) {
    EXPECT_EQ(
        ReadMqttSettings(win::HKEY_LOCAL_MACHINE, &settings_, L"the server runs without MQTT."),
        MQTT_ABSENT);

    ASSERT_EQ(Read("\"Broker\"=\"mqtt://broker.example\"\n"), MQTT_CONFIGURED);
    EXPECT_EQ(settings_.Host, "broker.example");
    EXPECT_EQ(settings_.Port, 1883);
    EXPECT_FALSE(settings_.Tls);
    EXPECT_FALSE(settings_.Telegrams);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(settings_.TopicPrefix, std::string("veltrabox/") + host);

    const std::string password = File("mqtt-password", "s3cret\n");
    const std::string ca = File("mqtt-ca.pem", "");
    ASSERT_EQ(Read("\"Broker\"=\"mqtts://[::1]:8884\"\n\"TopicPrefix\"=\"site/hall 2\"\n"
                   "\"ClientId\"=\"gw-7\"\n\"Username\"=\"gw\"\n\"PasswordFile\"=\"" +
                   password + "\"\n\"CaFile\"=\"" + ca + "\"\n\"CertFile\"=\"" + ca +
                   "\"\n\"KeyFile\"=\"" + ca + "\"\n\"Telegrams\"=dword:1\n"),
              MQTT_CONFIGURED);
    EXPECT_EQ(settings_.Host, "::1");
    EXPECT_EQ(settings_.Port, 8884);
    EXPECT_TRUE(settings_.Tls);
    EXPECT_EQ(settings_.TopicPrefix, "site/hall 2");
    EXPECT_EQ(settings_.ClientId, "gw-7");
    EXPECT_EQ(settings_.Username, "gw");
    EXPECT_EQ(settings_.Password, "s3cret");
    EXPECT_EQ(settings_.CaFile, ca);
    EXPECT_TRUE(settings_.Telegrams);

    // The longest password an MQTT connect carries, with a CRLF line end.
    const std::string longest(65535, 'p');
    ASSERT_EQ(Read("\"Broker\"=\"mqtt://h\"\n\"PasswordFile\"=\"" +
                   File("mqtt-password", longest + "\r\nnext\n") + "\"\n"),
              MQTT_CONFIGURED);
    EXPECT_EQ(settings_.Password, longest);
}

TEST_F(MqttSettingsTest, AMalformedValueIsReportedOnceAndTheServerRunsWithoutMqtt) {
    const std::string ca = File("mqtt-ca.pem", "");
    const std::string tooLong = File("mqtt-password-long", std::string(65536, 'p') + "\n");
    const std::string zero = File("mqtt-password-zero", std::string("pass\0word\n", 10));
    const std::string fifo = testing::TempDir() + "mqtt-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string values;
        std::string named;  // what the report quotes
    };
    const std::vector<Case> bad = {
        {"", "\"Broker\"=(missing)"},
        {"\"Broker\"=\"tcp://host\"", "\"Broker\"=\"tcp://host\""},
        {"\"Broker\"=\"mqtt://\"", "\"Broker\"=\"mqtt://\""},
        {"\"Broker\"=\"mqtt://host:0\"", "\"Broker\"=\"mqtt://host:0\""},
        {"\"Broker\"=\"mqtt://host:65536\"", "\"Broker\"=\"mqtt://host:65536\""},
        {"\"Broker\"=\"mqtt://host:\"", "\"Broker\"=\"mqtt://host:\""},
        {"\"Broker\"=\"mqtt://host/path\"", "\"Broker\"=\"mqtt://host/path\""},
        {"\"Broker\"=\"mqtt://user@host\"", "\"Broker\"=\"mqtt://user@host\""},
        {"\"Broker\"=\"mqtt://[::1\"", "\"Broker\"=\"mqtt://[::1\""},
        {"\"Broker\"=dword:1", "\"Broker\"=dword:00000001"},
        {"\"Broker\"=\"mqtt://h\"\n\"TopicPrefix\"=\"a/#\"", "\"TopicPrefix\"=\"a/#\""},
        {"\"Broker\"=\"mqtt://h\"\n\"TopicPrefix\"=\"a/\"", "\"TopicPrefix\"=\"a/\""},
        {"\"Broker\"=\"mqtt://h\"\n\"TopicPrefix\"=\"\"", "\"TopicPrefix\"=\"\""},
        // What the library would refuse only when handed it, or the broker not show to `#`.
        {"\"Broker\"=\"mqtt://h\"\n\"TopicPrefix\"=\"$SYS/gw\"", "\"TopicPrefix\"=\"$SYS/gw\""},
        {"\"Broker\"=\"mqtt://h\"\n\"TopicPrefix\"=\"a\tb\"", "\"TopicPrefix\"=\"a\tb\""},
        {"\"Broker\"=\"mqtt://h\"\n\"Username\"=\"gw\x01\"", "\"Username\"=\"gw\x01\""},
        {"\"Broker\"=\"mqtt://h\"\n\"ClientId\"=\"gw\x7f\"", "\"ClientId\"=\"gw\x7f\""},
        {"\"Broker\"=\"mqtt://h\"\n\"PasswordFile\"=\"" + zero + "\"",
         "\"PasswordFile\"=\"" + zero + "\""},
        {"\"Broker\"=\"mqtt://h\"\n\"Telegrams\"=dword:2", "\"Telegrams\"=dword:00000002"},
        {"\"Broker\"=\"mqtt://h\"\n\"Telegrams\"=\"1\"", "\"Telegrams\"=\"1\""},
        {"\"Broker\"=\"mqtt://h\"\n\"PasswordFile\"=\"/nonexistent/pw\"",
         "\"PasswordFile\"=\"/nonexistent/pw\""},
        // A first line one byte longer than the longest password.
        {"\"Broker\"=\"mqtt://h\"\n\"PasswordFile\"=\"" + tooLong + "\"",
         "\"PasswordFile\"=\"" + tooLong + "\""},
        // Neither is read, nor opened: an endless device, and a FIFO that nobody writes.
        {"\"Broker\"=\"mqtt://h\"\n\"PasswordFile\"=\"/dev/zero\"",
         "\"PasswordFile\"=\"/dev/zero\""},
        {"\"Broker\"=\"mqtts://h\"\n\"CaFile\"=\"" + fifo + "\"", "\"CaFile\"=\"" + fifo + "\""},
        {"\"Broker\"=\"mqtt://h\"\n\"CaFile\"=\"" + ca + "\"", "\"Broker\"=\"mqtt://h\""},
        {"\"Broker\"=\"mqtts://h\"\n\"CertFile\"=\"" + ca + "\"", "\"CertFile\"=\"" + ca + "\""},
    };
    SetDebugZoneMask(ZONE_ERROR);
    for (const Case& c : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Read(c.values + "\n"), MQTT_MALFORMED) << c.values;
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("Error: [HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt] " + c.named),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("the server runs without MQTT"), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
    unlink(fifo.c_str());
}

}  // namespace
