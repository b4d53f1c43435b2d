// The instances' status as text: JSON Lines for the status socket, one short line for the
// service manager.
#pragma once

#include <string>
#include <vector>

#include "instance/instance.h"

// Wide text as UTF-8, whatever locale the calling thread has.
std::string Utf8(const wchar_t* text);
// The JSON object of one instance, on one line.
std::string StatusJson(const ServerInstance& instance);
// One JSON object per instance, one per line, in the order given.
std::string StatusJsonLines(const std::vector<ServerInstance*>& instances);
// All instances in one line, e.g. "5000 connected 10.0.0.7:51234, 5001 listening (2 refused)";
// the refused clients that were told of (TakeUntoldRefusals), once there are any.
std::string StatusSummary(const std::vector<ServerInstance*>& instances);
