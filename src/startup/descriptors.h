// Descriptors: read-only watchers must never keep the one client that writes to the bus from
// being served.
#pragma once

#include "instance/instance.h"

// Raises the soft descriptor limit to the hard one, keeps in reserve what the process and each
// instance of `table[0..lastIndex]` need to serve its client, and leaves the monitors the rest
// (SetMonitorRoom). Says so, under the error zone, when the instances' MonitorLimit adds up to
// more than that. Call once the access settings are read, before any instance starts.
void FitDescriptors(ServerInstance** table, int lastIndex);
