// The contract of the LON stream drivers: the telegrams they carry, and the control codes as
// the system sends them with DeviceIoControl.
#pragma once

#include <cstring>

#include "platform/win.h"

// A LON telegram, as every interface delivers and takes it: byte 1 counts the bytes that
// follow it, so a telegram is byte 1 + 2 bytes long, 2 to 257.
constexpr win::DWORD TELEGRAM_MAX = 257;
constexpr win::DWORD TelegramSize(win::BYTE byte1) {
    return byte1 + 2u;
}

// Input: 4-byte time-out in ms; output: the telegram buffer.
constexpr win::DWORD IOCTL_XLON_READWAIT = 0;
// Output: 4-byte version word.
constexpr win::DWORD IOCTL_XLON_GETVERS = 1;
// Output: up to 512 bytes of zero-terminated UTF-16 version text.
constexpr win::DWORD IOCTL_GETVERSION = 0x43504C00;
// Input: the telegram buffer; output: 4-byte time-out in ms.
constexpr win::DWORD IOCTL_READ = 0x43504C02;
// No data: readies the interface.
constexpr win::DWORD IOCTL_LON_RESET = 0x8300A434;
// Input: the 28-byte network-management message that writes the neuron ID; output: the reply.
constexpr win::DWORD IOCTL_LON_NETMGMT = 0x8300E438;
constexpr win::DWORD NEURON_ID_MESSAGE_SIZE = 28;
constexpr win::DWORD NEURON_ID_REPLY_SIZE = 245;
// Several telegrams in one request, in order. Input: records, each a 2-byte little-endian
// length and the telegram as it is (its byte 1 may disagree: the interface judges it);
// output: a DWORD per telegram, the bytes written of it, for those the writes reached
// (*bytesReturned counts them, on failure too). Fails at the first telegram that cannot be
// written; stops after one written short.
constexpr win::DWORD IOCTL_WRITE_TELEGRAMS = 0x56420001;
constexpr win::DWORD TELEGRAM_RECORD_HEADER = 2;

// Puts the record of a telegram at `at`; its size.
inline win::DWORD PutTelegramRecord(win::BYTE* at, const win::BYTE* telegram, win::DWORD length) {
    at[0] = static_cast<win::BYTE>(length);
    at[1] = static_cast<win::BYTE>(length >> 8);
    if (length) std::memcpy(at + TELEGRAM_RECORD_HEADER, telegram, length);
    return TELEGRAM_RECORD_HEADER + length;
}

// The network-management write-memory request that puts the neuron ID into the interface's
// read-only data at offset 0.
inline void BuildNeuronIdMessage(const win::BYTE neuronId[6],
                                 win::BYTE message[NEURON_ID_MESSAGE_SIZE]) {
    std::memset(message, 0, NEURON_ID_MESSAGE_SIZE);
    const win::BYTE head[] = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F};
    std::memcpy(message, head, sizeof head);
    const win::BYTE request[] = {0x6E, 0x01, 0x00, 0x00, 0x06, 0x00};
    std::memcpy(message + 16, request, sizeof request);
    std::memcpy(message + 22, neuronId, 6);
}
