// The LON network interface (a network interface of the Linux LON driver, lon0, ...): what a
// program may ask of one beyond the device calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win.h"

namespace win::netif {

// What an interface counts. An opening counts into a record of its own unless the program
// gives it one (CountInto), which then adds up over every opening it is given to.
struct Counts {
    std::atomic<uint64_t> FramesDroppedByKernel{0};  // the receive buffer overflowed
    std::atomic<uint64_t> BadFrames{0};              // malformed frames, dropped
    // The kernel's drop count could not be read, and that has been reported (once).
    std::atomic<bool> KernelCountFailed{false};
};

// From now on the interface behind `device` counts into `counts`, which must outlive the
// device. False for any other handle.
bool CountInto(HANDLE device, Counts* counts);
// Frames dropped by the kernel plus bad frames, in the record that `device` counts into. 0 for
// any other handle.
uint64_t InterfaceErrors(HANDLE device);

}  // namespace win::netif
