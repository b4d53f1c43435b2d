// Numbered test telegrams and a checked flow of them from one end of the bridge to the other.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "support/server_process.h"
#include "tools/veltraclient/ipmsg.h"

namespace e2e {

// Telegram `number` of the flow `tag`: byte 0 the tag, byte 1 the count of bytes after it,
// then the number (4 bytes, little-endian) and 0 to 39 filler bytes, so lengths vary.
ipmsg::Bytes NumberedTelegram(uint8_t tag, uint32_t number);

using MakeTelegram = std::function<ipmsg::Bytes(uint8_t tag, uint32_t number)>;
using SendTelegram = std::function<bool(const ipmsg::Bytes&)>;
using ReceiveTelegram = std::function<std::optional<ipmsg::Bytes>()>;

// Sends telegrams 0 to count-1 of `tag` while another thread receives them at the far end,
// with at most `window` in flight (a LON interface drops what it has no room for). Returns ""
// when every telegram arrived whole and in order, none lost or doubled, else what went wrong.
// `make` gives the telegrams.
std::string RunFlow(const SendTelegram& send, const ReceiveTelegram& receive, uint8_t tag,
                    uint32_t count, uint32_t window = 64,
                    const MakeTelegram& make = NumberedTelegram);

// Telegrams 0 to count-1 of `tag`, every 16th of them 257 bytes long, handed to `write` (a
// piece of the bus's byte stream) `perWrite` at a time, so that one read of the server brings
// many. Returns "" when each arrived whole and in order, none lost or doubled.
std::string RunBurst(const SendTelegram& write, const ReceiveTelegram& receive, uint8_t tag,
                     uint32_t count, uint32_t perWrite);

}  // namespace e2e
