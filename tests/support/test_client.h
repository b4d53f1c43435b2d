// End-to-end tests: a TCP client of a server port on 127.0.0.1 that speaks the message framing
// of the veltraclient tool, and a pick of free ports.
#pragma once

#include <optional>

#include "support/ports.h"
#include "support/server_process.h"
#include "tools/veltraclient/ipmsg.h"

namespace e2e {

// TCP states as /proc/net/tcp shows them.
constexpr unsigned TCP_TIME_WAIT = 0x06;
constexpr unsigned TCP_LISTEN = 0x0A;
// IPv4 sockets of this machine with local port `port` in `state`.
int SocketsInState(int port, unsigned state);
// True once something listens on `port` within `timeout`, without connecting to it.
bool WaitForListener(int port, Duration timeout = WAIT);

class TestClient {
  public:
    TestClient() = default;
    ~TestClient() { Close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects, retrying while the port refuses (the server is between two listening
    // sockets), until `timeout` has passed.
    bool Connect(int port, Duration timeout = WAIT);
    bool Connected() const { return fd_ >= 0; }

    bool SendRaw(const ipmsg::Bytes& bytes);
    bool SendData(const ipmsg::Bytes& telegram) {
        return SendRaw(ipmsg::Encode(ipmsg::ID_DATA, telegram));
    }
    bool SendAlive() { return SendRaw(ipmsg::Encode(ipmsg::ID_ALIVE, {})); }

    // The next message of any id within `timeout`.
    std::optional<ipmsg::Message> Receive(Duration timeout = WAIT);
    // The next data message within `timeout`, skipping keep-alives.
    std::optional<ipmsg::Bytes> ReceiveData(Duration timeout = WAIT);
    // True once the server has closed the connection within `timeout`; messages still
    // arriving before the close are dropped.
    bool WaitClosed(Duration timeout = WAIT);

    void Close();
    // Vanishes: closes with a reset instead of an orderly end.
    void Abort();

  private:
    int fd_ = -1;
    ipmsg::Decoder decoder_;
};

}  // namespace e2e
