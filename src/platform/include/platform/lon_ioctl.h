// The control codes of the LON stream drivers, as the system sends them with DeviceIoControl.
#pragma once

#include "platform/win.h"

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
