// The tests' TCP client of a server port on 127.0.0.1 (plain BSD sockets), speaking the message
// framing of the veltraclient tool, and what the kernel's socket table shows. Free of win.h,
// whose names the BSD headers' macros would hide, and of GoogleTest: the benchmarks use it too.
#pragma once

#include <optional>
#include <string>

#include "support/ports.h"
#include "support/wait.h"
#include "tools/veltraclient/ipmsg.h"

namespace e2e {

// TCP states as /proc/net/tcp shows them.
constexpr unsigned TCP_TIME_WAIT = 0x06;
constexpr unsigned TCP_LISTEN = 0x0A;
// TCP sockets of this machine (both families) with local port `port` in `state`.
int SocketsInState(int port, unsigned state);
// True once something listens on `port` within `timeout`, without connecting to it.
bool WaitForListener(int port, Duration timeout = WAIT);
// Empty when ::1 can be used; otherwise why not (IPv6 switched off), for a test's skip.
std::string Ipv6LoopbackMissing();
// Makes a socket's send buffer small, so that sends fill its connection quickly.
void ShrinkSendBuffer(int fd);
// An integer socket option of `fd`, or -1.
int SocketOption(int fd, int level, int name);

class TestClient {
  public:
    TestClient() = default;
    ~TestClient() { Close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Call before Connect to make the server's sends fill the connection quickly.
    void ShrinkReceiveBuffer() { smallReceiveBuffer_ = true; }
    // Connects once something listens on the port, waiting up to `timeout` for that (a server
    // that is starting); a zero timeout does not wait. A refused connection is a failure: an
    // instance listens for its whole life.
    bool Connect(int port, Duration timeout = WAIT) {
        return Connect(port, timeout, "127.0.0.1", "");
    }
    // The same to the loopback address `to` (IPv4 or IPv6), from the loopback address `from`
    // (any if empty).
    bool Connect(int port, Duration timeout, const std::string& to, const std::string& from);
    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool SendRaw(const ipmsg::Bytes& bytes);
    bool SendData(const ipmsg::Bytes& telegram) {
        return SendRaw(ipmsg::Encode(ipmsg::ID_DATA, telegram));
    }
    bool SendAlive() { return SendRaw(ipmsg::Encode(ipmsg::ID_ALIVE, {})); }
    // Sends all bytes and waits until the server's host has acknowledged them, so that the
    // server's next receive finds them all; throws std::runtime_error otherwise.
    void SendAndAwaitAck(const ipmsg::Bytes& bytes);
    // Ends the client's direction of the stream; the server then reads its end.
    void FinishSending();

    // The next message of any id within `timeout`.
    std::optional<ipmsg::Message> Receive(Duration timeout = WAIT);
    // The next data message within `timeout`, skipping keep-alives.
    std::optional<ipmsg::Bytes> ReceiveData(Duration timeout = WAIT);
    // The next `count` bytes as they arrive, or fewer: what came before the end of the stream
    // or `timeout`. Past the message decoder: not for a connection that Receive reads.
    ipmsg::Bytes ReadRaw(size_t count, Duration timeout = WAIT);
    // True once the server has closed the connection within `timeout`; messages still
    // arriving before the close are dropped.
    bool WaitClosed(Duration timeout = WAIT);
    // True once the server has ended the stream in order (no reset) within `timeout`, with
    // nothing sent before the end.
    bool WaitEndOfStream(Duration timeout = WAIT);

    void Close();
    // Vanishes: closes with a reset instead of an orderly end.
    void Abort();

    // The server's end of this connection, taken from the process `server` (pidfd_getfd:
    // Linux 5.6 and the right to trace it); -1 with errno set when it cannot be had. The
    // caller closes it.
    int TakeServerEnd(pid_t server) const;

  private:
    static constexpr ssize_t TIMED_OUT = -2;
    // One receive into `buffer` once data, the end or an error is there: the bytes received,
    // 0 at the end of the stream, -1 on an error, TIMED_OUT once `deadline` has passed.
    ssize_t ReceiveSome(uint8_t* buffer, size_t size, Clock::time_point deadline);

    int fd_ = -1;
    bool smallReceiveBuffer_ = false;
    ipmsg::Decoder decoder_;
};

}  // namespace e2e
