// The real server's status socket as a test reads it: through `veltraclient -S -j`.
#pragma once

#include <map>
#include <nlohmann/json.hpp>

#include "support/server_process.h"

namespace e2e {

// The status socket's lines, by port.
std::map<int, nlohmann::json> StatusByPort(const ChildProcess& server);

}  // namespace e2e
