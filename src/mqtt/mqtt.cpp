#include "mqtt/mqtt.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "diag/debug.h"
#include "lonmsg/decode.h"
#include "mqtt/mqtt_settings.h"
#include "status_text/status_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto RELAXED = std::memory_order_relaxed;

// Telegram copies waiting for the MQTT thread, per instance and direction. At 10,000 telegrams
// a second this is 25 ms of slack for a thread that a busy machine keeps off the processor.
constexpr uint32_t QUEUE_SLOTS = 256;
constexpr uint32_t MAX_TELEGRAM = 512;  // the most a pump carries
// Publications handed to the library and not yet written out (QoS 0) or acknowledged (QoS 1).
// Beyond this the broker is not keeping up, and telegrams wait among the held ones.
constexpr uint32_t MAX_OUTSTANDING = 1024;
// Copies held per instance while the broker is away or behind, to go out when it takes them:
// 30 s of a busy channel (400 telegrams a second), a broker's restart. Each holds only its
// own bytes, so even the longest telegrams keep this to a few megabytes.
constexpr size_t HELD_TELEGRAMS = 12000;
constexpr int KEEPALIVE_SECONDS = 30;
// A broker that comes back is found within a second; trying a closed port costs nothing.
constexpr milliseconds FIRST_PAUSE{250};
constexpr milliseconds LONGEST_PAUSE{1000};
constexpr milliseconds STATUS_PERIOD{1000};
constexpr milliseconds STOP_POLL{5};
constexpr int QOS_AT_MOST_ONCE = 0;
constexpr int QOS_AT_LEAST_ONCE = 1;
constexpr int READ_PACKETS = 100;

struct TelegramSlot {
    int64_t Time;  // nanoseconds since the epoch
    uint32_t Length;
    uint8_t Bytes[MAX_TELEGRAM];
};

// One pump writes, the MQTT thread reads: Head and Tail count slots written and read.
struct TelegramQueue {
    std::atomic<uint32_t> Head{0};
    std::atomic<uint32_t> Tail{0};
    TelegramSlot Slots[QUEUE_SLOTS];
};

struct HeldTelegram {
    int64_t Time;
    MqttDirection Direction;
    std::vector<uint8_t> Bytes;
};

struct Feed {
    ServerInstance* Instance;
    std::string StatusTopic;
    std::string TelegramTopics[2];
    std::unique_ptr<TelegramQueue> Queues[2];  // with telegrams on
    // Owned by the MQTT thread: the copies taken from the queues and not yet published, oldest
    // first, at most HELD_TELEGRAMS.
    std::deque<HeldTelegram> Held;
    // What the broker holds, empty until it holds anything.
    std::string LastStatus;
    int32_t LastState = -1;
};

enum Connection { CONNECTION_NONE, CONNECTION_UP, CONNECTION_UNREACHABLE, CONNECTION_REFUSED };

struct Mqtt {
    MqttSettings Settings;
    std::string StateTopic;
    mosquitto* Client = nullptr;
    std::vector<std::unique_ptr<Feed>> Feeds;
    int Wake = -1;
    // Set by the MQTT thread before it sleeps; a pump that finds it set writes to Wake.
    std::atomic<bool> Sleeping{false};
    std::atomic<bool> StopRequested{false};
    std::atomic<int64_t> StopDeadline{0};  // steady clock, nanoseconds
    std::atomic<bool> Stopped{false};
    // Owned by the MQTT thread.
    Connection State = CONNECTION_NONE;
    bool Refused = false;    // the broker answered the last attempt with "no"
    bool OnlineDue = false;  // connected, "online" not yet handed to the library
    bool EverTried = false;
    milliseconds Pause = FIRST_PAUSE;
    Clock::time_point RetryAt;
    Clock::time_point NextStatus;
    uint32_t Outstanding = 0;
    std::string LibraryError;  // the library's last error line since the last attempt
};

// Never freed: pumps may still offer telegrams while the process exits.
std::atomic<Mqtt*> Current{nullptr};
// What StartMqtt read; written before the service thread starts, then only read.
MqttConfig StartConfig = MQTT_ABSENT;
MqttSettings StartSettings;

