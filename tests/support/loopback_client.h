// A plain BSD client on 127.0.0.1 as the far side of the server's connection, and readiness
// waits on kernel state instead of sleeps. Kept apart from win.h, whose names the BSD headers'
// macros would hide.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/ports.h"

using Bytes = std::vector<uint8_t>;

// Waits for kernel state that nothing signals: short naps until the condition holds (false
// after about 20 s).
template <class Condition>
bool AwaitCondition(Condition condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class TestClient {
  public:
    TestClient() = default;
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    ~TestClient() { Close(); }

    // Call before TryConnect to make the server's sends fill up quickly.
    void ShrinkReceiveBuffer();
    bool TryConnect(uint16_t port);
    bool Write(const uint8_t* data, size_t size);
    // Ends the client's direction of the stream; the server then reads its end.
    void FinishSending();
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

pid_t CurrentThreadId();
// Waits until thread `tid` sits in poll, i.e. is blocked in a socket call.
bool AwaitBlockedInPoll(pid_t tid);
// Waits until thread `tid` sits in poll or in a lock wait.
bool AwaitBlocked(pid_t tid);
// Waits until a connection on local `port` is in TIME_WAIT.
bool AwaitTimeWait(uint16_t port);
