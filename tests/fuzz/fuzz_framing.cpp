// Feeds a client's byte stream through GetPacketFromTcp over a real loopback connection and
// checks every payload handed out against a plain reading of the stream. Input: one byte that
// picks the caller's buffer size, then the stream.
#include <string>
#include <vector>

#include "diag/debug.h"
#include "fuzz_check.h"
#include "support/test_client.h"
#include "tcp/framing.h"
#include "tcp/server_socket.h"

namespace {

using ipmsg::Bytes;

constexpr size_t MAX_STREAM = 8192;  // fits the loopback buffers, so one write never blocks
constexpr uint8_t CANARY = 0xEE;

// The payloads a correct receiver hands out: every complete data message that fits the
// caller's buffer, up to the end of the stream or the first header that can never complete.
std::vector<Bytes> Expected(const uint8_t* stream, size_t size, size_t callerSize) {
    std::vector<Bytes> payloads;
    size_t whole;
    for (size_t at = 0; (whole = ipmsg::WholeSize(stream + at, size - at)) > 0; at += whole) {
        size_t len = whole - ipmsg::HEADER_SIZE;
        if (len > MAX_IPMSG_DATA) break;
        const uint8_t* data = stream + at + ipmsg::HEADER_SIZE;
        if (ipmsg::IdOf(stream + at) == ID_DATA && len <= callerSize) {
            payloads.emplace_back(data, data + len);
        }
    }
    return payloads;
}

// One listening socket for the whole run; each input gets a connection of its own, which ends
// with a reset once the stream is read: an orderly end would leave one in TIME_WAIT per input.
win::SOCKET TheListener(uint16_t port) {
    static win::SOCKET listener = [port] {
        win::WSADATA data;
        win::WSAStartup(0x0202, &data);
        SetDebugZoneMask(0);
        win::SOCKET s = win::socket(win::AF_INET, win::SOCK_STREAM, 0);
        win::sockaddr_in any{};
        any.sin_family = win::AF_INET;
        any.sin_port = win::htons(port);
        Check(win::bind(s, reinterpret_cast<win::sockaddr*>(&any), sizeof any) == 0);
        Check(win::listen(s, 1) == 0);
        return s;
    }();
    return listener;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > MAX_STREAM + 1) return 0;
    const size_t callerSize = TCP_MIN_BUFFER_SIZE + data[0] * 2;  // 257 to 767
    const uint8_t* stream = data + 1;
    const size_t streamSize = size - 1;

    static const uint16_t port = FreePort();
    win::SOCKET listener = TheListener(port);
    e2e::TestClient client;
    Check(client.Connect(port, e2e::Duration(0)));
    static ServerInstance instance{};
    instance.ClientSocket = win::accept(listener, nullptr, nullptr);
    Check(instance.ClientSocket != win::INVALID_SOCKET);
    Check(client.SendRaw(Bytes(stream, stream + streamSize)));
    client.FinishSending();

    std::vector<Bytes> expected = Expected(stream, streamSize, callerSize);
    std::vector<Bytes> got;
    std::vector<uint8_t> buffer(callerSize + 64, CANARY);
    static TcpReceiveState state;
    Check(GetPacketFromTcp(&instance, &state, nullptr, 0, nullptr) == 0);
    // Every call hands out a message or receives at least one byte, so this bound is generous.
    for (size_t calls = 0; calls <= 2 * streamSize + 2; ++calls) {
        win::DWORD received = 0xFFFFFFFF;
        win::DWORD result =
            GetPacketFromTcp(&instance, &state, buffer.data(), win::DWORD(callerSize), &received);
        Check(state.RemainDataSize <= sizeof state.RecvBuffer);
        for (size_t i = callerSize; i < buffer.size(); ++i) Check(buffer[i] == CANARY);
        if (result == TCP_RECV_FAILED) break;
        if (result == TCP_PACKET_READY) {
            Check(received <= callerSize);
            got.emplace_back(buffer.begin(), buffer.begin() + received);
        } else {
            Check(result == TCP_RECV_PENDING);
        }
    }
    Check(got == expected);
    std::string sizes;
    for (const Bytes& payload : got) sizes += " " + std::to_string(payload.size());
    Verdict("handed out [" + sizes + " ]");

    client.Abort();
    CloseTcp(&instance);
    return 0;
}
