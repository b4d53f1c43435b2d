// The instance start-up: runs one supervisor per record of the instance table.
#pragma once

#include "instance/instance.h"

// `table[0..lastIndex]` as the command line built it; only the last slot may be empty.
// Returns the process's exit code: 0 once the supervisor on the main thread has returned, 1
// when a thread cannot be created or no instance can start.
int StartInstances(ServerInstance** table, int lastIndex);