Feed* FeedOf(Mqtt& mqtt, const ServerInstance* instance) {
    for (auto& feed : mqtt.Feeds) {
        if (feed->Instance == instance) return feed.get();
    }
    return nullptr;
}

// One line for each change of the connection's state, never one per attempt.
void SetConnection(Mqtt& mqtt, Connection state, const std::string& why) {
    if (state == mqtt.State) return;
    mqtt.State = state;
    if (!ZoneOn(ZONE_ERROR)) return;
    const char* broker = mqtt.Settings.Broker.c_str();
    switch (state) {
        case CONNECTION_UP:
            DebugPrint(L"MQTT: connected to %hs, publishing under %hs\n", broker,
                       mqtt.Settings.TopicPrefix.c_str());
            break;
        case CONNECTION_UNREACHABLE:
            DebugPrint(
                L"Error: MQTT: no connection to %hs (%hs); trying again with growing "
                L"pauses, the bridge goes on\n",
                broker, why.c_str());
            break;
        case CONNECTION_REFUSED:
            DebugPrint(
                L"Error: MQTT: %hs refused the connection (%hs); trying again with "
                L"growing pauses, the bridge goes on\n",
                broker, why.c_str());
            break;
        case CONNECTION_NONE:
            break;
    }
}

// The library's text for `rc`; for the ways a connection ends that it has no text for (it says
// "Unknown error."), ours.
std::string ErrorText(int rc) {
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return std::strerror(errno);
        case MOSQ_ERR_KEEPALIVE:
            return "the broker did not answer within the keep-alive time";
        case MOSQ_ERR_MALFORMED_PACKET:
            return "the broker sent a malformed packet";
        default:
            return mosquitto_strerror(rc);
    }
}

std::string Reason(Mqtt& mqtt, int rc) {
    std::string why = ErrorText(rc);
    if (!mqtt.LibraryError.empty()) why += ": " + mqtt.LibraryError;
    return why;
}

void ScheduleRetry(Mqtt& mqtt) {
    mqtt.RetryAt = Clock::now() + mqtt.Pause;
    mqtt.Pause = std::min(mqtt.Pause * 2, LONGEST_PAUSE);
}

// The connection has failed or ended: a refusal has been told already.
void ConnectionLost(Mqtt& mqtt, int rc) {
    if (!mqtt.Refused) SetConnection(mqtt, CONNECTION_UNREACHABLE, Reason(mqtt, rc));
    ScheduleRetry(mqtt);
}

// After a call of the library: a closed socket is a lost connection.
void CheckConnection(Mqtt& mqtt, int rc) {
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mqtt.Client) < 0) ConnectionLost(mqtt, rc);
}

bool CanPublish(const Mqtt& mqtt) {
    return mqtt.State == CONNECTION_UP && mqtt.Outstanding < MAX_OUTSTANDING;
}

bool Publish(Mqtt& mqtt, const std::string& topic, const std::string& payload, int qos,
             bool retain) {
    if (!CanPublish(mqtt)) return false;
    int rc = mosquitto_publish(mqtt.Client, nullptr, topic.c_str(),
                               static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
    ++mqtt.Outstanding;
    return true;
}

void OnConnect(mosquitto*, void* context, int rc) {
    Mqtt& mqtt = *static_cast<Mqtt*>(context);
    if (rc != 0) {
        mqtt.Refused = true;
        SetConnection(mqtt, CONNECTION_REFUSED, mosquitto_connack_string(rc));
        return;
    }
    mqtt.Outstanding = 0;
    SetConnection(mqtt, CONNECTION_UP, "");
    mqtt.Pause = FIRST_PAUSE;
    // Published from the loop, not here: the library holds its callback lock during this call,
    // and publishing under it takes the library's locks in an order that its loop reverses.
    mqtt.OnlineDue = true;
    // A broker that was away may have lost what it held.
    for (auto& feed : mqtt.Feeds) feed->LastStatus.clear();
}

void OnPublish(mosquitto*, void* context, int) {
    Mqtt& mqtt = *static_cast<Mqtt*>(context);
    if (mqtt.Outstanding > 0) --mqtt.Outstanding;
}

void OnLog(mosquitto*, void* context, int level, const char* text) {
    if (level == MOSQ_LOG_ERR) static_cast<Mqtt*>(context)->LibraryError = text;
}

void Connect(Mqtt& mqtt) {
    mqtt.LibraryError.clear();
    mqtt.Refused = false;
    int rc = mqtt.EverTried ? mosquitto_reconnect_async(mqtt.Client)
                            : mosquitto_connect_async(mqtt.Client, mqtt.Settings.Host.c_str(),
                                                      mqtt.Settings.Port, KEEPALIVE_SECONDS);
    mqtt.EverTried = true;
    if (rc != MOSQ_ERR_SUCCESS) ConnectionLost(mqtt, rc);
}

std::string Iso8601(int64_t nanoseconds) {
    std::time_t time = nanoseconds / 1000000000;
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[40];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03dZ",
                  static_cast<int>(nanoseconds / 1000000 % 1000));
    return text;
}

