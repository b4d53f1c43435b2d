// Included by every header that is private to the platform library. System code sees the
// platform only through platform/win.h and the device contract, platform/lon_ioctl.h.
#pragma once

#ifndef VELTRABOX_PLATFORM_PRIVATE
#error "private to the platform library: system code includes platform/win.h"
#endif
