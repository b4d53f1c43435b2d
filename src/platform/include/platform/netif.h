// The LON network interface (a network interface of the Linux LON driver, lon0, ...): what a
// program may ask of one beyond the device calls.
#pragma once

#include "platform/win.h"

namespace win::netif {

// Errors of the interface behind `device` since it was opened: frames dropped as malformed,
// and frames the kernel dropped because the receive buffer overflowed. 0 for any other handle.
uint64_t InterfaceErrors(HANDLE device);

}  // namespace win::netif