std::string TelegramJson(const HeldTelegram& held) {
    lonmsg::ByteView telegram(held.Bytes.data(), held.Bytes.size());
    lonmsg::TelegramFields fields;
    std::string decoded = lonmsg::DescribeTelegram(telegram, &fields);
    nlohmann::ordered_json object;
    object["time"] = Iso8601(held.Time);
    object["hex"] = lonmsg::Hex(telegram);
    object["command"] = fields.Command;
    if (!fields.Address.empty()) object["address"] = fields.Address;
    if (fields.Selector) object["selector"] = *fields.Selector;
    if (fields.Code) object["code"] = *fields.Code;
    if (!fields.Data.empty()) object["data"] = lonmsg::Hex(fields.Data);
    object["decoded"] = decoded;
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Head is loaded sequentially consistent: it pairs with the pumps' store of Head and load of
// Sleeping (see Sleep), and ThreadSanitizer does not model a fence in its place.
bool Waiting(const TelegramQueue& queue) {
    return queue.Head.load() != queue.Tail.load(RELAXED);
}

// Whether there is work before sleeping: copies queued, or held ones the library takes now.
bool AnyWaiting(const Mqtt& mqtt) {
    for (const auto& feed : mqtt.Feeds) {
        if (!feed->Held.empty() && CanPublish(mqtt)) return true;
        for (const auto& queue : feed->Queues) {
            if (queue && Waiting(*queue)) return true;
        }
    }
    return false;
}

// Takes the queued copies into the held ones; what does not fit is dropped.
void Hold(Feed& feed) {
    for (int direction = MQTT_FROM_BUS; direction <= MQTT_TO_BUS; ++direction) {
        TelegramQueue* queue = feed.Queues[direction].get();
        if (queue == nullptr) continue;
        uint32_t tail = queue->Tail.load(RELAXED);
        uint32_t head = queue->Head.load(std::memory_order_acquire);
        for (; tail != head; ++tail) {
            const TelegramSlot& slot = queue->Slots[tail % QUEUE_SLOTS];
            if (feed.Held.size() == HELD_TELEGRAMS) {
                CountMqttDropped(feed.Instance->Status);
                continue;
            }
            feed.Held.push_back({slot.Time,
                                 static_cast<MqttDirection>(direction),
                                 {slot.Bytes, slot.Bytes + slot.Length}});
        }
        queue->Tail.store(tail, std::memory_order_release);
    }
}

// The held copies go out oldest first while the library takes them; the rest wait for the
// broker. One the library refused is lost (a broken connection discards what it had queued):
// it is counted, and the rest wait until the connection has been looked at.
void PublishTelegrams(Mqtt& mqtt) {
    for (auto& feed : mqtt.Feeds) {
        Hold(*feed);
        while (!feed->Held.empty() && CanPublish(mqtt)) {
            const HeldTelegram& held = feed->Held.front();
            bool sent = Publish(mqtt, feed->TelegramTopics[held.Direction], TelegramJson(held),
                                QOS_AT_MOST_ONCE, false);
            feed->Held.pop_front();
            if (!sent) {
                CountMqttDropped(feed->Instance->Status);
                return;
            }
        }
    }
}

// A status goes out on every change of state, otherwise at most once a period while it moves.
void PublishStatuses(Mqtt& mqtt, bool periodDone) {
    if (mqtt.State != CONNECTION_UP) return;
    for (auto& feed : mqtt.Feeds) {
        int32_t state = feed->Instance->Status.State.load(RELAXED);
        if (!periodDone && state == feed->LastState && !feed->LastStatus.empty()) continue;
        std::string status = StatusJson(*feed->Instance);
        if (status == feed->LastStatus) continue;
        if (Publish(mqtt, feed->StatusTopic, status, QOS_AT_LEAST_ONCE, true)) {
            feed->LastStatus = status;
            feed->LastState = state;
        }
    }
}

void HandleSocket(Mqtt& mqtt, short events) {
    int rc = MOSQ_ERR_SUCCESS;
    if (events & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(mqtt.Client, READ_PACKETS);
    if (rc == MOSQ_ERR_SUCCESS && (events & POLLOUT)) rc = mosquitto_loop_write(mqtt.Client, 1);
    CheckConnection(mqtt, rc);
}

int Timeout(const Mqtt& mqtt, bool connected) {
    Clock::time_point next = mqtt.NextStatus;
    if (!connected) next = std::min(next, mqtt.RetryAt);
    auto left = std::chrono::duration_cast<milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<milliseconds::rep>(0, left));
}

// Sleeps until a pump or the service wakes it, the socket has work, or a timer is due. A pump
// that queued a telegram after the check below sees Sleeping and writes to Wake.
void Sleep(Mqtt& mqtt) {
    int socket = mosquitto_socket(mqtt.Client);
    short socketEvents = POLLIN | (mosquitto_want_write(mqtt.Client) ? POLLOUT : 0);
    pollfd events[] = {{mqtt.Wake, POLLIN, 0}, {socket, socketEvents, 0}};
    mqtt.Sleeping.store(true);
    int timeout = AnyWaiting(mqtt) || mqtt.StopRequested.load() ? 0 : Timeout(mqtt, socket >= 0);
    int ready = poll(events, socket >= 0 ? 2 : 1, timeout);
    mqtt.Sleeping.store(false, RELAXED);
    if (ready <= 0) return;
    if (events[0].revents & POLLIN) {
        uint64_t count = 0;
        if (read(mqtt.Wake, &count, sizeof count) < 0) count = 0;
    }
    if (socket >= 0 && events[1].revents != 0) HandleSocket(mqtt, events[1].revents);
}

Clock::time_point StopDeadline(const Mqtt& mqtt) {
    return Clock::time_point(Clock::duration(mqtt.StopDeadline.load()));
}

// Moves the connection's traffic both ways until `done` holds: false when the deadline passes
// or the connection ends first.
template <typename Done>
bool TrafficUntil(Mqtt& mqtt, Done done) {
    for (int socket; !done();) {
        if ((socket = mosquitto_socket(mqtt.Client)) < 0) return false;
        int left = static_cast<int>(
            std::chrono::duration_cast<milliseconds>(StopDeadline(mqtt) - Clock::now()).count());
        if (left <= 0) return false;
        short wanted = POLLIN | (mosquitto_want_write(mqtt.Client) ? POLLOUT : 0);
        pollfd event{socket, wanted, 0};
        if (poll(&event, 1, left) <= 0) return false;
        int rc = mosquitto_loop_write(mqtt.Client, 1);
        if (rc == MOSQ_ERR_SUCCESS && (event.revents & POLLIN)) {
            rc = mosquitto_loop_read(mqtt.Client, READ_PACKETS);
        }
        if (rc != MOSQ_ERR_SUCCESS) return false;
    }
    return true;
}

// `offline` and a clean disconnect, written out before the deadline if the broker takes them.
// The disconnect waits for every acknowledgement: one arriving after the library has closed
// the socket would reset the connection, the disconnect would be lost, and the broker would
// send the last will instead.
void Finish(Mqtt& mqtt) {
    if (mqtt.State == CONNECTION_UP &&
        mosquitto_publish(mqtt.Client, nullptr, mqtt.StateTopic.c_str(), 7, "offline",
                          QOS_AT_LEAST_ONCE, true) == MOSQ_ERR_SUCCESS) {
        ++mqtt.Outstanding;
        if (TrafficUntil(mqtt, [&] { return mqtt.Outstanding == 0; }) &&
            mosquitto_disconnect(mqtt.Client) == MOSQ_ERR_SUCCESS) {
            TrafficUntil(mqtt, [&] { return mosquitto_socket(mqtt.Client) < 0; });
        }
    }
    mqtt.Stopped.store(true);
}

void Run(Mqtt& mqtt) {
    SetThreadDebugName(L"Mqtt");
    Connect(mqtt);
    mqtt.NextStatus = Clock::now();
    for (;;) {
        if (mqtt.StopRequested.load()) {
            Finish(mqtt);
            return;
        }
        if (mqtt.OnlineDue)
            mqtt.OnlineDue = !Publish(mqtt, mqtt.StateTopic, "online", QOS_AT_LEAST_ONCE, true);
        PublishTelegrams(mqtt);
        bool periodDone = Clock::now() >= mqtt.NextStatus;
        PublishStatuses(mqtt, periodDone);
        if (periodDone) {
            mqtt.NextStatus = Clock::now() + STATUS_PERIOD;
            // Keep-alive: a broker that stopped answering is found out here.
            if (mosquitto_socket(mqtt.Client) >= 0)
                CheckConnection(mqtt, mosquitto_loop_misc(mqtt.Client));
        }
        if (mosquitto_socket(mqtt.Client) < 0 && Clock::now() >= mqtt.RetryAt) Connect(mqtt);
        Sleep(mqtt);
    }
}

// The topics of an instance start with this.
std::string InstanceTopic(const MqttSettings& settings, const ServerInstance* instance) {
    return settings.TopicPrefix + "/" + std::to_string(instance->Port & 0xFFFF);
}

// Empty when the client is ready; otherwise the call that failed and why.
std::string SetUp(Mqtt& mqtt) {
    const MqttSettings& settings = mqtt.Settings;
    auto failed = [&](const char* call, int rc) { return call + (": " + Reason(mqtt, rc)); };
    int rc = mosquitto_lib_init();
    if (rc != MOSQ_ERR_SUCCESS) return failed("mosquitto_lib_init", rc);
    mqtt.Client =
        mosquitto_new(settings.ClientId.empty() ? nullptr : settings.ClientId.c_str(), true, &mqtt);
    if (mqtt.Client == nullptr) return failed("mosquitto_new", MOSQ_ERR_ERRNO);
    mqtt.Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mqtt.Wake < 0) return failed("eventfd", MOSQ_ERR_ERRNO);
    mosquitto_connect_callback_set(mqtt.Client, OnConnect);
    mosquitto_publish_callback_set(mqtt.Client, OnPublish);
    mosquitto_log_callback_set(mqtt.Client, OnLog);
    rc = mosquitto_will_set(mqtt.Client, mqtt.StateTopic.c_str(), 7, "offline", QOS_AT_LEAST_ONCE,
                            true);
    if (rc != MOSQ_ERR_SUCCESS) return failed("mosquitto_will_set", rc);
    if (!settings.Username.empty() || !settings.Password.empty()) {
        rc = mosquitto_username_pw_set(
            mqtt.Client, settings.Username.c_str(),
            settings.Password.empty() ? nullptr : settings.Password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) return failed("mosquitto_username_pw_set", rc);
    }
    if (!settings.Tls) return "";
    auto file = [](const std::string& name) { return name.empty() ? nullptr : name.c_str(); };
    // Without a CaFile the broker is checked against the system's trusted certificates.
    rc = mosquitto_tls_set(mqtt.Client, file(settings.CaFile),
                           settings.CaFile.empty() ? "/etc/ssl/certs" : nullptr,
                           file(settings.CertFile), file(settings.KeyFile), nullptr);
    return rc == MOSQ_ERR_SUCCESS ? "" : failed("mosquitto_tls_set", rc);
}

}  // namespace

