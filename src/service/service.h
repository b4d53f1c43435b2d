// The server as a service of the system's service manager: it says when it is ready, what its
// instances do and that their supervisors are alive (sd_notify over NOTIFY_SOCKET), serves the
// status socket, ends in order on SIGTERM and SIGINT, and reloads on SIGHUP. One thread does all
// of it.
#pragma once

#include <vector>

#include "instance/instance.h"

// Reads the settings again and takes in what may change while the instances run.
using ReloadFunction = void (*)(const std::vector<ServerInstance*>& instances);

// Starts the service thread for the records of `table[0..lastIndex]` (empty slots skipped).
// Call on the main thread before any other thread exists: SIGTERM, SIGINT and SIGHUP stay
// blocked in every thread, and the service thread takes them. On SIGHUP it calls `reload`
// (none: SIGHUP does nothing).
void StartService(ServerInstance** table, int lastIndex, ReloadFunction reload);
// The main thread's supervisor has returned. While the server is ending, waits for the service
// thread to end the process (never returns); otherwise removes the status socket and returns.
void EndService();
