// The capture port: an instance's third port, whose readers (Wireshark, tshark, dumpcap with
// -i TCP@host:port) get every telegram that crosses the instance, both ways, as a pcap stream.
// A capture reader is a monitor (tcp/monitors.h) with another encoding that never sends:
// bounded queue, dropped when behind, MonitorLimit and AllowFrom, but no keep-alive.
//
// The stream: a pcap file header (microsecond time stamps, link type LINKTYPE_USER0), then one
// record per telegram, stamped with the time it was read from or written to the interface. Its
// data is CAPTURE_HEAD_SIZE bytes of our own, then the telegram as the interface carries it:
//   0     version (CAPTURE_VERSION)
//   1     direction: 0 read from the bus, 1 written to the bus
//   2-3   the instance's port, big-endian
//   4-7   the record's number on this port since the server started, big-endian: a gap is
//         telegrams that no reader got
// dissector/veltrabox.lua decodes it.
#pragma once

#include "instance/instance.h"

constexpr uint32_t LINKTYPE_USER0 = 147;
constexpr win::BYTE CAPTURE_VERSION = 1;
constexpr win::DWORD CAPTURE_HEAD_SIZE = 8;

// Opens the capture port of an instance with a CapturePort, as StartMonitors does the
// monitor port.
void StartCapture(ServerInstance* instance);
void StopCapture(ServerInstance* instance);
