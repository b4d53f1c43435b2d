// The two ends of the bridge that the telegram benchmark plays: the LON interface's far side
// (a pty that plays a serial interface, or a TUN device that plays a network interface)
// and the TCP client, the tests' own peers behind one interface. All non-blocking: the
// benchmark polls their descriptors itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/veltraclient/ipmsg.h"

namespace bench {

using ipmsg::Bytes;

// One end of the bridge, telegram by telegram. Failures (a closed descriptor, a broken
// stream) throw std::runtime_error: the run cannot go on.
class End {
  public:
    virtual ~End() = default;
    virtual int Fd() const = 0;
    // Takes a telegram for the server; false when there is no room for it now (poll Fd for
    // POLLOUT, then offer it again).
    virtual bool Offer(const Bytes& telegram) = 0;
    // Pushes out what Offer held back to gather bigger writes; true once nothing is left.
    virtual bool Flush() = 0;
    // True when Flush has left something behind (poll Fd for POLLOUT).
    virtual bool Pending() const = 0;
    // The next telegram from the server that is whole now; reads what the descriptor has.
    virtual bool Take(Bytes* telegram) = 0;
    // Telegrams that may be on their way through this end at once: an interface without flow
    // control drops what overflows, as a real LON channel does.
    virtual uint32_t Window() const { return UINT32_MAX; }
};

// The far side of one LON interface: an End, plus what the server is told to open.
class Peer : public End {
  public:
    // The instance's options naming the interface (e.g. {"-d", "/dev/pts/3"}).
    virtual std::vector<std::string> Options() const = 0;
    // Environment entries ("NAME=value") the server needs for it.
    virtual std::vector<std::string> Environment() const { return {}; }
};

// Makes the interface of one instance; one call per instance.
using PeerMaker = std::unique_ptr<Peer> (*)();

// A serial LON interface played on the master side of a pty.
std::unique_ptr<Peer> MakePtyPeer();
// A LON network interface (the Linux LON driver's lonN) played by a TUN device; needs
// CAP_NET_ADMIN and CAP_NET_RAW.
std::unique_ptr<Peer> MakeTunPeer();

// A TCP client on 127.0.0.1. Framed, it speaks the server's message framing and, like
// veltraclient, is never dropped as silent: Take sends the keep-alive when the client has sent
// nothing for 2 s. Unframed, it sends and takes the telegrams back to back, as the bridges
// that do not frame (socat, ser2net) pass the line's bytes. On a capture port it takes the
// telegrams from the bus out of the pcap stream, and sends nothing.
enum class Framing { NONE, MESSAGES, CAPTURE };
class Client : public End {
  public:
    // Connects, retrying while the port refuses, for at most `seconds`.
    Client(int port, int seconds, Framing framing = Framing::MESSAGES);
    ~Client() override;
    int Fd() const override;
    bool Offer(const Bytes& telegram) override;
    bool Flush() override;
    bool Pending() const override;
    // Framed: data messages only; keep-alives are passed over.
    bool Take(Bytes* telegram) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bench
