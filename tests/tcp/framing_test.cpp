// The message framing over a real loopback connection: how the byte stream is cut into
// messages, what is handed out and what is skipped, and what ends the connection.
#include "tcp/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "tcp/loopback.h"
#include "tcp/server_socket.h"

using win::DWORD;

namespace {

constexpr DWORD UNTOUCHED = 0xDEADBEEF;
constexpr uint8_t CANARY = 0xEE;

class Framing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenLink(link_, FreePort()));
        ASSERT_EQ(GetPacketFromTcp(instance(), &receive_, nullptr, 0, nullptr), 0u);
        buffer_.fill(CANARY);
    }
    void TearDown() override { CloseTcp(instance()); }

    ServerInstance* instance() { return link_.instance.get(); }
    DWORD Held() { return receive_.RemainDataSize; }
    // One call with a caller buffer of `size` bytes (the rest of buffer_ is the canary).
    DWORD Get(DWORD size = 512) {
        received_ = UNTOUCHED;
        return GetPacketFromTcp(instance(), &receive_, buffer_.data(), size, &received_);
    }
    Bytes Payload() { return Bytes(buffer_.begin(), buffer_.begin() + received_); }
    bool CanaryIntactFrom(size_t offset) {
        return std::all_of(buffer_.begin() + offset, buffer_.end(),
                           [](uint8_t b) { return b == CANARY; });
    }

    Link link_;
    TcpReceiveState receive_{};
    std::array<uint8_t, 1024> buffer_;
    DWORD received_ = UNTOUCHED;
};

TEST_F(Framing, TwoMessagesInOneReceiveAreHandedOutWithoutReceivingAgain) {
    link_.client.SendAndAwaitAck(
        Concat({ipmsg::Encode(ID_DATA, {1, 2, 3}), ipmsg::Encode(ID_DATA, {4, 5, 6, 7, 8})}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    EXPECT_EQ(Held(), 16u);
    // Bytes waiting in the socket would show in Held() if a call received again.
    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_ALIVE, {}));

    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{1, 2, 3}));
    EXPECT_EQ(Held(), 9u);
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{4, 5, 6, 7, 8}));
    EXPECT_EQ(Held(), 0u);
}

TEST_F(Framing, MessageSplitOverManyReceivesIsHandedOutAfterTheLastPiece) {
    Bytes message = ipmsg::Encode(ID_DATA, {9, 8, 7, 6, 5, 4, 3});
    for (size_t i = 0; i < message.size(); ++i) {
        link_.client.SendAndAwaitAck({message[i]});
        ASSERT_EQ(Get(), TCP_RECV_PENDING) << "byte " << i;
        ASSERT_EQ(received_, UNTOUCHED);
        ASSERT_EQ(Held(), i + 1);
    }
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{9, 8, 7, 6, 5, 4, 3}));
}

TEST_F(Framing, KeepAliveAndForeignIdsAreSkippedAndDataBehindThemHandedOutAtOnce) {
    link_.client.SendAndAwaitAck(
        Concat({ipmsg::Encode(ID_ALIVE, {}), ipmsg::Encode(0x1234, {1, 2, 3}),
                ipmsg::Encode(ID_DATA, {42, 43})}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    ASSERT_EQ(Held(), 17u);
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{42, 43}));
    EXPECT_TRUE(CanaryIntactFrom(2));
    EXPECT_EQ(Held(), 0u);
}

TEST_F(Framing, SkippingTheLastHeldMessageGoesOnToReceive) {
    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_ALIVE, {}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    link_.client.SendAndAwaitAck(ipmsg::Encode(0x0101, {5, 5}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    EXPECT_EQ(Held(), 6u);
    EXPECT_EQ(received_, UNTOUCHED);
}

TEST_F(Framing, EmptyAndLargestDataMessagesAreHandedOut) {
    Bytes largest(MAX_IPMSG_DATA);
    for (size_t i = 0; i < largest.size(); ++i) largest[i] = uint8_t(i * 7);
    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, {}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(received_, 0u);
    EXPECT_TRUE(CanaryIntactFrom(0));

    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, largest));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    ASSERT_EQ(Held(), 516u);
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), largest);
    EXPECT_TRUE(CanaryIntactFrom(512));
}

// A data message longer than the caller's buffer is dropped whole: nothing is written past the
// buffer and the next message is read from its true start.
TEST_F(Framing, DataLongerThanTheCallersBufferIsSkippedWhole) {
    constexpr DWORD CALLER_SIZE = 300;
    link_.client.SendAndAwaitAck(Concat(
        {ipmsg::Encode(ID_DATA, Bytes(400, 0xAB)), ipmsg::Encode(ID_DATA, {1, 2, 3, 4, 5})}));
    DWORD result;
    while ((result = Get(CALLER_SIZE)) == TCP_RECV_PENDING) {
    }
    ASSERT_EQ(result, TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_TRUE(CanaryIntactFrom(5));
    EXPECT_EQ(Held(), 0u);
}

TEST_F(Framing, CallerBufferBelow257IsRefusedWithoutReceiving) {
    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, {1}));
    EXPECT_EQ(Get(256), TCP_BUFFER_TOO_SMALL);
    EXPECT_EQ(GetPacketFromTcp(instance(), &receive_, nullptr, 512, &received_),
              TCP_BUFFER_TOO_SMALL);
    EXPECT_EQ(Held(), 0u);
    EXPECT_EQ(Get(257), TCP_RECV_PENDING);
    EXPECT_EQ(Held(), 5u);
}

