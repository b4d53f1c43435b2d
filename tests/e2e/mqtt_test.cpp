// The real server publishing to a real broker: Debian's mosquitto, started here on a free
// loopback port with a configuration of the test's own, and a subscriber on libmosquitto.
// State and status are retained for whoever subscribes later, `offline` follows the server's
// end however it ends, telegrams arrive in order and decoded, and the broker's death and
// return, or its refusal, change nothing on the bridge.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "flow.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char MOSQUITTO[] = "/usr/sbin/mosquitto";
constexpr char PREFIX[] = "test/gw";

// A broker of the test's own, nothing persisted. `listeners` is the configuration after the
// common part; "PORT" in it stands for the broker's port.
class Broker {
  public:
    Broker(const std::string& dir, const std::string& listeners =
                                       "listener PORT 127.0.0.1\n"
                                       "allow_anonymous true\n")
        : config_(dir + "/mosquitto.conf"), port_(FreePort()) {
        std::string text = listeners;
        for (size_t at; (at = text.find("PORT")) != std::string::npos;) {
            text.replace(at, 4, std::to_string(port_));
        }
        std::ofstream(config_) << "user root\npersistence false\nlog_dest stderr\n"
                                  "log_type error\nlog_type warning\nlog_type notice\n"
                               << text;
        Start();
    }
    int Port() const { return port_; }
    void Start() {
        process_ =
            std::make_unique<ServerProcess>(ServerProcess::Command{{MOSQUITTO, "-c", config_}});
        ASSERT_TRUE(WaitForListener(port_)) << process_->Tail();
    }
    bool WaitForLine(const std::string& text) { return process_->WaitForLine(text); }
    std::string Tail() { return process_->Tail(); }
    void Stop() {
        kill(process_->Pid(), SIGTERM);
        process_->WaitForExit();
        process_.reset();
    }

  private:
    std::string config_;
    int port_;
    std::unique_ptr<ServerProcess> process_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained;
};

