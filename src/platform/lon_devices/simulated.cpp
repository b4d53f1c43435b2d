// The simulated LON interface: nodes on in-process channels, one channel per device name.
// Telegrams and the channel's test controls live under one mutex; a node's inbox and its
// closed flag live under the layer's wait lock, so that a read waits with WaitUntil (on the
// layer's clock) and closing the handle wakes it.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "device.h"
#include "platform/simlon.h"

namespace win::detail {

namespace {

constexpr size_t INBOX_LIMIT = 1024;    // a full interface drops what arrives
constexpr size_t REQUEST_LIMIT = 1024;  // recorded requests kept per channel
constexpr DWORD VERSION_WORD = 0x0210;
constexpr char16_t VERSION_TEXT[] = u"Veltrabox simulated LON interface 2.1";
constexpr BYTE WRITE_MEMORY_REPLY[] = {0x22, 0x01, 0x2E};

struct SimNode;

struct Fault {
    DWORD code;
    DWORD lastError;
    int times;
};

struct Channel {
    std::vector<std::weak_ptr<SimNode>> nodes;
    std::vector<Fault> faults;
    DWORD writeShortfall = 0;
    std::set<DWORD> hung;  // request codes, under the wait lock
    WaitQueue hungCalls;   // under the wait lock
    std::deque<simlon::Request> requests;
};

// A hung driver: not even closing the handle ends the call; only ending its thread or clearing
// the hang does.
void AwaitUnhung(std::unique_lock<std::mutex>& waitLock, Channel& channel, DWORD code) {
    WaitUntil(waitLock, channel.hungCalls, INFINITE, [&] { return !channel.hung.contains(code); });
}

struct SimNode : Device {
    Channel* channel = nullptr;
    std::deque<std::vector<BYTE>> inbox;  // under the wait lock
    bool closed = false;                  // under the wait lock

    BOOL IoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                   DWORD* bytesReturned) override;
    BOOL Write(LPCVOID buffer, DWORD bytes, DWORD* written) override;
    BOOL Read(DWORD request, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) override;
    // The reply is the interface's answer to a successful write-memory request.
    BOOL NeuronIdMessage(const BYTE*, DWORD, BYTE* reply, DWORD replySize, DWORD* count) override {
        return CopyAnswer(reply, replySize, WRITE_MEMORY_REPLY, sizeof WRITE_MEMORY_REPLY, count);
    }
    DWORD VersionWord() const override { return VERSION_WORD; }
    const char16_t* VersionText() const override { return VERSION_TEXT; }
    void OnHandleClosed() override {
        auto lock = WaitLock();
        AwaitUnhung(lock, *channel, simlon::REQUEST_CLOSE);
        closed = true;
        Wake(queue);
    }
};

struct Channels {
    std::mutex mutex;
    std::map<std::wstring, Channel> byName;
};

// Never destroyed: detached threads may still use a device while the process exits.
Channels& TheChannels() {
    static Channels* channels = new Channels;
    return *channels;
}

// Caller holds the channels' mutex.
Channel& ChannelNamed(LPCWSTR name) {
    return TheChannels().byName[name ? name : L""];
}

// Caller holds the channels' mutex. True (with the last error set) when a fault is due.
bool FaultDue(Channel& channel, DWORD code) {
    for (auto it = channel.faults.begin(); it != channel.faults.end(); ++it) {
        if (it->code != code) continue;
        SetLastError(it->lastError);
        if (it->times > 0 && --it->times == 0) channel.faults.erase(it);
        return true;
    }
    return false;
}

// Caller holds the channels' mutex.
void Record(Channel& channel, DWORD code, LPCVOID input, DWORD size) {
    if (channel.requests.size() >= REQUEST_LIMIT) channel.requests.pop_front();
    auto bytes = static_cast<const BYTE*>(input);
    channel.requests.push_back(
        {code, input ? std::vector<BYTE>(bytes, bytes + size) : std::vector<BYTE>()});
}

// Caller holds the channels' mutex. Every open node but `from` receives the telegram.
void Deliver(Channel& channel, const SimNode* from, const BYTE* bytes, DWORD size) {
    std::erase_if(channel.nodes, [](const std::weak_ptr<SimNode>& n) { return n.expired(); });
    for (auto& weak : channel.nodes) {
        std::shared_ptr<SimNode> node = weak.lock();
        if (!node || node.get() == from) continue;
        {
            auto lock = WaitLock();
            if (node->closed || node->inbox.size() >= INBOX_LIMIT) continue;
            node->inbox.emplace_back(bytes, bytes + size);
            Wake(node->queue);
        }
    }
}

// Reads are not recorded, yet may fail on demand.
BOOL SimNode::Read(DWORD request, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* count) {
    {
        std::lock_guard<std::mutex> lock(TheChannels().mutex);
        if (FaultDue(*channel, request)) return FALSE;
    }
    std::vector<BYTE> telegram;
    {
        auto lock = WaitLock();
        WaitUntil(lock, queue, timeoutMs, [this] { return closed || !inbox.empty(); });
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!inbox.empty()) {
            telegram = std::move(inbox.front());
            inbox.pop_front();
        }
    }
    // A delivery longer than the buffer is cut to it.
    DWORD n = std::min<DWORD>(size, static_cast<DWORD>(telegram.size()));
    if (n) std::memcpy(buffer, telegram.data(), n);
    if (count) *count = n;
    return TRUE;
}

