// The messages on the client connection, both ways: a 4-byte header (Id, Len, little-endian)
// and Len payload bytes.
#pragma once

#include "instance/instance.h"
#include "platform/lon_ioctl.h"
#include "platform/win.h"

constexpr win::DWORD MAX_IPMSG_DATA = 512;
constexpr win::DWORD IPMSG_HEADER_SIZE = 4;
constexpr win::WORD ID_ALIVE = 0;
constexpr win::WORD ID_DATA = 16;

// Keep-alive on a connection, the client's and each monitor's: a period, the periods in a row
// without anything received that end it, and those with nothing sent after which the server
// sends ID_ALIVE itself.
constexpr win::DWORD KEEPALIVE_PERIOD_MS = 5000;
constexpr int32_t MAX_READ_NOALIVE_COUNT = 4;
constexpr int32_t SEND_ALIVE_COUNT = 2;

// Smallest caller buffer GetPacketFromTcp accepts: the longest LON telegram.
constexpr win::DWORD TCP_MIN_BUFFER_SIZE = TELEGRAM_MAX;

constexpr win::DWORD TCP_BUFFER_TOO_SMALL = 101;
constexpr win::DWORD TCP_RECV_FAILED = 102;
constexpr win::DWORD TCP_PACKET_READY = 103;
constexpr win::DWORD TCP_RECV_PENDING = 104;
constexpr win::DWORD TCP_PACKET_TOO_LONG = 105;
constexpr win::DWORD TCP_SEND_FAILED = 107;
constexpr win::DWORD TCP_SEND_INCOMPLETE = 108;

// The receive state of GetPacketFromTcp: lives on the receiving thread (TcpToLon) for one
// cycle. RecvBuffer always begins with a message's header; RemainDataSize bytes are held.
struct TcpReceiveState {
    win::BYTE RecvBuffer[IPMSG_HEADER_SIZE + MAX_IPMSG_DATA];
    win::DWORD RemainDataSize;
};

// ID_DATA messages back to back, to leave in one send: each telegram is read straight into
// its place behind its header, so gathering a burst copies nothing.
constexpr win::DWORD IPMSG_BATCH_SIZE = 32 * 1024;
struct IpMsgBatch {
    win::DWORD Used;  // bytes of whole messages
    win::BYTE Bytes[IPMSG_BATCH_SIZE];
};

// Writes the 4-byte header of a message with `id` and `length` payload bytes: Id and Len,
// little-endian. Every message the server sends is headed by it.
void PutIpMsgHeader(win::BYTE* at, win::WORD id, win::WORD length);
// Where the payload of the next message goes (MAX_IPMSG_DATA bytes of room), or null when the
// batch has no room for another message.
win::BYTE* PacketSlot(IpMsgBatch* batch);
// The `length` bytes in the slot become the batch's last message: 0, or 105 (longer than a
// message carries; nothing added).
win::DWORD AddPacketToBatch(IpMsgBatch* batch, win::DWORD length);
// The payload of the message at *at (0 for the first), and *at moves past it; null after the
// last.
const win::BYTE* PacketInBatch(const IpMsgBatch* batch, win::DWORD* at, win::DWORD* length);
// Sends every message of the batch in one send on the client socket: 0, 107 or 108.
win::DWORD SendPacketsToTcp(ServerInstance* instance, const IpMsgBatch* batch);
// Hands out the next data payload from the client's stream, receiving into `state` at most once
// per call: 103 with *received set, 104 (call again), 102 (connection gone), 101 (buffer too
// small). A null buffer with size 0 drops everything held (returns 0).
win::DWORD GetPacketFromTcp(ServerInstance* instance, TcpReceiveState* state, win::BYTE* buffer,
                            win::DWORD size, win::DWORD* received);
// Never receives: the next data payload that `state` already holds whole, because the receive
// before brought several messages. 103 with *received set, 104 when none is held, 101 as
// above.
win::DWORD GetHeldPacketFromTcp(TcpReceiveState* state, win::BYTE* buffer, win::DWORD size,
                                win::DWORD* received);
