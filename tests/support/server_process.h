// End-to-end tests: the real veltrabox binary as a child process (see child_process.h) whose
// sanitizer reports fail the test.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace e2e {

// Debug zones: Default, Init and Error.
constexpr unsigned LOG_ZONES = 0x13;

// Lines that say the server is serving a client, has closed both sides, is restarting, could
// not open the LON interface, or found its port in use.
constexpr char STARTED[] = "LON und TCP erfolgreich gestartet.";
constexpr char STOPPED[] = "LON und Tcp Beendet.";
constexpr char RESTARTING[] = "Server wird neu gestartet.";
constexpr char LON_START_FAILED[] = "Starten der LON Schnittstelle nicht möglich.";
constexpr char ADDRESS_IN_USE[] = "Error: WSAEADDRINUSE: Thread beendet!";

class ServerProcess : public ChildProcess {
  public:
    // Starts the build's binary with `args`, as ChildProcess does.
    explicit ServerProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& environment = {},
                           unsigned zones = LOG_ZONES, const std::string& registry = "");
    // Runs another program (`command[0]` a path) in the same way, e.g. a daemon that a test
    // puts beside the server; its standard error is captured as the server's is.
    struct Command {
        std::vector<std::string> argv;
    };
    explicit ServerProcess(const Command& command);
    // Stops the process and fails the test if a sanitizer reported anything.
    ~ServerProcess();
};

// The words that run the program at `path`: the path, behind the emulator in a cross build.
std::vector<std::string> CommandWords(const std::string& path);
// The same for a program of the build, as the start of a shell command.
std::string BuiltProgram(const std::string& name);

}  // namespace e2e
