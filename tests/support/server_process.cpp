#include "support/server_process.h"

#include <gtest/gtest.h>

#include <sstream>

namespace e2e {

namespace {

std::vector<std::string> ServerWords(const std::vector<std::string>& args) {
    std::vector<std::string> argv = CommandWords(VELTRABOX_BINARY_DIR "/veltrabox");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

bool SanitizerReport(const std::string& line) {
    return line.find("Sanitizer") != std::string::npos ||
           line.find("runtime error:") != std::string::npos;
}

}  // namespace

std::vector<std::string> CommandWords(const std::string& path) {
    std::vector<std::string> words;
#ifdef VELTRABOX_EMULATOR
    std::istringstream emulator(VELTRABOX_EMULATOR);
    for (std::string word; emulator >> word;) words.push_back(word);
#endif
    words.push_back(path);
    return words;
}

std::string BuiltProgram(const std::string& name) {
    std::string command;
    for (const auto& word : CommandWords(VELTRABOX_BINARY_DIR "/" + name)) {
        command += (command.empty() ? "" : " ") + word;
    }
    return command;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment, unsigned zones,
                             const std::string& registry)
    : ChildProcess(ServerWords(args), environment, zones, registry) {}

ServerProcess::ServerProcess(const Command& command)
    : ChildProcess(command.argv, {}, LOG_ZONES, "") {}

ServerProcess::~ServerProcess() {
    Stop();
    for (const auto& line : Lines()) {
        if (SanitizerReport(line)) {
            ADD_FAILURE() << "the server reported a fault:\n" << line;
            break;
        }
    }
}

}  // namespace e2e
