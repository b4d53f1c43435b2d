#include "tcp/capture.h"

#include "tcp/framing.h"
#include "tcp/monitors.h"

using namespace win;

namespace {

constexpr DWORD PCAP_FILE_HEADER_SIZE = 24;
constexpr DWORD PCAP_RECORD_HEADER_SIZE = 16;
constexpr uint32_t PCAP_MAGIC_MICROSECONDS = 0xA1B2C3D4;
constexpr uint32_t SNAP_LENGTH = 65535;

void PutLittle32(BYTE* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

void PutBig32(BYTE* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (24 - 8 * i));
}

struct PcapFileHeader {
    BYTE Bytes[PCAP_FILE_HEADER_SIZE];
    PcapFileHeader() : Bytes{} {
        PutLittle32(Bytes, PCAP_MAGIC_MICROSECONDS);
        Bytes[4] = 2;  // version 2.4
        Bytes[6] = 4;
        PutLittle32(Bytes + 16, SNAP_LENGTH);
        PutLittle32(Bytes + 20, LINKTYPE_USER0);
    }
};
const PcapFileHeader FILE_HEADER;

// The record header and our own head of one telegram.
DWORD CaptureHead(BYTE* head, WORD id, DWORD length, int32_t port, int64_t timeUs,
                  uint32_t number) {
    const DWORD captured = CAPTURE_HEAD_SIZE + length;
    PutLittle32(head, static_cast<uint32_t>(timeUs / 1000000));
    PutLittle32(head + 4, static_cast<uint32_t>(timeUs % 1000000));
    PutLittle32(head + 8, captured);
    PutLittle32(head + 12, captured);
    BYTE* own = head + PCAP_RECORD_HEADER_SIZE;
    own[0] = CAPTURE_VERSION;
    own[1] = id == ID_DATA ? 0 : 1;
    own[2] = static_cast<BYTE>(port >> 8);
    own[3] = static_cast<BYTE>(port);
    PutBig32(own + 4, number);
    return PCAP_RECORD_HEADER_SIZE + CAPTURE_HEAD_SIZE;
}

}  // namespace

const MonitorKind CAPTURE_KIND = {L"capture reader",
                                  L"CapturePort",
                                  L"Capture(%d)",
                                  L"Capture(%d:%u)",
                                  COUNT_CAPTURE_READERS,
                                  COUNT_CAPTURE_DROPPED,
                                  COUNT_CAPTURE_BYTES,
                                  REFUSED_CAPTURE,
                                  REFUSED_CAPTURE_LIMIT,
                                  REFUSED_CAPTURE_ROOM,
                                  FILE_HEADER.Bytes,
                                  PCAP_FILE_HEADER_SIZE,
                                  false,
                                  CaptureHead};

void StartCapture(ServerInstance* instance) {
    if (instance->Access.CapturePort == 0) return;
    OpenMonitorHub(instance, instance->Access.CapturePort, &CAPTURE_KIND, &instance->Capture);
}

void StopCapture(ServerInstance* instance) {
    CloseMonitorHub(instance, &instance->Capture);
}