void StartMqtt(const std::vector<ServerInstance*>& instances) {
    MqttSettings& settings = StartSettings;
    StartConfig =
        ReadMqttSettings(win::HKEY_LOCAL_MACHINE, &settings, L"the server runs without MQTT.");
    if (StartConfig != MQTT_CONFIGURED) return;
    auto* mqtt = new Mqtt;
    mqtt->Settings = settings;
    mqtt->StateTopic = settings.TopicPrefix + "/state";
    for (ServerInstance* instance : instances) {
        auto feed = std::make_unique<Feed>();
        feed->Instance = instance;
        std::string base = InstanceTopic(settings, instance);
        feed->StatusTopic = base + "/status";
        feed->TelegramTopics[MQTT_FROM_BUS] = base + "/from_bus";
        feed->TelegramTopics[MQTT_TO_BUS] = base + "/to_bus";
        if (settings.Telegrams) {
            for (auto& queue : feed->Queues) queue = std::make_unique<TelegramQueue>();
        }
        mqtt->Feeds.push_back(std::move(feed));
    }
    if (std::string failure = SetUp(*mqtt); !failure.empty()) {
        if (ZoneOn(ZONE_ERROR)) {
            DebugPrint(
                L"Error: MQTT: cannot set up the client for %hs (%hs); the server runs "
                L"without MQTT.\n",
                settings.Broker.c_str(), failure.c_str());
        }
        if (mqtt->Client != nullptr) mosquitto_destroy(mqtt->Client);
        if (mqtt->Wake >= 0) close(mqtt->Wake);
        delete mqtt;
        return;
    }
    Current.store(mqtt);
    std::thread([mqtt] { Run(*mqtt); }).detach();
}

