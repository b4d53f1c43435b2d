// The instance start-up: runs one supervisor per record of the instance table.
#pragma once

#include "instance/instance.h"

// Reads every instance's access settings (registry). An instance whose settings are malformed
// is reported ended: it will not start. Call before the service starts, which may reload them.
void ReadInstanceSettings(ServerInstance** table, int lastIndex);
// One line per instance that will start, saying what it serves and how (after the service
// has started MQTT); and one for an interface it names that is not there.
void TellInstances(ServerInstance** table, int lastIndex);
// `table[0..lastIndex]` as the command line built it; only the last slot may be empty.
// Instances reported ended are left out. Returns the process's exit code: 0 once the supervisor on
// the main thread has returned, 1 when a thread cannot be created or no instance can start.
int StartInstances(ServerInstance** table, int lastIndex);