TEST_F(Framing, ClientVanishingMidMessageGives102AndTheResetCallDropsTheRest) {
    link_.client.SendAndAwaitAck({ID_DATA, 0, 9});
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    link_.client.Close();
    EXPECT_EQ(Get(), TCP_RECV_FAILED);
    EXPECT_EQ(Get(), TCP_RECV_FAILED);
    EXPECT_EQ(Held(), 3u);
    EXPECT_EQ(received_, UNTOUCHED);

    EXPECT_EQ(GetPacketFromTcp(instance(), &receive_, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(Held(), 0u);
}

TEST_F(Framing, NextCycleStartsCleanAfterTheResetCall) {
    link_.client.SendAndAwaitAck({ID_DATA, 0, 20, 0, 1, 2});
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    CloseTcp(instance());
    ASSERT_NO_FATAL_FAILURE(OpenLink(link_, uint16_t(instance()->Port)));
    ASSERT_EQ(GetPacketFromTcp(instance(), &receive_, nullptr, 0, nullptr), 0u);

    link_.client.SendAndAwaitAck(ipmsg::Encode(ID_DATA, {7, 7}));
    ASSERT_EQ(Get(), TCP_RECV_PENDING);
    ASSERT_EQ(Get(), TCP_PACKET_READY);
    EXPECT_EQ(Payload(), (Bytes{7, 7}));
}

// A header announcing more than the buffer can hold can never complete: the buffer fills and
// the connection ends, with nothing handed out.
class OversizedHeader : public Framing,
                        public ::testing::WithParamInterface<std::pair<uint16_t, uint16_t>> {};

TEST_P(OversizedHeader, FillsTheBufferThenEndsIn102) {
    auto [id, announced] = GetParam();
    link_.client.SendAndAwaitAck(ipmsg::Encode(id, Bytes(600, 0x55), announced));
    while (Held() < 516) ASSERT_EQ(Get(), TCP_RECV_PENDING);
    EXPECT_EQ(Held(), 516u);
    EXPECT_EQ(Get(), TCP_RECV_FAILED);
    EXPECT_EQ(received_, UNTOUCHED);
    EXPECT_TRUE(CanaryIntactFrom(0));
}

INSTANTIATE_TEST_SUITE_P(Announced, OversizedHeader,
                         ::testing::Values(std::pair<uint16_t, uint16_t>{ID_DATA, 513},
                                           std::pair<uint16_t, uint16_t>{ID_DATA, 0xFFFF},
                                           std::pair<uint16_t, uint16_t>{0x77, 0x8000}));

// What a message sent in a batch of its own puts on the wire, byte for byte.
class SendOnTheWire : public Framing, public ::testing::WithParamInterface<DWORD> {};

TEST_P(SendOnTheWire, CarriesHeaderAndPayload) {
    DWORD length = GetParam();
    Bytes payload(length);
    for (DWORD i = 0; i < length; ++i) payload[i] = uint8_t(i + 1);
    ASSERT_EQ(SendOneMessage(instance(), payload.data(), length), 0u);
    EXPECT_EQ(link_.client.ReadRaw(4 + length), ipmsg::Encode(ID_DATA, payload));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SendOnTheWire, ::testing::Values(0u, 7u, 512u));

TEST_F(Framing, SendAbove512Returns105AndSendsNothing) {
    Bytes payload(513, 0x11);
    EXPECT_EQ(SendOneMessage(instance(), payload.data(), 513), TCP_PACKET_TOO_LONG);
    uint8_t next = 0x22;
    ASSERT_EQ(SendOneMessage(instance(), &next, 1), 0u);
    EXPECT_EQ(link_.client.ReadRaw(5), (Bytes{ID_DATA, 0, 1, 0, 0x22}));
}

TEST_F(Framing, SendToAClientThatResetTheConnectionFailsAndTheProcessLives) {
    std::signal(SIGPIPE, SIG_DFL);
    link_.client.Abort();
    // The failed receive shows that the reset has arrived.
    ASSERT_EQ(Get(), TCP_RECV_FAILED);
    uint8_t telegram[3] = {0, 1, 2};
    EXPECT_EQ(SendOneMessage(instance(), telegram, 3), TCP_SEND_FAILED);
    EXPECT_EQ(win::WSAGetLastError(), win::WSAECONNRESET);
    EXPECT_EQ(SendOneMessage(instance(), telegram, 3), TCP_SEND_FAILED);
}

}  // namespace