// Subscribes to everything under PREFIX, again after each reconnection, and keeps what comes.
// With an `id`, the broker keeps its session and what comes for it while it is away.
class Subscriber {
  public:
    explicit Subscriber(int port, const char* id = nullptr) {
        mosquitto_lib_init();
        client_ = mosquitto_new(id, id == nullptr, this);
        mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, (std::string(PREFIX) + "/#").c_str(), 1);
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<Subscriber*>(self)->Add(
                    {message->topic,
                     std::string(static_cast<const char*>(message->payload),
                                 static_cast<size_t>(message->payloadlen)),
                     message->retain});
            });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_async(client_, "127.0.0.1", port, 10);
        mosquitto_loop_start(client_);
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    // The first message from index *from on that `match`es; *from then points past it.
    std::optional<Message> WaitFor(const std::function<bool(const Message&)>& match, size_t* from,
                                   Duration timeout = WAIT) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Message> found;
        changed_.wait_for(lock, timeout, [&] {
            for (; *from < messages_.size(); ++*from) {
                if (match(messages_[*from])) {
                    found = messages_[(*from)++];
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::optional<Message> WaitFor(const std::string& topic, const std::string& payload,
                                   size_t* from, Duration timeout = WAIT) {
        return WaitFor([&](const Message& m) { return m.topic == topic && m.payload == payload; },
                       from, timeout);
    }
    // The payloads on `topic` from index `from` on, once there are `count`.
    std::vector<std::string> Payloads(const std::string& topic, size_t count, size_t from = 0) {
        std::vector<std::string> payloads;
        while (payloads.size() < count) {
            auto message = WaitFor([&](const Message& m) { return m.topic == topic; }, &from);
            if (!message) break;
            payloads.push_back(message->payload);
        }
        return payloads;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

  private:
    void Add(Message message) {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
        changed_.notify_all();
    }

    mosquitto* client_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

std::string MqttKey(const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\Quorvel\\Mqtt]\n\"TopicPrefix\"=\"" + std::string(PREFIX) +
           "\"\n" + values;
}

std::string PlainBroker(int port, bool telegrams) {
    return MqttKey("\"Broker\"=\"mqtt://127.0.0.1:" + std::to_string(port) +
                   "\"\n\"ClientId\"=\"gw-test\"\n" + (telegrams ? "\"Telegrams\"=dword:1\n" : ""));
}

std::string Topic(int port, const std::string& leaf) {
    return std::string(PREFIX) + "/" + std::to_string(port) + "/" + leaf;
}

// A network-variable update to 1/12 whose 2-byte value is `number`.
ipmsg::Bytes NvUpdate(uint8_t, uint32_t number) {
    return {0x12,
            0x12,
            0x00,
            0x00,
            0x04,
            0x01,
            0x0C,
            0x00,
            0x00,
            0x01,
            0x00,
            0x00,
            0x00,
            0x00,
            0x00,
            0x00,
            0x80,
            0x23,
            uint8_t(number >> 8),
            uint8_t(number)};
}

std::string TempDir() {
    std::string dir = testing::TempDir() + "mqtt-XXXXXX";
    return mkdtemp(dir.data());
}

// Two instances on one simulated channel, each with its client: what A's client sends
// goes to the bus through A and reaches B's client from the bus.
struct Bridge {
    explicit Bridge(const std::string& registry)
        : portA(FreePort()),
          portB(FreePort()),
          server({"-p", std::to_string(portA), "-i", "-p", std::to_string(portB)}, {}, LOG_ZONES,
                 registry) {}
    void Connect() {
        ASSERT_TRUE(a.Connect(portA));
        ASSERT_TRUE(b.Connect(portB));
        size_t mark = 0;
        ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
        ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    }
    // Numbered NV updates from A's client to B's: "" when all came, in order.
    // `pace` between telegrams: a busy channel's is 2.5 ms (400 a second).
    std::string Flow(uint32_t first, uint32_t count, std::chrono::microseconds pace = {}) {
        return RunFlow(
            [&](const ipmsg::Bytes& t) {
                std::this_thread::sleep_for(pace);
                return a.SendData(t);
            },
            [&] { return b.ReceiveData(); }, 0, count, 64,
            [first](uint8_t tag, uint32_t n) { return NvUpdate(tag, first + n); });
    }

    int portA, portB;
    ServerProcess server;
    TestClient a, b;
};

class Mqtt : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_IF_MISSING(access(MOSQUITTO, X_OK) != 0
                            ? std::string(MOSQUITTO) + " missing (Debian's mosquitto)"
                            : "");
    }
};

bool Listening(const Message& m, int port) {
    return m.topic == Topic(port, "status") &&
           nlohmann::json::parse(m.payload)["state"] == "listening";
}

TEST_F(Mqtt, StateAndStatusRetainedForLaterSubscribersAndOfflineHoweverTheServerEnds) {
    Broker broker(TempDir());
    const std::string stateTopic = std::string(PREFIX) + "/state";
    int port = FreePort();
    Subscriber early(broker.Port());
    auto server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"-p", std::to_string(port)}, std::vector<std::string>{}, LOG_ZONES,
        PlainBroker(broker.Port(), false));
    ASSERT_TRUE(server->WaitForLine("MQTT: connected to mqtt://127.0.0.1:")) << server->Tail();
    size_t from = 0;
    ASSERT_TRUE(early.WaitFor([&](const Message& m) { return Listening(m, port); }, &from))
        << server->Tail();

    // Connected only now: what it gets is what the broker retained.
    Subscriber subscriber(broker.Port());
    from = 0;
    auto state = subscriber.WaitFor(stateTopic, "online", &from);
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->retained);
    from = 0;
    auto status = subscriber.WaitFor([&](const Message& m) { return Listening(m, port); }, &from);
    ASSERT_TRUE(status) << server->Tail();
    EXPECT_TRUE(status->retained);
    nlohmann::json object = nlohmann::json::parse(status->payload);
    EXPECT_EQ(object["port"], port);
    EXPECT_EQ(object["mqtt_dropped"], 0);
    EXPECT_EQ(object, StatusByPort(*server)[port]) << "the status socket's object";

    // A change of state goes out at once.
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_TRUE(subscriber.WaitFor(
        [&](const Message& m) {
            return m.topic == Topic(port, "status") && !m.retained &&
                   nlohmann::json::parse(m.payload)["state"] == "connected";
        },
        &from));

    // SIGTERM: `offline`, and a clean end (not the last will, which the broker would send for
    // a connection that just broke).
    EXPECT_EQ(server->Stop(), 0);
    EXPECT_TRUE(subscriber.WaitFor(stateTopic, "offline", &from)) << server->Tail();
    EXPECT_TRUE(broker.WaitForLine("Client gw-test disconnected."))
        << broker.Tail() << server->Tail();
    server.reset();

    // SIGKILL: the broker says `offline` for the server, its last will.
    server = std::make_unique<ServerProcess>(std::vector<std::string>{"-p", std::to_string(port)},
                                             std::vector<std::string>{}, LOG_ZONES,
                                             PlainBroker(broker.Port(), false));
    ASSERT_TRUE(subscriber.WaitFor(stateTopic, "online", &from)) << server->Tail();
    kill(server->Pid(), SIGKILL);
    EXPECT_TRUE(subscriber.WaitFor(stateTopic, "offline", &from));
    // A dashboard that subscribes only now is told too: the will is retained.
    Subscriber late(broker.Port());
    from = 0;
    state = late.WaitFor(stateTopic, "offline", &from);
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->retained);
}