bool MqttSettingsChanged(MqttConfig config, const MqttSettings& settings) {
    return config != StartConfig || (config == MQTT_CONFIGURED && !(settings == StartSettings));
}

std::string MqttPublishing(const ServerInstance* instance) {
    const Mqtt* mqtt = Current.load();
    if (mqtt == nullptr) return "";
    return std::string(mqtt->Settings.Telegrams ? "status and telegrams" : "status") + " under " +
           InstanceTopic(mqtt->Settings, instance);
}

void WakeMqtt() {
    Mqtt* mqtt = Current.load();
    uint64_t one = 1;
    if (mqtt != nullptr && write(mqtt->Wake, &one, sizeof one) < 0) return;
}

void OfferTelegram(ServerInstance* instance, MqttDirection direction, const uint8_t* telegram,
                   uint32_t length) {
    Mqtt* mqtt = Current.load(std::memory_order_acquire);
    if (mqtt == nullptr || !mqtt->Settings.Telegrams) return;
    Feed* feed = FeedOf(*mqtt, instance);
    if (feed == nullptr) return;
    TelegramQueue& queue = *feed->Queues[direction];
    uint32_t head = queue.Head.load(RELAXED);
    if (head - queue.Tail.load(std::memory_order_acquire) == QUEUE_SLOTS) {
        CountMqttDropped(instance->Status);
        return;
    }
    TelegramSlot& slot = queue.Slots[head % QUEUE_SLOTS];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    slot.Time = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    slot.Length = std::min(length, MAX_TELEGRAM);
    std::memcpy(slot.Bytes, telegram, slot.Length);
    // Sequentially consistent with the MQTT thread's Sleeping: one of the two sees the other.
    queue.Head.store(head + 1);
    if (mqtt->Sleeping.load() && mqtt->Sleeping.exchange(false)) WakeMqtt();
}

void StopMqtt(Clock::time_point deadline) {
    Mqtt* mqtt = Current.load();
    if (mqtt == nullptr) return;
    mqtt->StopDeadline.store(deadline.time_since_epoch().count());
    mqtt->StopRequested.store(true);
    WakeMqtt();
    while (!mqtt->Stopped.load() && Clock::now() < deadline) std::this_thread::sleep_for(STOP_POLL);
}
