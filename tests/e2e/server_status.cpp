#include "server_status.h"

#include <gtest/gtest.h>

#include <sstream>

namespace e2e {

std::map<int, nlohmann::json> StatusByPort(const ChildProcess& server) {
    CommandResult result =
        RunCommand(BuiltProgram("veltraclient") + " -S -j " + server.StatusSocket());
    EXPECT_EQ(result.status, 0) << result.output;
    std::map<int, nlohmann::json> byPort;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        nlohmann::json object = nlohmann::json::parse(line);
        byPort[object["port"].get<int>()] = object;
    }
    return byPort;
}

}  // namespace e2e
