// The server as a service of the system's service manager: it says when it is ready, what its
// instances do and that their supervisors are alive (sd_notify over NOTIFY_SOCKET), serves the
// status socket, and ends in order on SIGTERM and SIGINT. One thread does all of it.
#pragma once

#include "instance/instance.h"

// Starts the service thread for the records of `table[0..lastIndex]` (empty slots skipped).
// Call on the main thread before any other thread exists: SIGTERM and SIGINT stay blocked in
// every thread, and the service thread takes them.
void StartService(ServerInstance** table, int lastIndex);
// The main thread's supervisor has returned. While the server is ending, waits for the service
// thread to end the process (never returns); otherwise removes the status socket and returns.
void EndService();