// The flow's telegram `number` as published, both ways: from A's client to the bus, and from
// the bus to B's client; each stamped before `before`, if given.
void ExpectPublished(Subscriber& subscriber, const Bridge& bridge, uint32_t first, uint32_t count,
                     size_t from, const std::string& before = "~") {
    for (const auto& [port, leaf] :
         {std::pair{bridge.portA, "to_bus"}, std::pair{bridge.portB, "from_bus"}}) {
        std::vector<std::string> payloads = subscriber.Payloads(Topic(port, leaf), count, from);
        ASSERT_EQ(payloads.size(), count) << leaf;
        for (uint32_t n = 0; n < count; ++n) {
            nlohmann::json telegram = nlohmann::json::parse(payloads[n]);
            const ipmsg::Bytes bytes = NvUpdate(0, first + n);
            EXPECT_EQ(telegram["hex"], ipmsg::HexOf(bytes)) << leaf << " " << n;
            EXPECT_EQ(telegram["command"], "niCOMM|niTQ");
            EXPECT_EQ(telegram["address"], "to 1/12, domain 0");
            EXPECT_EQ(telegram["selector"], 0x23);
            EXPECT_EQ(telegram["data"], ipmsg::HexOf({bytes[18], bytes[19]}));
            EXPECT_EQ(telegram["decoded"],
                      "niCOMM|niTQ tag 0 ACKD; to 1/12, domain 0; NV update selector 0x0023 "
                      "value " +
                          ipmsg::HexOf({bytes[18], bytes[19]}));
            EXPECT_TRUE(telegram["time"].get<std::string>().ends_with("Z"));
            EXPECT_LT(telegram["time"].get<std::string>(), before) << leaf << " " << n;
        }
    }
}

TEST_F(Mqtt, TelegramsBothWaysInOrderDecodedAndABrokersRestartLosesNoneAndChangesNothing) {
    // The broker keeps the subscriber's session over its restart, so that the subscriber sees
    // everything, whether it or the server is back first.
    const std::string dir = TempDir();
    Broker broker(dir, "persistence true\npersistence_location " + dir +
                           "/\nqueue_qos0_messages true\nmax_queued_messages 0\n"
                           "listener PORT 127.0.0.1\nallow_anonymous true\n");
    Subscriber subscriber(broker.Port(), "test-subscriber");
    Bridge bridge(PlainBroker(broker.Port(), true));
    size_t mark = 0;
    ASSERT_TRUE(bridge.server.WaitForLine("MQTT: connected to", &mark)) << bridge.server.Tail();
    bridge.Connect();
    // Fewer than a queue holds: none may be dropped.
    size_t from = subscriber.Count();
    ASSERT_EQ(bridge.Flow(0, 100), "");
    ExpectPublished(subscriber, bridge, 0, 100, from);
    EXPECT_EQ(StatusByPort(bridge.server)[bridge.portA]["mqtt_dropped"], 0);

    // The broker restarts, as for an upgrade: the bridge carries on, the server says so once,
    // and the copies of a busy channel's telegrams wait for the broker, with the times they
    // passed.
    broker.Stop();
    ASSERT_TRUE(bridge.server.WaitForLine("Error: MQTT: no connection to")) << bridge.server.Tail();
    ASSERT_EQ(bridge.Flow(1000, 1000, 2500us), "");
    auto status = StatusByPort(bridge.server);
    EXPECT_EQ(status[bridge.portA]["mqtt_dropped"], 0) << status[bridge.portA];
    EXPECT_EQ(status[bridge.portB]["mqtt_dropped"], 0) << status[bridge.portB];
    EXPECT_EQ(status[bridge.portA]["to_bus"], 1100);
    EXPECT_EQ(bridge.server.CountLines(RESTARTING), 0u) << bridge.server.Tail();
    // The second after the last copy passed, as a telegram's time begins; then away for longer
    // than pauses that had grown would let the server see the broker's return in time.
    const std::string away = RunCommand("date -u -d '1 second' +%Y-%m-%dT%H:%M:%S").output;
    std::this_thread::sleep_for(3s);
    from = subscriber.Count();
    broker.Start();
    ASSERT_TRUE(bridge.server.WaitForLine("MQTT: connected to", &mark, 2s)) << bridge.server.Tail();
    ExpectPublished(subscriber, bridge, 1000, 1000, from, away);
    EXPECT_EQ(bridge.server.CountLines("Error: MQTT: no connection to"), 1u)
        << bridge.server.Tail();
    from = subscriber.Count();
    ASSERT_EQ(bridge.Flow(5000, 100), "");
    ExpectPublished(subscriber, bridge, 5000, 100, from);
}

