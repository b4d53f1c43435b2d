// The client's side of the wire protocol: every message, both ways, is a 4-byte header (Id and
// Len, 16 bits each, little-endian) followed by Len payload bytes. Header-only and free of the
// server's code, so that the end-to-end tests use the very framing the client uses.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ipmsg {

constexpr uint16_t ID_ALIVE = 0;
constexpr uint16_t ID_DATA = 16;
// On a monitor connection: a telegram that went to the bus.
constexpr uint16_t ID_TO_BUS = 17;
constexpr size_t HEADER_SIZE = 4;
constexpr size_t MAX_DATA = 512;  // the most the server takes in one message

using Bytes = std::vector<uint8_t>;

struct Message {
    uint16_t id;
    Bytes data;
};

// A message whose header announces `length` bytes, whatever the size of `data`.
inline Bytes Encode(uint16_t id, const Bytes& data, uint16_t length) {
    Bytes wire = data;
    const uint8_t header[HEADER_SIZE] = {uint8_t(id & 0xFF), uint8_t(id >> 8),
                                         uint8_t(length & 0xFF), uint8_t(length >> 8)};
    wire.insert(wire.begin(), header, header + HEADER_SIZE);
    return wire;
}

inline Bytes Encode(uint16_t id, const Bytes& data) {
    return Encode(id, data, uint16_t(data.size()));
}

// Collects a byte stream in whatever pieces it arrives and hands out whole messages in order.
struct Decoder {
    Bytes pending;
};

inline void Feed(Decoder& decoder, const uint8_t* bytes, size_t size) {
    decoder.pending.insert(decoder.pending.end(), bytes, bytes + size);
}

// The size of the whole message that `bytes` begins with; 0 while it is not whole.
inline size_t WholeSize(const uint8_t* bytes, size_t size) {
    if (size < HEADER_SIZE) return 0;
    size_t whole = HEADER_SIZE + (bytes[2] | size_t(bytes[3]) << 8);
    return size >= whole ? whole : 0;
}

// The id in the header that `message` begins with.
inline uint16_t IdOf(const uint8_t* message) {
    return uint16_t(message[0] | message[1] << 8);
}

// Takes the oldest whole message; false while none is whole.
inline bool Next(Decoder& decoder, Message* out) {
    Bytes& pending = decoder.pending;
    size_t whole = WholeSize(pending.data(), pending.size());
    if (whole == 0) return false;
    out->id = IdOf(pending.data());
    out->data.assign(pending.begin() + HEADER_SIZE, pending.begin() + long(whole));
    pending.erase(pending.begin(), pending.begin() + long(whole));
    return true;
}

// "01 0A ff" or "010aFF": pairs of hex digits, blanks and tabs anywhere between the pairs.
// False for anything else, an odd digit included.
inline bool ParseHex(const std::string& text, Bytes* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (high >= 0) return false;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        int digit = std::isdigit(static_cast<unsigned char>(c))
                        ? c - '0'
                        : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            out->push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

// "01 0A FF"
inline std::string HexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

}  // namespace ipmsg
