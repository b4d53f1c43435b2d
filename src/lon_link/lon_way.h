// Inside the LON link: the two ways to an interface behind the four functions of lon_link.h.
// lon_driver.cpp reaches a stream device, lon_library.cpp an LDV library; lon_link.cpp picks
// the instance's way and does what both ways share (the messages, the result codes).
#pragma once

#include "instance/instance.h"
#include "platform/lon_ioctl.h"
#include "platform/win.h"

struct LonWay {
    // 0 when open, else the code StartLon returns.
    win::DWORD (*Start)(ServerInstance* instance);
    // Closes whatever is open.
    void (*Stop)(ServerInstance* instance);
    // Into a zeroed buffer with *length 0: LON_READ_DONE or LON_READ_FAILED. Without `wait`
    // only a telegram that the interface already holds.
    win::DWORD (*Read)(ServerInstance* instance, win::BYTE* buffer, win::DWORD size,
                       win::DWORD* length, bool wait);
    // Writes `count` telegrams in order, back to back in `telegrams` with `lengths` their
    // sizes: written[i] the bytes written of each, for the first *done. FALSE with the thread's
    // last error at the first that fails; stops after one written short.
    win::BOOL (*Write)(ServerInstance* instance, const win::BYTE* telegrams,
                       const win::DWORD* lengths, win::DWORD count, win::DWORD* written,
                       win::DWORD* done);
};

extern const LonWay LON_DRIVER_WAY;
extern const LonWay LON_LIBRARY_WAY;

// Byte 1 of the buffer gives the telegram's length, never more than the buffer holds.
inline win::DWORD TelegramLength(const win::BYTE* buffer, win::DWORD size) {
    win::DWORD length = size >= 2 ? TelegramSize(buffer[1]) : 0;
    return length < size ? length : size;
}
