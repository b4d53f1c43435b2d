#include "status_text/status_text.h"

#include <locale.h>

#include <climits>
#include <ctime>
#include <cwchar>
#include <nlohmann/json.hpp>

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;

constexpr const char* STATE_NAMES[] = {"restarting", "listening", "connected", "ended"};
constexpr const char* REASON_NAMES[] = {
    nullptr,           "client gone",      "client silent",   "send to client failed",
    "LON read failed", "LON write failed", "LON open failed", "TCP start failed",
    "wait failed",     "stopping"};
constexpr const char* COUNTER_NAMES[STATUS_COUNTER_COUNT] = {
    "to_client",         "to_bus",          "bytes_to_client",    "bytes_to_bus",
    "keepalives_sent",   "restarts",        "interface_failures", "refused_clients",
    "mqtt_dropped",      "monitors",        "monitors_dropped",   "monitor_bytes",
    "monitor_discarded", "capture_readers", "capture_dropped",    "capture_bytes"};

}  // namespace

std::string Utf8(const wchar_t* text) {
    static locale_t const utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    locale_t previous = uselocale(utf8);
    std::string out;
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    for (; text != nullptr && *text != L'\0'; ++text) {
        size_t n = std::wcrtomb(bytes, *text, &state);
        if (n == static_cast<size_t>(-1)) {
            out += "\xEF\xBF\xBD";
            state = {};
        } else {
            out.append(bytes, n);
        }
    }
    uselocale(previous);
    return out;
}

namespace {

std::string Iso8601(int64_t seconds) {
    std::time_t time = seconds;
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

const char* StateName(const InstanceStatus& status) {
    int32_t state = status.State.load(RELAXED);
    return state >= 0 && state <= STATE_ENDED ? STATE_NAMES[state] : "restarting";
}

nlohmann::ordered_json StatusObject(const ServerInstance& instance) {
    const InstanceStatus& status = instance.Status;
    nlohmann::ordered_json object;
    object["port"] = instance.Port;
    object["device"] = Utf8(instance.DevName);
    object["state"] = StateName(status);
    std::string client = PeerText(ClientOf(status));
    int64_t since = status.ConnectedSince.load(RELAXED);
    object["client"] = !client.empty() ? nlohmann::ordered_json(client) : nullptr;
    object["connected_since"] = since != 0 ? nlohmann::ordered_json(Iso8601(since)) : nullptr;
    for (int counter = 0; counter < STATUS_COUNTER_COUNT; ++counter) {
        uint64_t count = status.Counters[counter].load(RELAXED);
        if (counter != COUNT_INTERFACE_FAILURES) {
            object[COUNTER_NAMES[counter]] = count;
            continue;
        }
        // All that went wrong with the interface, then its parts.
        uint64_t dropped = status.Interface.FramesDroppedByKernel.load(RELAXED);
        uint64_t bad = status.Interface.BadFrames.load(RELAXED);
        object["interface_errors"] = count + dropped + bad;
        object[COUNTER_NAMES[counter]] = count;
        object["frames_dropped_by_kernel"] = dropped;
        object["bad_frames"] = bad;
    }
    int32_t reason = status.LastRestartReason.load(RELAXED);
    bool named = reason > REASON_NONE && reason <= REASON_STOPPING;
    object["last_restart_reason"] =
        named ? nlohmann::ordered_json(REASON_NAMES[reason]) : nlohmann::ordered_json(nullptr);
    return object;
}

}  // namespace

std::string StatusJson(const ServerInstance& instance) {
    return StatusObject(instance).dump(-1, ' ', false,
                                       nlohmann::ordered_json::error_handler_t::replace);
}

std::string StatusJsonLines(const std::vector<ServerInstance*>& instances) {
    std::string lines;
    for (const ServerInstance* instance : instances) lines += StatusJson(*instance) + '\n';
    return lines;
}

std::string StatusSummary(const std::vector<ServerInstance*>& instances) {
    std::string summary;
    for (const ServerInstance* instance : instances) {
        if (!summary.empty()) summary += ", ";
        // Appended piece by piece: g++ 12 at -O2 mistakes a concatenation of temporaries for
        // an overlapping copy.
        summary.append(std::to_string(instance->Port))
            .append(" ")
            .append(StateName(instance->Status));
        std::string client = PeerText(ClientOf(instance->Status));
        if (!client.empty()) summary.append(" ").append(client);
        uint64_t refused = RefusedClientsTold(instance->Status);
        if (refused != 0) summary.append(" (").append(std::to_string(refused)).append(" refused)");
    }
    return summary;
}
