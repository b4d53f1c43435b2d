#include "lonmsg/apdu.h"

#include <cstdio>

namespace lonmsg {

namespace {

constexpr uint8_t READ_MEMORY = 0x6D;
constexpr uint8_t WRITE_MEMORY = 0x6E;

// Network management requests by code; nullptr for the codes that have no name.
const char* ManagementName(uint8_t code) {
    static const char* const names[32] = {
        "expanded",       "QueryId",      "RespondToQuery", "UpdateDomain", "LeaveDomain",
        "UpdateKey",      "UpdateAddr",   "QueryAddr",      "QueryNvCnfg",  "UpdateGroupAddr",
        "QueryDomain",    "UpdateNvCnfg", "SetNodeMode",    "ReadMemory",   "WriteMemory",
        "ChecksumRecalc", "Wink",         "MemoryRefresh",  "QuerySnvt",    "NvFetch",
        nullptr,          nullptr,        nullptr,          nullptr,        nullptr,
        nullptr,          nullptr,        nullptr,          nullptr,        "DeviceEscape",
        "RouterEscape",   "ServicePin"};
    return code >= 0x60 && code <= 0x7F ? names[code - 0x60] : nullptr;
}

const Named DIAGNOSTICS[] = {
    {0x51, "QueryStatus"}, {0x52, "Proxy"},           {0x53, "ClearStatus"},
    {0x54, "QueryXcvr"},   {0x56, "QueryStatusFlex"},
};

void AppendData(std::string* line, ByteView data) {
    if (!data.empty()) *line += " data " + Hex(data);
}

// ReadMemory and WriteMemory: address mode, 16-bit big-endian address, count; WriteMemory adds a
// form byte and the data.
std::string MemoryRequest(uint8_t code, ByteView fields) {
    std::string line = ManagementName(code);
    const size_t fixed = code == WRITE_MEMORY ? 5 : 4;
    if (fields.size() < fixed) {
        AppendData(&line, fields);
        Mark(&line, "ends inside its fields");
        return line;
    }
    line += " mode " + std::to_string(fields[0]) +
            Formatted(" address 0x%04X", unsigned(fields[1] << 8 | fields[2])) + " count " +
            std::to_string(fields[3]);
    ByteView rest = fields.subspan(fixed);
    if (code == READ_MEMORY) {
        if (!rest.empty()) Mark(&line, ByteCount(rest.size()) + " after the count");
        return line;
    }
    line += Formatted(" form 0x%02X", fields[4]);
    AppendData(&line, rest);
    if (rest.size() != fields[3]) Mark(&line, "the data is " + ByteCount(rest.size()));
    return line;
}

// A response code below 0x40 names every request it may answer: management success is
// 0x20 | request, failure the request's low 5 bits; diagnostics success 0x30 | request, failure
// 0x10 | request (low 4 bits).
std::string Response(uint8_t code, ByteView data) {
    std::string names;
    auto add = [&](const char* name, const char* outcome) {
        if (!name) return;
        if (!names.empty()) names += " / ";
        names += std::string(name) + " " + outcome;
    };
    const char* outcome = code & 0x20 ? "success" : "failure";
    add(ManagementName(uint8_t(0x60 | (code & 0x1F))), outcome);
    if (code & 0x10) add(NameOf(DIAGNOSTICS, uint8_t(0x50 | (code & 0x0F))), outcome);
    if (names.empty()) names = Formatted("response 0x%02X", code);
    AppendData(&names, data);
    return names;
}

}  // namespace

ApduClass ClassOf(uint8_t code) {
    if (code >= 0xC0) return ApduClass::NvPoll;
    if (code >= 0x80) return ApduClass::NvUpdate;
    if (code >= 0x60) return ApduClass::Management;
    if (code >= 0x50) return ApduClass::Diagnostics;
    if (code >= 0x40) return ApduClass::ForeignFrame;
    return ApduClass::Application;
}

void PickApdu(ByteView pdu, TelegramFields* fields) {
    if (pdu.empty()) return;
    const uint8_t code = pdu[0];
    const bool variable =
        ClassOf(code) == ApduClass::NvUpdate || ClassOf(code) == ApduClass::NvPoll;
    if (variable && pdu.size() > 1) {
        fields->Selector = NvSelector(code, pdu[1]);
        fields->Data = pdu.subspan(2);
    } else {
        fields->Code = code;
        fields->Data = pdu.subspan(1);
    }
}

std::string DescribeApdu(ByteView pdu, bool response) {
    if (pdu.empty()) return "no PDU";
    const uint8_t code = pdu[0];
    ByteView rest = pdu.subspan(1);
    if (response && code < 0x40) return Response(code, rest);
    std::string line;
    switch (ClassOf(code)) {
        case ApduClass::NvUpdate:
        case ApduClass::NvPoll: {
            const bool poll = ClassOf(code) == ApduClass::NvPoll;
            line = poll ? "NV poll" : "NV update";
            if (rest.empty()) {
                Mark(&line, "ends inside the selector");
                return line;
            }
            line += Formatted(" selector 0x%04X", NvSelector(code, rest[0]));
            rest = rest.subspan(1);
            if (!poll) {
                line += rest.empty() ? " no value" : " value " + Hex(rest);
                return line;
            }
            break;
        }
        case ApduClass::Management:
            if (code == READ_MEMORY || code == WRITE_MEMORY) return MemoryRequest(code, rest);
            line = NameOr(ManagementName(code), "management 0x%02X", code);
            break;
        case ApduClass::Diagnostics:
            line = NameOr(NameOf(DIAGNOSTICS, code), "diagnostics 0x%02X", code);
            break;
        case ApduClass::ForeignFrame:
            line = Formatted("foreign frame 0x%02X", code);
            break;
        case ApduClass::Application:
            line = Formatted("application message 0x%02X", code);
            break;
    }
    AppendData(&line, rest);
    return line;
}

std::string Node(uint8_t subnet, uint8_t node) {
    return std::to_string(subnet) + "/" + std::to_string(node);
}

std::string Formatted(const char* format, unsigned value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string ByteCount(size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string NameOr(const char* name, const char* format, unsigned code) {
    return name ? name : Formatted(format, code);
}

std::string Hex(ByteView bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text(bytes.empty() ? 0 : 3 * bytes.size() - 1, ' ');
    for (size_t i = 0; i < bytes.size(); ++i) {
        text[3 * i] = DIGITS[bytes[i] >> 4];
        text[3 * i + 1] = DIGITS[bytes[i] & 0xF];
    }
    return text;
}

void Mark(std::string* line, const std::string& what) {
    *line += (line->empty() ? "[! " : " [! ") + what + "]";
}

}  // namespace lonmsg
