#include "tcp/framing.h"

#include <cstring>

#include "diag/debug.h"

using namespace win;

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

void PutIpMsgHeader(BYTE* at, WORD id, WORD length) {
    at[0] = static_cast<BYTE>(id);
    at[1] = static_cast<BYTE>(id >> 8);
    at[2] = static_cast<BYTE>(length);
    at[3] = static_cast<BYTE>(length >> 8);
}

BYTE* PacketSlot(IpMsgBatch* batch) {
    if (sizeof batch->Bytes - batch->Used < IPMSG_HEADER_SIZE + MAX_IPMSG_DATA) return nullptr;
    return batch->Bytes + batch->Used + IPMSG_HEADER_SIZE;
}

DWORD AddPacketToBatch(IpMsgBatch* batch, DWORD length) {
    if (length > MAX_IPMSG_DATA) return TCP_PACKET_TOO_LONG;
    PutIpMsgHeader(batch->Bytes + batch->Used, ID_DATA, static_cast<WORD>(length));
    batch->Used += IPMSG_HEADER_SIZE + length;
    return 0;
}

const BYTE* PacketInBatch(const IpMsgBatch* batch, DWORD* at, DWORD* length) {
    if (*at >= batch->Used) return nullptr;
    const BYTE* message = batch->Bytes + *at;
    *length = HeaderField(message + 2);
    *at += IPMSG_HEADER_SIZE + *length;
    return message + IPMSG_HEADER_SIZE;
}

DWORD SendPacketsToTcp(ServerInstance* instance, const IpMsgBatch* batch) {
    int size = static_cast<int>(batch->Used);
    int sent = win::send(instance->ClientSocket.load(), reinterpret_cast<const char*>(batch->Bytes),
                         size, 0);
    DWORD result = 0;
    if (sent == SOCKET_ERROR) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(%d)=SOCKET_ERROR\n", size);
        result = TCP_SEND_FAILED;
    } else if (sent != size) {
        if (ZoneOn(ZONE_DEFAULT)) DebugPrint(L"send(%d)=%d\n", size, sent);
        result = TCP_SEND_INCOMPLETE;
    } else if (ZoneOn(ZONE_DEFAULT)) {
        DWORD at = 0, length;
        while (PacketInBatch(batch, &at, &length))
            DebugPrint(L"SendPacketToTcp(%02X)=OK\n", length);
    }
    return result;
}

DWORD GetPacketFromTcp(ServerInstance* instance, TcpReceiveState* state, BYTE* buffer, DWORD size,
                       DWORD* received) {
    if (buffer == nullptr && size == 0) {
        state->RemainDataSize = 0;
        return 0;
    }
    DWORD r = GetHeldPacketFromTcp(state, buffer, size, received);
    return r == TCP_RECV_PENDING ? ReceiveMore(instance, state) : r;
}

DWORD GetHeldPacketFromTcp(TcpReceiveState* state, BYTE* buffer, DWORD size, DWORD* received) {
    if (buffer == nullptr || size < TCP_MIN_BUFFER_SIZE) return TCP_BUFFER_TOO_SMALL;
    // Skipped messages are passed over at once: a data message behind a keep-alive is handed
    // out now, not after the next receive (which may never come).
    Front front;
    while ((front = TakeFrontMessage(state, buffer, size, received)) == Front::Skipped) {
    }
    return front == Front::HandedOut ? TCP_PACKET_READY : TCP_RECV_PENDING;
}
