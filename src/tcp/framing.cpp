#include "tcp/framing.h"

#include <bit>
#include <cstring>

#include "diag/debug.h"

using namespace win;

static_assert(std::endian::native == std::endian::little, "IpMsg is little-endian on the wire");
static_assert(sizeof(IpMsg) == IPMSG_HEADER_SIZE + MAX_IPMSG_DATA);
static_assert(sizeof(TcpReceiveState::RecvBuffer) == sizeof(IpMsg));

namespace {

WORD HeaderField(const BYTE* at) {
    return static_cast<WORD>(at[0] | at[1] << 8);
}

void DropFrontMessage(TcpReceiveState* state, DWORD messageSize) {
    state->RemainDataSize -= messageSize;
    std::memmove(state->RecvBuffer, state->RecvBuffer + messageSize, state->RemainDataSize);
}

enum class Front { Incomplete, HandedOut, Skipped };

// Takes the message at the front of the buffer, if it is complete: hands out its payload if
// it is data that fits the caller's buffer, otherwise drops it.
Front TakeFrontMessage(TcpReceiveState* state, BYTE* buffer, DWORD size, DWORD* received) {
    DWORD held = state->RemainDataSize;
    if (held < IPMSG_HEADER_SIZE) return Front::Incomplete;
    WORD id = HeaderField(state->RecvBuffer);
    WORD len = HeaderField(state->RecvBuffer + 2);
    DWORD messageSize = IPMSG_HEADER_SIZE + len;
    if (messageSize > held) return Front::Incomplete;

    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"IpMsg->Id=%02X Len=%X\n", id, len);
    if (id == ID_DATA && len <= size) {
        std::memcpy(buffer, state->RecvBuffer + IPMSG_HEADER_SIZE, len);
        *received = len;
        DropFrontMessage(state, messageSize);
        return Front::HandedOut;
    }
    // A data message the caller cannot hold is dropped whole, so the stream stays in step.
    if (id == ID_DATA) {
        if (ZoneOn(ZONE_ERROR)) DebugPrint(L"IpMsg Len=%X > buffer %X: skipped\n", len, size);
    } else if (ZoneOn(ZONE_DEFAULT)) {
        DebugPrint(L"ID_ALIVE: Id=%02X Len=%X\n", id, len);
    }
    DropFrontMessage(state, messageSize);
    return Front::Skipped;
}

DWORD ReceiveMore(ServerInstance* instance, TcpReceiveState* state) {
    DWORD held = state->RemainDataSize;
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"recv([%X]):\n", held);
    // A header announcing more than the buffer holds fills it; the receive for 0 bytes then
    // returns 0 and ends the connection.
    int got =
        win::recv(instance->ClientSocket.load(), reinterpret_cast<char*>(state->RecvBuffer) + held,
                  static_cast<int>(sizeof state->RecvBuffer - held), 0);
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"recv([%X])=%X\n", held, static_cast<DWORD>(got));
    if (got == SOCKET_ERROR || got == 0) return TCP_RECV_FAILED;
    state->RemainDataSize = held + static_cast<DWORD>(got);
    return TCP_RECV_PENDING;
}

}  // namespace

DWORD SendPacketToTcp(ServerInstance* instance, const BYTE* data, DWORD length) {
    if (length > MAX_IPMSG_DATA) return TCP_PACKET_TOO_LONG;
    IpMsg message;
    message.Id = ID_DATA;
    message.Len = static_cast<WORD>(length);
    if (length > 0) std::memcpy(message.Data, data, length);

    int messageSize = static_cast<int>(IPMSG_HEADER_SIZE + length);
    int sent = win::send(instance->ClientSocket.load(), reinterpret_cast<const char*>(&message),
                         messageSize, 0);
    if (sent == SOCKET_ERROR) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(%d)=SOCKET_ERROR\n", messageSize);
        return TCP_SEND_FAILED;
    }
    if (sent != messageSize) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(%d)=%d\n", messageSize, sent);
        return TCP_SEND_INCOMPLETE;
    }
    if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"SendPacketToTcp(%02X)=OK\n", length);
    return 0;
}

DWORD GetPacketFromTcp(ServerInstance* instance, TcpReceiveState* state, BYTE* buffer, DWORD size,
                       DWORD* received) {
    if (buffer == nullptr && size == 0) {
        state->RemainDataSize = 0;
        return 0;
    }
    if (buffer == nullptr || size < TCP_MIN_BUFFER_SIZE) return TCP_BUFFER_TOO_SMALL;
    // Skipped messages are passed over at once: a data message behind a keep-alive is handed
    // out now, not after the next receive (which may never come).
    Front front;
    while ((front = TakeFrontMessage(state, buffer, size, received)) == Front::Skipped) {
    }
    if (front == Front::HandedOut) return TCP_PACKET_READY;
    return ReceiveMore(instance, state);
}
