// Tests: a TUN device that plays a LON network interface (what the Linux LON driver makes of a
// USB adapter): no link header, every packet one frame of protocol 0x8950. The test is the
// adapter: it injects frames, reads what the server wrote, answers the neuron-ID message,
// and unplugs the interface (it disappears) and plugs it back under the same name. Free of
// GoogleTest (the benchmarks play the adapter with it too).
#pragma once

#include <optional>
#include <string>

#include "support/wait.h"
#include "tools/veltraclient/ipmsg.h"

namespace e2e {

class TunLon {
  public:
    // Why the stand-in cannot run here, or "" when it can.
    static std::string Unavailable();

    // Plugs in an interface under a name of its own (unique to this process and object);
    // throws std::runtime_error when it cannot.
    TunLon();
    ~TunLon() { Unplug(); }
    TunLon(const TunLon&) = delete;
    TunLon& operator=(const TunLon&) = delete;

    const std::string& Name() const { return name_; }
    bool Plugged() const { return fd_ >= 0; }
    // The descriptor of the plugged interface, non-blocking.
    int Fd() const { return fd_; }
    // Creates the interface under its name and brings it up; false with errno set when it
    // cannot.
    bool Plug();
    // Closes the descriptor: the interface disappears with whatever it held.
    void Unplug();
    // Sets the interface up or down, as `ip link set` does.
    bool SetUp(bool up);

    // Injects one frame as it is, well formed or not.
    bool WriteFrame(const ipmsg::Bytes& frame);
    // Injects a telegram in its frame (the extended form for a 257-byte one).
    bool Write(const ipmsg::Bytes& telegram);
    // The next frame of protocol 0x8950 that the server wrote, as it is.
    std::optional<ipmsg::Bytes> ReadFrame(Duration timeout = WAIT);
    // The next telegram that the server wrote. A neuron-ID message is answered with a
    // response, counted and passed over, unless answering is switched off.
    std::optional<ipmsg::Bytes> Read(Duration timeout = WAIT);
    void AnswerNeuronId(bool answer) { answerNeuronId_ = answer; }
    int NeuronIdMessages() const { return neuronIdMessages_; }

    // The transmit queue holds `packets` frames (0: every write meets a full queue).
    bool SetQueueLimit(int packets);
    // Frames the transmit queue has refused so far.
    long QueueDrops();

  private:
    std::string name_;
    int fd_ = -1;
    bool answerNeuronId_ = true;
    int neuronIdMessages_ = 0;
};

// The adapter's response to the neuron-ID message (a completion event, 0x16).
ipmsg::Bytes NeuronIdResponse();
// True for the 28-byte network-management message that writes a neuron ID.
bool IsNeuronIdMessage(const ipmsg::Bytes& telegram);

}  // namespace e2e
