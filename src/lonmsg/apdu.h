// The application PDU of a LON message: its first byte tells network-variable update or poll,
// network management, diagnostics, foreign frame or application message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace lonmsg {

using ByteView = std::span<const uint8_t>;

enum class ApduClass { NvUpdate, NvPoll, Management, Diagnostics, ForeignFrame, Application };

ApduClass ClassOf(uint8_t code);

// The network-variable selector of an update or poll: the code's low 6 bits, then byte 1.
inline uint16_t NvSelector(uint8_t code, uint8_t next) {
    return uint16_t((code & 0x3F) << 8 | next);
}

// The parts of a telegram that programs pick out, as far as the telegram has them.
struct TelegramFields {
    std::string Command;               // "niCOMM|niTQ", "layer-2 packet", "reset", ...
    std::string Address;               // "to 1/12, domain 0"; empty without an address
    std::optional<uint16_t> Selector;  // of a network-variable update or poll
    std::optional<uint8_t> Code;       // of any other application PDU
    ByteView Data;                     // the PDU's bytes after its selector or code
};

// The selector or code and the data of `pdu` into `fields`.
void PickApdu(ByteView pdu, TelegramFields* fields);

// One readable phrase for `pdu`. A `response` answers a request, so its codes below 0x40 name
// the management or diagnostics request that they answer.
std::string DescribeApdu(ByteView pdu, bool response);

// A code and its name, for the decoders' tables.
struct Named {
    uint8_t code;
    const char* name;
};

// The name of `code` in `table`, or nullptr.
template <size_t N>
const char* NameOf(const Named (&table)[N], uint8_t code) {
    for (const Named& entry : table) {
        if (entry.code == code) return entry.name;
    }
    return nullptr;
}

// Text pieces shared by the decoders.
std::string Hex(ByteView bytes);                            // "01 0A FF"
std::string Node(uint8_t subnet, uint8_t node);             // "1/12"
std::string Formatted(const char* format, unsigned value);  // one printf number
std::string ByteCount(size_t count);                        // "1 byte", "2 bytes"
// `name`, or for a code without one the code in `format`: "management 0x7A".
std::string NameOr(const char* name, const char* format, unsigned code);

// Appends the mark of what did not fit: " [! what]".
void Mark(std::string* line, const std::string& what);

}  // namespace lonmsg