// A CA and a broker certificate for 127.0.0.1; the gateway's password file.
constexpr char MAKE_CERTIFICATES[] = R"(set -e
key() { name=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
          -subj "/CN=$name" -keyout "$name.key" "$@"; }
key ca -x509 -days 2 -out ca.pem
key broker -out broker.csr
echo "subjectAltName=IP:127.0.0.1" >broker.ext
openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -out broker.pem -extfile broker.ext
mosquitto_passwd -b -c passwords gw right
echo wrong >wrong.txt
echo right >right.txt
)";

TEST_F(Mqtt, OverTlsAndABrokerThatRefusesTheCredentialsLeavesTheBridgeAlone) {
    const std::string dir = TempDir();
    ASSERT_EQ(RunCommand("cd " + dir + " && (" + MAKE_CERTIFICATES + ") >/dev/null 2>&1").status,
              0);
    // The test's subscriber on a plain listener; the gateways on TLS with a password.
    const int tlsPort = FreePort();
    Broker broker(dir,
                  "per_listener_settings true\nlistener PORT 127.0.0.1\n"
                  "allow_anonymous true\nlistener " +
                      std::to_string(tlsPort) +
                      " 127.0.0.1\nallow_anonymous false\npassword_file " + dir +
                      "/passwords\ncafile " + dir + "/ca.pem\ncertfile " + dir +
                      "/broker.pem\nkeyfile " + dir + "/broker.key\n");
    Subscriber subscriber(broker.Port());
    auto tlsKey = [&](const std::string& password) {
        return MqttKey("\"Broker\"=\"mqtts://127.0.0.1:" + std::to_string(tlsPort) +
                       "\"\n\"CaFile\"=\"" + dir +
                       "/ca.pem\"\n\"Username\"=\"gw\"\n"
                       "\"PasswordFile\"=\"" +
                       dir + "/" + password + ".txt\"\n");
    };

    {
        Bridge refused(tlsKey("wrong"));
        ASSERT_TRUE(refused.server.WaitForLine(
            "Error: MQTT: mqtts://127.0.0.1:" + std::to_string(tlsPort) +
            " refused the connection (Connection Refused: not authorised.)"))
            << refused.server.Tail();
        refused.Connect();
        EXPECT_EQ(refused.Flow(0, 500), "");
        EXPECT_EQ(refused.server.CountLines("refused the connection"), 1u) << refused.server.Tail();
        EXPECT_EQ(refused.server.CountLines(RESTARTING), 0u) << refused.server.Tail();
    }
    size_t from = 0;
    EXPECT_FALSE(subscriber.WaitFor(std::string(PREFIX) + "/state", "online", &from, 0ms));

    Bridge accepted(tlsKey("right"));
    ASSERT_TRUE(accepted.server.WaitForLine("MQTT: connected to mqtts://"))
        << accepted.server.Tail();
    EXPECT_TRUE(subscriber.WaitFor(std::string(PREFIX) + "/state", "online", &from));
}

}  // namespace
}  // namespace e2e
