#include "tcp/loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "diag/debug.h"
#include "tcp/framing.h"
#include "tcp/server_socket.h"

namespace {

class WinsockEnvironment : public ::testing::Environment {
    void SetUp() override {
        win::WSADATA data;
        ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
        // Every message path runs (and is checked by the sanitizers) in the tests.
        SetDebugZoneMask(ZONE_DEFAULT | ZONE_ERROR);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

win::DWORD SendOneMessage(ServerInstance* instance, const uint8_t* payload, win::DWORD length) {
    auto batch = std::make_unique<IpMsgBatch>();
    batch->Used = 0;
    win::BYTE* slot = PacketSlot(batch.get());
    if (length > 0) std::memcpy(slot, payload, std::min<win::DWORD>(length, MAX_IPMSG_DATA));
    win::DWORD added = AddPacketToBatch(batch.get(), length);
    return added != 0 ? added : SendPacketsToTcp(instance, batch.get());
}

std::future<win::DWORD> StartServerAsync(ServerInstance* instance) {
    return std::async(std::launch::async, [instance] { return StartTcpServer(instance); });
}

bool ConnectDuringStart(e2e::TestClient& client, uint16_t port, std::future<win::DWORD>& start) {
    bool connected = false;
    e2e::AwaitCondition([&] {
        if (start.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return true;
        connected = client.Connect(port, e2e::Duration(0));
        return connected;
    });
    return connected;
}

void OpenLink(Link& link, uint16_t port) {
    link.instance->Port = port;
    auto start = StartServerAsync(link.instance.get());
    ASSERT_TRUE(ConnectDuringStart(link.client, port, start));
    ASSERT_EQ(start.get(), 0u);
}

Link::~Link() {
    CloseTcp(instance.get());
    CloseListenSocket(instance.get());
}

CloseTcpOnExit::~CloseTcpOnExit() {
    CloseTcp(instance);
    CloseListenSocket(instance);
}
