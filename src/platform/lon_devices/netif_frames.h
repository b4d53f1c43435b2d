// Frames of a LON network interface (the Linux LON driver's lonN): each packet is one message,
// [command][length][bytes], the telegram shape the server carries. Byte 1 = 0xFF marks the
// extended form [command][0xFF][16-bit length, host order][bytes]; a telegram whose byte 1 is
// 0xFF (257 bytes) travels in that form with length 255.
#pragma once

#include <cstddef>

#include "../private.h"
#include "platform/lon_ioctl.h"

namespace win::detail {

// The longest frame that can carry a telegram: the extended form of a 257-byte one.
constexpr size_t NETIF_FRAME_MAX = 4 + TELEGRAM_MAX - 2;

enum class FrameVerdict {
    Telegram,        // a telegram came out of the frame
    TooShort,        // fewer than 2 bytes, or an extended frame without its length
    SizeMismatch,    // the frame's size disagrees with byte 1 or the extended length
    ExtendedTooLong  // an extended length above 255: no telegram can hold it
};

// Checks a received frame of `size` bytes, of which `frame` holds the first
// min(size, NETIF_FRAME_MAX). On FrameVerdict::Telegram, `telegram` holds the telegram and
// *telegramSize its length (2 to 257). *announced is what byte 1 or the extended length says.
FrameVerdict CheckFrame(const BYTE* frame, size_t size, BYTE telegram[TELEGRAM_MAX],
                        size_t* telegramSize, size_t* announced);

// The frame that carries `telegram` (`size` bytes) into `frame`; its size, or 0 when the
// telegram is malformed (shorter than 2 bytes, or its size disagrees with its byte 1).
size_t FrameOfTelegram(const BYTE* telegram, size_t size, BYTE frame[NETIF_FRAME_MAX]);

}  // namespace win::detail
