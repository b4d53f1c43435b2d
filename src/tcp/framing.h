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

// Id and Len are stored in host order, so the record is the wire layout on little-endian hosts.
struct IpMsg {
    win::WORD Id;
    win::WORD Len;
    win::BYTE Data[MAX_IPMSG_DATA];
};

// The receive state of GetPacketFromTcp: lives on the receiving thread (TcpToLon) for one
// cycle. RecvBuffer always begins with a message's header; RemainDataSize bytes are held.
struct TcpReceiveState {
    win::BYTE RecvBuffer[IPMSG_HEADER_SIZE + MAX_IPMSG_DATA];
    win::DWORD RemainDataSize;
};

// Sends `length` bytes as one ID_DATA message on the client socket: 0, 105, 107 or 108.
win::DWORD SendPacketToTcp(ServerInstance* instance, const win::BYTE* data, win::DWORD length);
// Hands out the next data payload from the client's stream, receiving into `state` at most once
// per call: 103 with *received set, 104 (call again), 102 (connection gone), 101 (buffer too
// small). A null buffer with size 0 drops everything held (returns 0).
win::DWORD GetPacketFromTcp(ServerInstance* instance, TcpReceiveState* state, win::BYTE* buffer,
                            win::DWORD size, win::DWORD* received);
