// The real server on LON network interfaces (the Linux LON driver's lonN), played by TUN
// devices, with real TCP clients: telegrams both ways, unplugging, two interfaces, bad frames
// and the neuron-ID exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "flow.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/server_process.h"
#include "support/test_client.h"
#include "support/tun_lon.h"

namespace e2e {
namespace {

// Every tenth telegram is a longest one (257 bytes), which the interface carries extended.
ipmsg::Bytes MixedTelegram(uint8_t tag, uint32_t number) {
    if (number % 10 != 9) return NumberedTelegram(tag, number);
    ipmsg::Bytes telegram = NumberedTelegram(tag, number);
    telegram[1] = 0xFF;
    telegram.resize(257, uint8_t(number));
    return telegram;
}

// Both directions at once between a client and an interface; "" when both flows were whole.
std::string FlowBothWays(TestClient& client, TunLon& lon, uint32_t count, uint8_t tag) {
    auto toLon = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, tag, count, 64, MixedTelegram);
    });
    std::string fromLon =
        RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); },
                [&] { return client.ReceiveData(); }, uint8_t(tag + 1), count, 64, MixedTelegram);
    std::string to = toLon.get();
    return to.empty() && fromLon.empty() ? "" : "to the bus: " + to + "; from it: " + fromLon;
}

// One interface and the server on it; `Serve` connects a client and waits until it is served.
class NetifServer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = TunLon::Unavailable();
        SKIP_IF_MISSING(why);
        lon.emplace();
    }
    void Start(const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"-p", std::to_string(port), "-d", lon->Name()};
        args.insert(args.end(), more.begin(), more.end());
        server.emplace(args);
    }
    void Serve(TestClient& client) {
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    }

    std::optional<TunLon> lon;
    int port = FreePort();
    std::optional<ServerProcess> server;
    size_t mark = 0;
};

TEST_F(NetifServer, TenThousandTelegramsEachWayWithLongestOnes) {
    Start();
    TestClient client;
    Serve(client);
    EXPECT_EQ(FlowBothWays(client, *lon, 10000, 0xC3), "") << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

// Unplugged in mid-flow, the interface ends the cycle; while it is away every client is
// accepted and closed, and the log names it; plugged back, it serves again.
TEST_F(NetifServer, UnpluggedInMidFlowAndPluggedBackIn) {
    Start();
    TestClient client;
    Serve(client);
    // The client keeps sending while telegrams come from the bus.
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (uint32_t i = 0; !stop && client.SendData(NumberedTelegram(0xC3, i)); ++i) {
            std::this_thread::sleep_for(1ms);
        }
    });
    for (uint32_t i = 0; i < 100; ++i) {
        ASSERT_TRUE(lon->Write(NumberedTelegram(0xD4, i)));
        ASSERT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, i)) << server->Tail();
    }
    lon->Unplug();
    ASSERT_TRUE(server->WaitForLine(RESTARTING, &mark)) << server->Tail();
    EXPECT_TRUE(client.WaitClosed()) << server->Tail();
    stop = true;
    sender.join();

    TestClient refused;
    ASSERT_TRUE(refused.Connect(port));
    EXPECT_TRUE(refused.WaitClosed()) << server->Tail();
    EXPECT_TRUE(
        server->WaitForLine(lon->Name() + ": cannot open the network interface: no ", &mark))
        << server->Tail();
    EXPECT_TRUE(server->WaitForLine(LON_START_FAILED, &mark)) << server->Tail();
    // The failed attempt's listening socket is closed too: the next client meets the next one.
    ASSERT_TRUE(server->WaitForLine(STOPPED, &mark)) << server->Tail();

    ASSERT_TRUE(lon->Plug());
    TestClient again;
    Serve(again);
    EXPECT_EQ(FlowBothWays(again, *lon, 200, 0xE5), "") << server->Tail();
}

// -m: the project's LDV library opens the interface through the same device manager. While the
// interface is away, every client is closed and the log names the device; then both ways carry.
TEST_F(NetifServer, TheLibraryWayCarriesTelegramsBothWays) {
    lon->Unplug();
    Start({"-m"});
    TestClient refused;
    ASSERT_TRUE(refused.Connect(port));
    EXPECT_TRUE(refused.WaitClosed()) << server->Tail();
    EXPECT_TRUE(server->WaitForLine("ldv_open_overlapped_neuronid(" + lon->Name() + ")=-1", &mark))
        << server->Tail();
    ASSERT_TRUE(server->WaitForLine(STOPPED, &mark)) << server->Tail();
    ASSERT_TRUE(lon->Plug());
    TestClient client;
    Serve(client);
    EXPECT_EQ(FlowBothWays(client, *lon, 1000, 0xA7), "") << server->Tail();
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();
}

