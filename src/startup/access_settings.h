// Who may reach an instance: the values "ListenAddress" (an IPv4 address) and "AllowFrom"
// (comma-separated IPv4 networks, a.b.c.d/n or a single address) under the registry key
// HKEY_LOCAL_MACHINE\Quorvel\Port<port>, for the port that the instance listens on; and its
// monitors: "MonitorPort" and "MonitorLimit" (dwords) under the same key.
#pragma once

#include "instance/instance.h"

// Reads the values into the instance; a missing key or value leaves its default (every
// interface, every client, no monitors, at most DEFAULT_MONITOR_LIMIT of them). False, after one
// error line that names the key and the value, when a value is malformed: such an instance must not
// start, rather than serve everyone.
bool ReadAccessSettings(ServerInstance* instance);
