#include "lonmsg/decode.h"

#include "lonmsg/lpdu.h"

namespace lonmsg {

namespace {

constexpr size_t HEADER_SIZE = 3;
constexpr size_t ADDRESS_SIZE = 11;
constexpr uint8_t EXTENDED_LENGTH = 0xFF;

constexpr uint8_t NI_COMM = 0x1;
constexpr uint8_t NI_NETMGMT = 0x2;
constexpr uint8_t NI_RESPONSE = 0x6;
constexpr uint8_t NI_INCOMING = 0x8;

const Named QUEUES[] = {
    {0x2, "niTQ"},
    {0x3, "niTQ_P"},
    {0x4, "niNTQ"},
    {0x5, "niNTQ_P"},
    {NI_RESPONSE, "niRESPONSE"},
    {NI_INCOMING, "niINCOMING"},
};

const Named LAYER2_COMMANDS[] = {
    {0x1A, "layer-2 packet"},
    {0x1B, "layer-2 mode 1 packet"},
    {0x1C, "layer-2 mode 2 packet"},
};

// Commands that are a whole byte. Two of them mean one thing to one source and another to
// another: those show their number and both names.
const Named WHOLE_BYTE_COMMANDS[] = {
    {0x00, "null"},
    {0x30, "time-out / error"},
    {0x31, "CRC error"},
    {0x40, "0x40: CRC / powerline phase mode"},
    {0x50, "reset"},
    {0x51, "initiate"},
    {0x52, "challenge"},
    {0x53, "reply"},
    {0x60, "flush-cancel (down) / flush complete (up)"},
    {0x70, "online"},
    {0x80, "offline"},
    {0x90, "flush"},
    {0xA0, "flush, ignore comm"},
    {0xB0, "sleep"},
    {0xC0, "ack"},
    {0xC1, "nack"},
    {0xD0, "mode layer 5"},
    {0xD1, "mode layer 2"},
    {0xE0, "status"},
    {0xE5, "0xE5: IRQ enable / layer mode"},
    {0xE6, "service pin"},
    {0xE8, "transmit ID"},
};

std::string Domain(uint8_t flags) {
    return std::string(" domain ") + (flags & 0x80 ? "1" : "0");
}

// The 11 address bytes of a message to the network.
std::string OutgoingAddress(ByteView a) {
    if (a[0] == 0) return "unassigned";
    if (a[0] == 127) return "to the local interface";
    if (a[0] & 0x80) {
        return "to group " + std::to_string(a[4]) + " member " + std::to_string(a[1] & 0x7F) +
               " of " + std::to_string(a[0] & 0x7F) + "," + Domain(a[1]) + ", retry " +
               std::to_string(a[2] & 0x0F) + ", repeat timer " + std::to_string(a[2] >> 4) +
               ", transmit timer " + std::to_string(a[3] & 0x0F);
    }
    switch (a[0] & 0x03) {
        case 1:
            return "to " + Node(a[4], a[1] & 0x7F) + "," + Domain(a[1]);
        case 2:
            return "to Neuron ID " + Hex(a.subspan(5, 6)) +
                   (a[4] ? " in subnet " + std::to_string(a[4]) : " through every router");
        case 3:
            return std::string("broadcast to ") +
                   (a[4] ? "subnet " + std::to_string(a[4]) : "the whole domain") + "," +
                   Domain(a[1]) + ", backlog " + std::to_string(a[1] & 0x3F) + ", at most " +
                   std::to_string(a[3] >> 4) + " responses";
        default:
            return Formatted("address type 0x%02X unknown", a[0]);
    }
}

std::string Flex(uint8_t r0) {
    return Domain(r0) + (r0 & 0x40 ? " (flex)" : "");
}

// The address of a message from the network: the source, then the destination it was sent to.
std::string IncomingAddress(ByteView r) {
    std::string line = "from " + Node(r[1], r[2] & 0x7F);
    switch (r[0] & 0x3F) {
        case 0:
            line +=
                r[3] ? " broadcast to subnet " + std::to_string(r[3]) : " broadcast to the domain";
            break;
        case 1:
            line += " to group " + std::to_string(r[3]);
            break;
        case 2:
            line += " to " + Node(r[3], r[4]);
            break;
        case 3:
            line += " to Neuron ID " + Hex(r.subspan(4, 6)) + " in subnet " + std::to_string(r[3]);
            break;
        default:
            return line + Formatted(", address format %u unknown", r[0] & 0x3F);
    }
    return line + "," + Flex(r[0]);
}

std::string ResponseAddress(ByteView r) {
    std::string line = "from " + Node(r[1], r[2] & 0x7F) + " to " + Node(r[3], r[4]);
    if (!(r[2] & 0x80)) {
        line += " for group " + std::to_string(r[5]) + " member " + std::to_string(r[6] & 0x3F);
    }
    return line + "," + Flex(r[0]);
}

// H0: tag, authenticated, service type, interface's own NV. H1: flags and completion code.
std::string Header(ByteView h) {
    static const char* const services[4] = {"ACKD", "UNACKD_RPT", "UNACKD", "REQUEST"};
    std::string line = " tag " + std::to_string(h[0] & 0x0F) + " " + services[h[0] >> 5 & 0x03];
    if (h[0] & 0x10) line += " auth";
    if (h[0] & 0x80) line += " interface NV";
    static const char* const flags[8] = {"response", "pool",  "alt path", "address mode",
                                         nullptr,    nullptr, "path",     "priority"};
    for (int bit = 0; bit < 8; ++bit) {
        if (flags[bit] && h[1] >> bit & 1) line += std::string(" ") + flags[bit];
    }
    static const char* const completions[4] = {"", " success", " failure", " completion 3"};
    return line + completions[h[1] >> 4 & 0x03];
}

// A message of niCOMM or niNETMGMT: header, optional address, application PDU. `length` is
// what byte 1 announced; `body` the bytes that came, at most that many.
std::string Message(uint8_t command, size_t length, ByteView body, TelegramFields* fields) {
    const uint8_t queue = command & 0x0F;
    std::string line = command >> 4 == NI_NETMGMT ? "niNETMGMT" : "niCOMM";
    // The queue decides the layout; an unknown one is named by number only.
    if (!NameOf(QUEUES, queue)) {
        line += Formatted(" queue 0x%X", queue);
        Mark(&line, "queue unknown, not decoded");
        return line;
    }
    line += std::string("|") + NameOf(QUEUES, queue);
    fields->Command = line;
    if (body.size() < HEADER_SIZE) {
        Mark(&line, "ends inside the header");
        return line;
    }
    line += Header(body);
    const size_t pduSize = body[2];
    const bool response = body[1] & 0x01;
    const bool addressed = length == HEADER_SIZE + ADDRESS_SIZE + pduSize;
    if (!addressed && length != HEADER_SIZE + pduSize) {
        Mark(&line, "length " + std::to_string(length) + " is neither 3 nor 14 + PDU length " +
                        std::to_string(pduSize));
        return line;
    }
    ByteView rest = body.subspan(HEADER_SIZE);
    std::string& address = fields->Address;
    if (!addressed) {
        line += "; no address";
    } else if (rest.size() < ADDRESS_SIZE) {
        Mark(&line, "ends inside the address");
        return line;
    } else {
        ByteView a = rest.first(ADDRESS_SIZE);
        rest = rest.subspan(ADDRESS_SIZE);
        if (command >> 4 == NI_NETMGMT) {
            address = "to its own node";
        } else if (response) {
            address = ResponseAddress(a);
        } else if (queue == NI_INCOMING) {
            address = IncomingAddress(a);
        } else if (queue == NI_RESPONSE) {
            address = "completion event";
        } else {
            address = OutgoingAddress(a);
        }
        line += "; " + address;
    }
    PickApdu(rest, fields);
    return line + "; " + DescribeApdu(rest, response);
}

}  // namespace

std::string DescribeTelegram(ByteView telegram, TelegramFields* fields) {
    TelegramFields unused;
    if (fields == nullptr) fields = &unused;
    std::string line;
    if (telegram.empty()) {
        Mark(&line, "empty");
        return line;
    }
    const uint8_t command = telegram[0];
    const bool message = command >> 4 == NI_COMM || command >> 4 == NI_NETMGMT;
    if (NameOf(LAYER2_COMMANDS, command)) {
        line = NameOf(LAYER2_COMMANDS, command);
    } else if (message) {
        line = command >> 4 == NI_NETMGMT ? "niNETMGMT" : "niCOMM";
    } else {
        line = NameOr(NameOf(WHOLE_BYTE_COMMANDS, command), "command 0x%02X", command);
    }
    fields->Command = line;
    if (telegram.size() < 2) {
        Mark(&line, "no length byte");
        return line;
    }
    // Byte 1 counts the bytes that follow; 0xFF announces a 16-bit length after it, in host
    // order on one link and big-endian on another: whichever matches what came is taken.
    size_t length = telegram[1];
    ByteView body = telegram.subspan(2);
    if (length == EXTENDED_LENGTH) {
        if (body.size() < 2) {
            Mark(&line, "ends inside the extended length");
            return line;
        }
        const size_t little = body[0] | body[1] << 8, big = body[0] << 8 | body[1];
        body = body.subspan(2);
        if (little != body.size() && big != body.size()) {
            Mark(&line, "extended length fits neither byte order");
            return line;
        }
        length = body.size();
    }
    const size_t extra = body.size() > length ? body.size() - length : 0;
    const size_t missing = body.size() < length ? length - body.size() : 0;
    body = body.first(body.size() - extra);
    if (NameOf(LAYER2_COMMANDS, command)) {
        // Without its end the CRC cannot be told from the packet.
        if (!missing) line += ": " + DescribeLayer2(body, fields);
    } else if (message) {
        line = Message(command, length, body, fields);
    } else if (!body.empty()) {
        line += ", data " + Hex(body);
        fields->Data = body;
    }
    if (missing) {
        Mark(&line, std::to_string(missing) + " of " + std::to_string(length) + " bytes missing");
    }
    if (extra) Mark(&line, ByteCount(extra) + " beyond the length");
    return line;
}

}  // namespace lonmsg
