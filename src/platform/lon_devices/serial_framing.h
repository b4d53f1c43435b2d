// Telegrams back to back in a byte stream, each as long as its byte 1 says (lon_ioctl.h). The
// framer collects what the device delivers, in whatever pieces, and hands out whole telegrams
// in order.
#pragma once

#include <cstddef>

#include "../private.h"
#include "platform/lon_ioctl.h"

namespace win::detail {

// Room for what one read of a busy line brings: a burst of small telegrams is then handed out
// from one read, and the pump sends it in one go.
constexpr size_t SERIAL_FRAMER_SIZE = 64 * TELEGRAM_MAX;

// The bytes not yet handed out are data[begin, end).
struct SerialFramer {
    BYTE data[SERIAL_FRAMER_SIZE];
    size_t begin;
    size_t end;
};

// Drops everything held.
void FramerReset(SerialFramer& framer);
// Free room to read into. Never empty while no whole telegram is pending.
BYTE* FramerSpace(SerialFramer& framer, size_t* room);
// `count` bytes were read into the free room.
void FramerCommit(SerialFramer& framer, size_t count);
// Takes the oldest whole telegram, copying at most `size` bytes of it (the rest of a telegram
// longer than the buffer is dropped); false while none is whole.
bool FramerTake(SerialFramer& framer, BYTE* out, DWORD size, DWORD* count);

}  // namespace win::detail
