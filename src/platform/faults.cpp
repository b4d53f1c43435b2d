// Fault injection behind syscalls.h. Counts are per thread, so an Nth-call rule hits the same
// call in every run; chance draws hash the seed with the thread's place in the order in which
// threads first met an armed call, and with the call's number on that thread.
#include "platform/faults.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "syscalls.h"

namespace win::sys {
std::atomic<bool> gFaultsArmed{false};
}

namespace win::faults {
namespace {

constexpr const char* CALL_NAMES[CALL_KINDS] = {"socket",  "accept", "send",       "recv",
                                                "poll",    "read",   "write",      "open",
                                                "eventfd", "mmap",   "getsockopt", "signalfd"};

struct ArmedRule {
    Rule rule;
    bool spent = false;  // a once-only rule that has fired
};

struct State {
    std::mutex mutex;
    std::vector<ArmedRule> rules;  // under mutex
    uint64_t seed = 0;             // under mutex
    std::atomic<uint64_t> generation{0};
    std::atomic<uint32_t> threads{0};
    std::atomic<uint64_t> injected[CALL_KINDS] = {};
};

// Never destroyed: other threads still make calls through the seam while the process exits.
State& TheState() {
    static State& state = *new State;
    return state;
}

// The calling thread's counts since the last arming.
struct ThreadCounts {
    uint64_t generation = 0;
    uint32_t ordinal = 0;
    uint32_t calls[CALL_KINDS] = {};
};
thread_local ThreadCounts tCounts;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool Drawn(uint64_t seed, uint32_t ordinal, Call call, uint32_t number, uint32_t perMillion) {
    uint64_t h = Mix(seed ^ Mix((uint64_t(ordinal) << 40) ^ (uint64_t(call) << 32) ^ number));
    return h % 1000000 < perMillion;
}

const char* ErrnoName(int error) {
    const char* name = strerrorname_np(error);
    return name ? name : "?";
}

// One line on standard error for every injected fault: the soak counts them, and reads the
// heap in use from them.
void Report(Call call, int error, uint32_t ordinal, uint32_t number) {
    char line[160];
    int n = std::snprintf(
        line, sizeof line, "faults: %s fails with %s (thread %u, call %u; heap in use %zu)\n",
        CALL_NAMES[unsigned(call)], ErrnoName(error), ordinal, number, mallinfo2().uordblks);
    if (n > 0) [[maybe_unused]]
        ssize_t w = ::write(STDERR_FILENO, line, size_t(n));
}

int ErrnoOfName(const std::string& text) {
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0') return number > 0 && number < 4096 ? int(number) : 0;
    for (int e = 1; e < 4096; ++e) {
        const char* name = strerrorname_np(e);
        if (name && text == name) return e;
    }
    return 0;
}

bool CallOfName(const std::string& text, Call* call) {
    for (unsigned i = 0; i < CALL_KINDS; ++i) {
        if (text == CALL_NAMES[i]) {
            *call = Call(i);
            return true;
        }
    }
    return false;
}

// "call:ERRNO:N", "call:ERRNO:N*" or "call:ERRNO:~PPM".
bool ParseRule(const std::string& text, Rule* rule) {
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return false;
    std::string trigger = text.substr(second + 1);
    if (!CallOfName(text.substr(0, first), &rule->call)) return false;
    rule->error = ErrnoOfName(text.substr(first + 1, second - first - 1));
    if (rule->error == 0 || trigger.empty()) return false;
    bool chance = trigger[0] == '~';
    rule->everyThread = !chance && trigger.back() == '*';
    std::string digits = trigger.substr(
        chance ? 1 : 0, trigger.size() - (chance ? 1 : 0) - (rule->everyThread ? 1 : 0));
    char* end = nullptr;
    unsigned long value = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value == 0 || value > 1000000) return false;
    (chance ? rule->perMillion : rule->nth) = uint32_t(value);
    return true;
}

// The server is armed from its environment as the platform library loads.
struct ArmFromEnvironment {
    ArmFromEnvironment() {
        const char* text = std::getenv("VELTRABOX_FAULTS");
        if (text == nullptr || *text == '\0') return;
        if (ArmFromText(text)) {
            std::fprintf(stderr, "faults: armed with %s\n", text);
        } else {
            std::fprintf(stderr, "faults: VELTRABOX_FAULTS does not parse, nothing armed: %s\n",
                         text);
        }
    }
} gArmFromEnvironment;

}  // namespace

void Arm(const std::vector<Rule>& rules, uint64_t seed) {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.rules.clear();
    for (const Rule& rule : rules) state.rules.push_back({rule});
    state.seed = seed;
    state.threads = 0;
    for (auto& count : state.injected) count = 0;
    state.generation.fetch_add(1);
    sys::gFaultsArmed.store(!rules.empty());
}

void Disarm() {
    Arm({});
}

bool ArmFromText(const char* text) {
    std::vector<Rule> rules;
    uint64_t seed = 0;
    std::string all(text);
    for (size_t start = 0; start <= all.size();) {
        size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        Rule rule{};
        if (item.rfind("seed=", 0) == 0) {
            char* rest = nullptr;
            seed = std::strtoull(item.c_str() + 5, &rest, 10);
            if (*rest != '\0') return false;
        } else if (ParseRule(item, &rule)) {
            rules.push_back(rule);
        } else {
            return false;
        }
    }
    Arm(rules, seed);
    return true;
}

uint64_t Injected(Call call) {
    return TheState().injected[unsigned(call)].load();
}

}  // namespace win::faults

namespace win::sys {

int InjectedError(faults::Call call) {
    using namespace faults;
    State& state = TheState();
    ThreadCounts& counts = tCounts;
    uint64_t generation = state.generation.load();
    if (counts.generation != generation) {
        counts = ThreadCounts{};
        counts.generation = generation;
        counts.ordinal = state.threads.fetch_add(1) + 1;
    }
    uint32_t number = ++counts.calls[unsigned(call)];
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (ArmedRule& armed : state.rules) {
            const Rule& rule = armed.rule;
            if (rule.call != call || armed.spent) continue;
            if (rule.nth != 0 && rule.nth == number) {
                armed.spent = !rule.everyThread;
            } else if (rule.perMillion == 0 ||
                       !Drawn(state.seed, counts.ordinal, call, number, rule.perMillion)) {
                continue;
            }
            error = rule.error;
            break;
        }
    }
    if (error == 0) return 0;
    state.injected[unsigned(call)].fetch_add(1);
    Report(call, error, counts.ordinal, number);
    return error;
}

}  // namespace win::sys
