// End-to-end tests: a pty that plays a LON interface. The server opens the slave side as a
// serial interface (its path given with -d); the test plays the bus on the master side, with
// telegrams back to back, each one byte 1 + 2 bytes long. Free of GoogleTest (the benchmarks
// play the bus with it too): a pty that cannot be had throws std::runtime_error.
#pragma once

#include <optional>
#include <string>

#include "support/wait.h"
#include "tools/veltraclient/ipmsg.h"

namespace e2e {

class PtyLon {
  public:
    PtyLon();
    ~PtyLon() { Hangup(); }
    PtyLon(const PtyLon&) = delete;
    PtyLon& operator=(const PtyLon&) = delete;

    bool Open() const { return master_ >= 0; }
    const std::string& Path() const { return path_; }
    // The master side, non-blocking.
    int Fd() const { return master_; }

    bool Write(const ipmsg::Bytes& telegram);
    // The next telegram that the server wrote, within `timeout`.
    std::optional<ipmsg::Bytes> Read(Duration timeout = WAIT);
    // The interface disappears: the server's reads and writes on it fail from now on.
    void Hangup();

  private:
    [[noreturn]] void Fail(const std::string& what);

    int master_ = -1;
    // Held so that the master sees no hang-up while the server has the slave closed between
    // two of its cycles; it also keeps the line in raw mode from the start.
    int slave_ = -1;
    std::string path_;
    ipmsg::Bytes pending_;
};

}  // namespace e2e
