// Who may reach an instance: the values "ListenAddress" (an IPv4 or IPv6 address) and
// "AllowFrom" (comma-separated networks of both families, address/n or a single address) under
// the registry key HKEY_LOCAL_MACHINE\Quorvel\Port<port>, for the port that the instance
// listens on; and its monitors: "MonitorPort", "CapturePort" and "MonitorLimit" (dwords) under
// the same key.
#pragma once

#include "instance/instance.h"

// Reads the values of the instance on `port` under `root` (HKEY_LOCAL_MACHINE, or a snapshot of
// it) into `settings`; a missing key or value gives its default (every address, every client,
// no monitors, at most DEFAULT_MONITOR_LIMIT of them). False, after one error line that names
// the key and the value and ends with `consequence`, when a value is malformed.
bool ReadAccessSettings(win::HKEY root, int32_t port, AccessSettings* settings,
                        win::LPCWSTR consequence);
// The start-up's reading into the instance. False when a value is malformed: such an instance
// must not start, rather than serve everyone.
bool ReadAccessSettings(ServerInstance* instance);
