// Loopback plumbing for the TCP tests: a plain BSD client as the far side, a server start in
// another thread, and readiness waits on kernel state instead of sleeps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "startup/instance.h"

using Bytes = std::vector<uint8_t>;

// One IpMsg as the wire carries it.
Bytes Message(uint16_t id, const Bytes& payload);
Bytes Message(uint16_t id, uint16_t announcedLength, size_t payloadBytes, uint8_t fill);
Bytes Concat(std::initializer_list<Bytes> parts);

class TestClient {
  public:
    TestClient() = default;
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    ~TestClient() { Close(); }

    // Call before Connect to make the server's sends fill up quickly.
    void ShrinkReceiveBuffer();
    bool TryConnect(uint16_t port);
    // Sends all bytes and waits until the server's host has acknowledged them, so that the
    // server's next receive finds them all.
    void Send(const Bytes& bytes);
    // Exactly `count` bytes, or what came before the end of the stream.
    Bytes Read(size_t count);
    // Blocks until the server closes its side; true at end of stream.
    bool AwaitEndOfStream();
    // Closes with RST instead of FIN.
    void Reset();
    void Close();

  private:
    int fd_ = -1;
    bool smallReceiveBuffer_ = false;
};

uint16_t FreePort();
std::future<win::DWORD> StartServerAsync(ServerInstance* instance);
// Connects while the server start runs; false if the start ended without a client.
bool ConnectDuringStart(TestClient& client, uint16_t port, std::future<win::DWORD>& start);

// An instance with one accepted client.
struct Link {
    std::unique_ptr<ServerInstance> instance = std::make_unique<ServerInstance>();
    TestClient client;
};
// Starts the server on `port`, connects the client and waits for the start to return 0.
void OpenLink(Link& link, uint16_t port);

// Closes the instance's sockets when the scope ends, so that a failed assertion never leaves
// a helper thread blocked (declare it after the futures it must release).
struct CloseTcpOnExit {
    ServerInstance* instance;
    ~CloseTcpOnExit();
};

pid_t CurrentThreadId();
// Waits until thread `tid` sits in poll, i.e. is blocked in a socket call.
bool AwaitBlockedInPoll(pid_t tid);
// Waits until thread `tid` sits in poll or in a lock wait.
bool AwaitBlocked(pid_t tid);
// Waits until a connection on local `port` is in TIME_WAIT.
bool AwaitTimeWait(uint16_t port);
