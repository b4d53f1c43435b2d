#include "serial_framing.h"

#include <algorithm>
#include <cstring>

namespace win::detail {

void FramerReset(SerialFramer& framer) {
    framer.begin = framer.end = 0;
}

BYTE* FramerSpace(SerialFramer& framer, size_t* room) {
    // Taking a telegram moves nothing; what is left moves to the front only before a read.
    if (framer.begin > 0) {
        std::memmove(framer.data, framer.data + framer.begin, framer.end - framer.begin);
        framer.end -= framer.begin;
        framer.begin = 0;
    }
    *room = sizeof framer.data - framer.end;
    return framer.data + framer.end;
}

void FramerCommit(SerialFramer& framer, size_t count) {
    framer.end += std::min(count, sizeof framer.data - framer.end);
}

bool FramerTake(SerialFramer& framer, BYTE* out, DWORD size, DWORD* count) {
    size_t held = framer.end - framer.begin;
    if (held < 2) return false;
    const BYTE* telegram = framer.data + framer.begin;
    size_t length = TelegramSize(telegram[1]);
    if (held < length) return false;
    size_t copied = std::min<size_t>(size, length);
    if (copied) std::memcpy(out, telegram, copied);
    framer.begin += length;
    if (count) *count = static_cast<DWORD>(copied);
    return true;
}

}  // namespace win::detail
