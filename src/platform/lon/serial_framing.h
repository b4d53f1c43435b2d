// Telegrams back to back in a byte stream: byte 1 of each counts the bytes that follow it, so
// a telegram is byte 1 + 2 bytes long. The framer collects what the device delivers, in
// whatever pieces, and hands out whole telegrams in order.
#pragma once

#include <cstddef>

#include "../private.h"
#include "platform/win.h"

namespace win::detail {

constexpr size_t TELEGRAM_MAX = 257;

struct SerialFramer {
    BYTE data[4 * TELEGRAM_MAX];
    size_t used;
};

// Free room to read into. Never empty while no whole telegram is pending.
BYTE* FramerSpace(SerialFramer& framer, size_t* room);
// `count` bytes were read into the free room.
void FramerCommit(SerialFramer& framer, size_t count);
// Takes the oldest whole telegram, copying at most `size` bytes of it (the rest of a telegram
// longer than the buffer is dropped); false while none is whole.
bool FramerTake(SerialFramer& framer, BYTE* out, DWORD size, DWORD* count);

}  // namespace win::detail
