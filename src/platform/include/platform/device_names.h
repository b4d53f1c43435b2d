// What a LON device name stands for, by the rules CreateFileW opens it by, without opening it:
// so that the server can say at its start what each instance will use.
#pragma once

#include <string>

#include "platform/win.h"

namespace win::devices {

enum class DeviceKind { SIMULATED, SERIAL, NETWORK_INTERFACE, NONE };

struct DeviceTarget {
    DeviceKind Kind;
    std::string Name;      // the channel's "LONn:", the path, or the interface's name
    std::string Variable;  // "VELTRABOX_LONn" when that named the target, else empty
};

DeviceTarget ResolveDeviceName(LPCWSTR name);
// A path that exists, a network interface the kernel knows now; the simulated channel always.
bool DeviceTargetExists(const DeviceTarget& target);

}  // namespace win::devices
