#include "netif_frames.h"

#include <cstdint>
#include <cstring>

namespace win::detail {

namespace {

constexpr BYTE EXTENDED = 0xFF;
constexpr size_t EXTENDED_HEADER = 4;

}  // namespace

FrameVerdict CheckFrame(const BYTE* frame, size_t size, BYTE telegram[TELEGRAM_MAX],
                        size_t* telegramSize, size_t* announced) {
    *telegramSize = 0;
    *announced = 0;
    if (size < 2) return FrameVerdict::TooShort;
    if (frame[1] != EXTENDED) {
        *announced = frame[1];
        if (size != TelegramSize(frame[1])) return FrameVerdict::SizeMismatch;
        std::memcpy(telegram, frame, size);
        *telegramSize = size;
        return FrameVerdict::Telegram;
    }
    if (size < EXTENDED_HEADER) return FrameVerdict::TooShort;
    uint16_t length;  // host order, as the driver writes it
    std::memcpy(&length, frame + 2, sizeof length);
    *announced = length;
    if (size != EXTENDED_HEADER + length) return FrameVerdict::SizeMismatch;
    if (length > TELEGRAM_MAX - 2) return FrameVerdict::ExtendedTooLong;
    telegram[0] = frame[0];
    telegram[1] = static_cast<BYTE>(length);
    std::memcpy(telegram + 2, frame + EXTENDED_HEADER, length);
    *telegramSize = length + size_t{2};
    return FrameVerdict::Telegram;
}

size_t FrameOfTelegram(const BYTE* telegram, size_t size, BYTE frame[NETIF_FRAME_MAX]) {
    if (size < 2 || size != TelegramSize(telegram[1])) return 0;
    if (telegram[1] != EXTENDED) {
        std::memcpy(frame, telegram, size);
        return size;
    }
    const uint16_t length = EXTENDED;
    frame[0] = telegram[0];
    frame[1] = EXTENDED;
    std::memcpy(frame + 2, &length, sizeof length);
    std::memcpy(frame + EXTENDED_HEADER, telegram + 2, length);
    return EXTENDED_HEADER + length;
}

}  // namespace win::detail