TEST_F(NetifServer, TwoInstancesOnTwoInterfaces) {
    TunLon lonA, lonB;
    int portA = FreePort(), portB = FreePort();
    ServerProcess server({"-p", std::to_string(portA), "-d", lonA.Name(), "-i", "-p",
                          std::to_string(portB), "-d", lonB.Name()});
    TestClient a, b;
    size_t mark = 0;
    ASSERT_TRUE(a.Connect(portA));
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    ASSERT_TRUE(b.Connect(portB));
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    auto flowA = std::async(std::launch::async, [&] { return FlowBothWays(a, lonA, 2000, 0xA1); });
    EXPECT_EQ(FlowBothWays(b, lonB, 2000, 0xB1), "") << server.Tail();
    EXPECT_EQ(flowA.get(), "") << server.Tail();
}

// Malformed frames from the adapter: each is dropped with one line under the error zone,
// and the telegrams around them pass in order without a restart. The count adds up over the
// instance's cycles and shows on the status socket.
TEST_F(NetifServer, BadFramesAreDroppedWhileTheStreamGoesOnAndAddUp) {
    Start();
    TestClient client;
    Serve(client);
    int bad = 0;
    const std::vector<ipmsg::Bytes> badFrames = {{0x18}, {0x18, 9, 1}, {0x18, 0xFF, 1}};
    std::string flow = RunFlow(
        [&](const ipmsg::Bytes& t) {
            if (t[2] % 50 == 0 && !lon->WriteFrame(badFrames[size_t(bad++) % badFrames.size()]))
                return false;
            return lon->Write(t);
        },
        [&] { return client.ReceiveData(); }, 0xD4, 1000);
    EXPECT_EQ(flow, "") << server->Tail();
    ASSERT_TRUE(server->WaitForLine("(" + std::to_string(bad) + " bad frames)")) << server->Tail();
    EXPECT_EQ(server->CountLines(lon->Name() + ": frame of "), size_t(bad));
    EXPECT_EQ(server->CountLines(RESTARTING), 0u) << server->Tail();

    client.Close();
    ASSERT_TRUE(server->WaitForLine(RESTARTING, &mark)) << server->Tail();
    TestClient next;
    Serve(next);
    ASSERT_TRUE(lon->WriteFrame(badFrames[0]));
    ASSERT_TRUE(lon->Write(NumberedTelegram(0xD4, 1)));
    EXPECT_EQ(next.ReceiveData(), NumberedTelegram(0xD4, 1)) << server->Tail();
    ++bad;
    EXPECT_TRUE(server->WaitForLine("(" + std::to_string(bad) + " bad frames)")) << server->Tail();
    nlohmann::json status = StatusByPort(*server)[port];
    EXPECT_EQ(status["bad_frames"], bad) << status;
    EXPECT_EQ(status["frames_dropped_by_kernel"], 0) << status;
    EXPECT_EQ(status["interface_failures"], 0) << status;
    EXPECT_EQ(status["interface_errors"], bad) << status;
}

// -n: the open sends the neuron-ID message and takes the adapter's response for itself; a
// message that arrives before the response reaches the client all the same. Unanswered, the
// open says so after a while and serves anyway.
TEST_F(NetifServer, TheNeuronIdExchange) {
    lon->AnswerNeuronId(false);
    Start({"-n", "0A1B2C3D4E5F"});
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    std::optional<ipmsg::Bytes> message = lon->Read();
    ASSERT_TRUE(message && IsNeuronIdMessage(*message)) << server->Tail();
    EXPECT_EQ(ipmsg::Bytes(message->begin() + 22, message->end()),
              (ipmsg::Bytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
    ASSERT_TRUE(lon->Write(NumberedTelegram(0xD4, 1)));
    ASSERT_TRUE(lon->Write(NeuronIdResponse()));
    ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    ASSERT_TRUE(lon->Write(NumberedTelegram(0xD4, 2)));
    EXPECT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, 1));
    EXPECT_EQ(client.ReceiveData(), NumberedTelegram(0xD4, 2));
    EXPECT_TRUE(server->WaitForLine("IOCTL_GETVERSION=Veltrabox LON network interface"));

    client.Close();
    ASSERT_TRUE(server->WaitForLine(RESTARTING, &mark)) << server->Tail();
    TestClient unanswered;
    ASSERT_TRUE(unanswered.Connect(port));
    ASSERT_TRUE(lon->Read());
    ASSERT_TRUE(server->WaitForLine(lon->Name() + ": no response to the neuron-ID message", &mark))
        << server->Tail();
    ASSERT_TRUE(server->WaitForLine(STARTED, &mark)) << server->Tail();
    ASSERT_TRUE(unanswered.SendData(NumberedTelegram(0xC3, 3)));
    EXPECT_EQ(lon->Read(), NumberedTelegram(0xC3, 3));
}

}  // namespace
}  // namespace e2e
