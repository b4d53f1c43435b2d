// Layer 2: the LON packet (LPDU) as interfaces in layer-2 mode pass it. PPDU header, NPDU header,
// the addresses of one of five forms, the domain, then the enclosed PDU.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lonmsg/apdu.h"

namespace lonmsg {

enum PduFormat : uint8_t { TPDU = 0, SPDU = 1, AUTHPDU = 2, APDU = 3 };
enum AddressFormat : uint8_t { BROADCAST = 0, GROUP = 1, SUBNET_NODE = 2, NEURON_ID = 3 };

struct Lpdu {
    // PPDU header
    bool priority = false;
    bool altPath = false;
    uint8_t deltaBacklog = 0;
    // NPDU header
    uint8_t version = 0;
    uint8_t pduFormat = 0;
    uint8_t addressFormat = 0;
    uint8_t domainLength = 0;  // in bytes: 0, 1, 3 or 6
    // Addresses: what the address format carries.
    uint8_t srcSubnet = 0;
    uint8_t srcNode = 0;    // bits 0-6
    bool groupAck = false;  // subnet/node form 2b: the acknowledgement of a group message
    std::optional<uint8_t> dstSubnet, dstNode, group, member;
    ByteView neuronId;
    ByteView domain;
    ByteView pdu;  // the enclosed PDU from its first byte to the end
};

// Reads `bytes` (no CRC) into `out`. Returns what did not fit, or "" when all of it did.
std::string ParseLpdu(ByteView bytes, Lpdu* out);

std::string DescribeLpdu(const Lpdu& lpdu);

// The payload of a layer-2 packet from the interface: the LPDU and its 2-byte CRC. Its
// addresses and application PDU also go to `fields`.
std::string DescribeLayer2(ByteView payload, TelegramFields* fields);

}  // namespace lonmsg
