#include "serial_framing.h"

#include <algorithm>
#include <cstring>

namespace win::detail {

BYTE* FramerSpace(SerialFramer& framer, size_t* room) {
    *room = sizeof framer.data - framer.used;
    return framer.data + framer.used;
}

void FramerCommit(SerialFramer& framer, size_t count) {
    framer.used += std::min(count, sizeof framer.data - framer.used);
}

bool FramerTake(SerialFramer& framer, BYTE* out, DWORD size, DWORD* count) {
    if (framer.used < 2) return false;
    size_t length = TelegramSize(framer.data[1]);
    if (framer.used < length) return false;
    size_t copied = std::min<size_t>(size, length);
    if (copied) std::memcpy(out, framer.data, copied);
    std::memmove(framer.data, framer.data + length, framer.used - length);
    framer.used -= length;
    if (count) *count = static_cast<DWORD>(copied);
    return true;
}

}  // namespace win::detail
