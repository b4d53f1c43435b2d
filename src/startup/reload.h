// Reload: SIGHUP (and so `systemctl reload`) reads the registry file again and takes in, all or
// nothing, what may change while the instances run.
#pragma once

#include <vector>

#include "instance/instance.h"

// The service's reload. From one reading of the registry file, the debug zones and style and
// each running instance's AllowFrom and MonitorLimit take effect at once; a changed
// ListenAddress or MonitorPort, or changed MQTT settings, are reported as taking effect at a
// restart and stay as they are. A file that cannot be read, a line of it that cannot be read,
// or a malformed value changes nothing at all; each is reported.
void ReloadSettings(const std::vector<ServerInstance*>& instances);
