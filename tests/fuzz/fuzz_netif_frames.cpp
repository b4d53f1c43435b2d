// The network interface's frame check: any input is one received frame. A frame that yields a
// telegram must be well formed, and the telegram must go back out as the same message; a
// dropped frame must have been malformed. Every telegram's frame must check out as itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "platform/lon_devices/netif_frames.h"

using namespace win;
using namespace win::detail;

namespace {

// Independent of the code under test: what a well-formed frame is.
bool WellFormed(const uint8_t* data, size_t size) {
    if (size < 2) return false;
    if (data[1] != 0xFF) return size == data[1] + size_t{2};
    if (size < 4) return false;
    size_t length = data[2] | size_t{data[3]} << 8;  // little-endian hosts only
    return size == 4 + length && length <= 255;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly as large as promised, so that a read past it is caught.
    auto frame = std::make_unique<BYTE[]>(size < NETIF_FRAME_MAX ? size + 1 : NETIF_FRAME_MAX);
    std::memcpy(frame.get(), data, size < NETIF_FRAME_MAX ? size : NETIF_FRAME_MAX);
    BYTE telegram[TELEGRAM_MAX];
    size_t telegramSize = 0, announced = 0;
    FrameVerdict verdict = CheckFrame(frame.get(), size, telegram, &telegramSize, &announced);
    if ((verdict == FrameVerdict::Telegram) != WellFormed(data, size)) std::abort();
    static const char* const DROPPED[] = {"", "too short", "size mismatch", "extended too long"};
    Verdict(verdict == FrameVerdict::Telegram
                ? "telegram of " + std::to_string(telegramSize) + " bytes"
                : DROPPED[int(verdict)]);
    if (verdict != FrameVerdict::Telegram) return 0;
    if (telegramSize < 2 || telegramSize != telegram[1] + size_t{2}) std::abort();
    if (telegram[0] != data[0] ||
        std::memcmp(telegram + 2, data + size - (telegramSize - 2), telegramSize - 2) != 0) {
        std::abort();
    }
    BYTE again[NETIF_FRAME_MAX];
    size_t againSize = FrameOfTelegram(telegram, telegramSize, again);
    BYTE back[TELEGRAM_MAX];
    size_t backSize = 0;
    if (CheckFrame(again, againSize, back, &backSize, &announced) != FrameVerdict::Telegram ||
        backSize != telegramSize || std::memcmp(back, telegram, backSize) != 0) {
        std::abort();
    }
    // Only a 257-byte telegram takes the extended form.
    if ((again[1] == 0xFF) != (telegramSize == TELEGRAM_MAX)) std::abort();
    return 0;
}