BOOL SimNode::IoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                        DWORD* bytesReturned) {
    {
        std::lock_guard<std::mutex> lock(TheChannels().mutex);
        Record(*channel, code, in, inSize);
        if (FaultDue(*channel, code)) return FALSE;
    }
    {
        auto lock = WaitLock();
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    return Device::IoControl(code, in, inSize, out, outSize, bytesReturned);
}

BOOL SimNode::Write(LPCVOID buffer, DWORD bytes, DWORD* written) {
    {
        auto lock = WaitLock();
        AwaitUnhung(lock, *channel, simlon::REQUEST_WRITE);
    }
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    Record(*channel, simlon::REQUEST_WRITE, buffer, bytes);
    if (FaultDue(*channel, simlon::REQUEST_WRITE)) return FALSE;
    DWORD taken = bytes - std::min(bytes, channel->writeShortfall);
    if (taken == bytes && bytes > 0)
        Deliver(*channel, this, static_cast<const BYTE*>(buffer), bytes);
    if (written) *written = taken;
    return TRUE;
}

}  // namespace

std::shared_ptr<Device> OpenSimulatedDevice(const std::wstring& name) {
    Channel* named;
    {
        std::lock_guard<std::mutex> lock(TheChannels().mutex);
        named = &ChannelNamed(name.c_str());
    }
    {
        auto waitLock = WaitLock();
        AwaitUnhung(waitLock, *named, simlon::REQUEST_OPEN);
    }
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    Channel& channel = *named;
    Record(channel, simlon::REQUEST_OPEN, nullptr, 0);
    if (FaultDue(channel, simlon::REQUEST_OPEN)) return nullptr;
    auto node = std::make_shared<SimNode>();
    node->channel = &channel;
    // Closed nodes go here too, not only when a telegram is delivered: a channel without
    // traffic would otherwise keep every node it ever had.
    std::erase_if(channel.nodes, [](const std::weak_ptr<SimNode>& n) { return n.expired(); });
    channel.nodes.push_back(node);
    return node;
}

}  // namespace win::detail

namespace win::simlon {

using detail::TheChannels;

void FailRequest(LPCWSTR channel, DWORD code, DWORD lastError, int times) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    detail::ChannelNamed(channel).faults.push_back({code, lastError, times});
}

void ShortenWrites(LPCWSTR channel, DWORD bytes) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    detail::ChannelNamed(channel).writeShortfall = bytes;
}

void HangRequests(LPCWSTR channel, DWORD code, bool hang) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    detail::Channel& c = detail::ChannelNamed(channel);
    auto waitLock = detail::WaitLock();
    if (hang) {
        c.hung.insert(code);
    } else {
        c.hung.erase(code);
    }
    detail::Wake(c.hungCalls);
}

void InjectTelegram(LPCWSTR channel, const BYTE* bytes, DWORD size) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    detail::Deliver(detail::ChannelNamed(channel), nullptr, bytes, size);
}

std::vector<Request> Requests(LPCWSTR channel) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    auto& requests = detail::ChannelNamed(channel).requests;
    return {requests.begin(), requests.end()};
}

void ResetChannel(LPCWSTR channel) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    detail::Channel& c = detail::ChannelNamed(channel);
    c.faults.clear();
    c.writeShortfall = 0;
    c.requests.clear();
}

size_t OpenNodes(LPCWSTR channel) {
    std::lock_guard<std::mutex> lock(TheChannels().mutex);
    size_t open = 0;
    for (auto& weak : detail::ChannelNamed(channel).nodes) {
        auto node = weak.lock();
        if (!node) continue;
        auto waitLock = detail::WaitLock();
        if (!node->closed) ++open;
    }
    return open;
}

DWORD PendingTelegrams(HANDLE device) {
    auto node = detail::Lookup<detail::SimNode>(device);
    if (!node) return 0;
    auto lock = detail::WaitLock();
    return static_cast<DWORD>(node->inbox.size());
}

}  // namespace win::simlon
