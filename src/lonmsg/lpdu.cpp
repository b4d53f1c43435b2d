#include "lonmsg/lpdu.h"

namespace lonmsg {

namespace {

constexpr uint8_t DOMAIN_BYTES[4] = {0, 1, 3, 6};
constexpr size_t NEURON_ID_SIZE = 6;
constexpr size_t CRC_SIZE = 2;

// Hands out the bytes of an LPDU in order; false once a piece would run past its end.
struct Reader {
    ByteView bytes;
    size_t pos = 0;
    bool Take(size_t count, ByteView* out) {
        if (bytes.size() - pos < count) return false;
        *out = bytes.subspan(pos, count);
        pos += count;
        return true;
    }
};

bool ReadAddresses(Reader* reader, Lpdu* out) {
    ByteView a;
    if (!reader->Take(2, &a)) return false;
    out->srcSubnet = a[0];
    out->srcNode = a[1] & 0x7F;
    // Subnet/node addressing: a clear bit 7 of the source node marks a group acknowledgement.
    out->groupAck = out->addressFormat == SUBNET_NODE && !(a[1] & 0x80);
    switch (out->addressFormat) {
        case BROADCAST:
            if (!reader->Take(1, &a)) return false;
            out->dstSubnet = a[0];
            return true;
        case GROUP:
            if (!reader->Take(1, &a)) return false;
            out->group = a[0];
            return true;
        case SUBNET_NODE:
            if (!reader->Take(out->groupAck ? 4 : 2, &a)) return false;
            out->dstSubnet = a[0];
            out->dstNode = a[1] & 0x7F;
            if (out->groupAck) {
                out->group = a[2];
                out->member = a[3];
            }
            return true;
        default:
            if (!reader->Take(1 + NEURON_ID_SIZE, &a)) return false;
            out->dstSubnet = a[0];
            out->neuronId = a.subspan(1);
            return true;
    }
}

std::string Addresses(const Lpdu& lpdu) {
    std::string line = "from " + Node(lpdu.srcSubnet, lpdu.srcNode);
    switch (lpdu.addressFormat) {
        case BROADCAST:
            return line + (*lpdu.dstSubnet
                               ? " broadcast to subnet " + std::to_string(*lpdu.dstSubnet)
                               : " broadcast to the domain");
        case GROUP:
            return line + " to group " + std::to_string(*lpdu.group);
        case SUBNET_NODE:
            line += " to " + Node(*lpdu.dstSubnet, *lpdu.dstNode);
            if (lpdu.groupAck) {
                line += ", acknowledging group " + std::to_string(*lpdu.group) + " member " +
                        std::to_string(*lpdu.member);
            }
            return line;
        default:
            return line + " to Neuron ID " + Hex(lpdu.neuronId) + " in subnet " +
                   std::to_string(*lpdu.dstSubnet);
    }
}

// TPDU, SPDU and AuthPDU start with a byte of authenticated bit, type and transaction number.
std::string Enclosed(const Lpdu& lpdu) {
    if (lpdu.pduFormat == APDU) return DescribeApdu(lpdu.pdu, false);
    std::string line;
    if (lpdu.pdu.empty()) {
        Mark(&line, "ends before the PDU header");
        return line;
    }
    const uint8_t header = lpdu.pdu[0];
    if (header & 0x80) line = "auth ";
    line += "type " + std::to_string(header >> 4 & 0x07) + " transaction " +
            std::to_string(header & 0x0F);
    if (lpdu.pdu.size() > 1) line += " data " + Hex(lpdu.pdu.subspan(1));
    return line;
}

// "priority alt path backlog 3; APDU"
std::string Headers(const Lpdu& lpdu) {
    static const char* const pduNames[4] = {"TPDU", "SPDU", "AuthPDU", "APDU"};
    std::string line;
    if (lpdu.priority) line += "priority ";
    if (lpdu.altPath) line += "alt path ";
    return line + "backlog " + std::to_string(lpdu.deltaBacklog) + "; " + pduNames[lpdu.pduFormat];
}

}  // namespace

std::string ParseLpdu(ByteView bytes, Lpdu* out) {
    *out = Lpdu{};
    Reader reader{bytes};
    ByteView h;
    if (!reader.Take(2, &h)) return "ends inside the header";
    out->priority = h[0] & 0x80;
    out->altPath = h[0] & 0x40;
    out->deltaBacklog = h[0] & 0x3F;
    out->version = h[1] >> 6;
    out->pduFormat = h[1] >> 4 & 0x03;
    out->addressFormat = h[1] >> 2 & 0x03;
    out->domainLength = DOMAIN_BYTES[h[1] & 0x03];
    if (out->version != 0) return "NPDU version " + std::to_string(out->version);
    if (!ReadAddresses(&reader, out)) return "ends inside the addresses";
    if (!reader.Take(out->domainLength, &out->domain)) return "ends inside the domain";
    out->pdu = bytes.subspan(reader.pos);
    return "";
}

std::string DescribeLpdu(const Lpdu& lpdu) {
    return Headers(lpdu) + " " + Addresses(lpdu) + ", " +
           (lpdu.domain.empty() ? "no domain" : "domain " + Hex(lpdu.domain)) + "; " +
           Enclosed(lpdu);
}

std::string DescribeLayer2(ByteView payload, TelegramFields* fields) {
    if (payload.size() < CRC_SIZE) {
        std::string line = "LPDU";
        Mark(&line, "no room for the CRC");
        return line;
    }
    ByteView crc = payload.last(CRC_SIZE);
    Lpdu lpdu;
    std::string misfit = ParseLpdu(payload.first(payload.size() - CRC_SIZE), &lpdu);
    std::string line;
    if (misfit.empty()) {
        line = DescribeLpdu(lpdu);
        fields->Address = Addresses(lpdu);
        if (lpdu.pduFormat == APDU) PickApdu(lpdu.pdu, fields);
    } else {
        // Whatever of the headers was read still says something.
        line = payload.size() >= CRC_SIZE + 2 ? Headers(lpdu) : "LPDU";
        Mark(&line, misfit);
    }
    return line + "; CRC " + Hex(crc);
}

}  // namespace lonmsg
