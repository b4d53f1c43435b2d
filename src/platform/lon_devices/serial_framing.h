// Telegrams back to back in a byte stream, each as long as its byte 1 says (lon_ioctl.h). The
// framer collects what the device delivers, in whatever pieces, and hands out whole telegrams
// in order.
#pragma once

#include <cstddef>

#include "../private.h"
#include "platform/lon_ioctl.h"

namespace win::detail {

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
