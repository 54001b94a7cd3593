// The link between the virtual printer and its host computer, as the host loop
// (host.cpp) sees it: something that can be plugged in and unplugged, that a host reaches
// at an address, and that moves bytes when a wait on its descriptors says they can move.
// Two kinds: a pseudo-terminal (the host opens its slave like a serial port) and a TCP
// listener that serves one connection at a time (a network printer's raw port).
//
// Threads: a transport is not locked inside. The printer's port thread is the only one
// that opens, closes, watches and serves it while the printer runs (a descriptor closed
// under a wait in another thread would stay half alive); other threads only read its
// addresses, all under VirtualPrinter's mutex_.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/poll.h"

namespace thermpos::vprinter {

class Transport {
  public:
    virtual ~Transport() = default;

    // Plugs in: makes what hosts open or connect to. False with *error; nothing is held
    // then.
    [[nodiscard]] virtual bool Open(std::string* error) = 0;
    // Unplugs: hosts' next writes fail. Safe when closed.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // A host is there to be read from and answered: the pty is open, or a connection is
    // being served. Replies are kept only while one is.
    virtual bool HasHost() const = 0;

    // Where hosts reach the printer (the slave device, or "HOST:PORT" with the port bound);
    // empty while closed.
    virtual std::string Address() const = 0;
    // The same for each kind alone: empty on the other kind.
    virtual std::string SlavePath() const { return {}; }
    virtual std::string ListenAddress() const { return {}; }
    // The value the printer's entry in the registry's Ports map gets while plugged in.
    virtual std::string MapValue() const = 0;

    // Holds the host's output back while the printer's buffers are full, as a serial
    // printer holds its line busy. False when this link cannot (TCP needs no help: bytes
    // not read stay in the host's window).
    virtual bool HoldHost() { return false; }
    // Lets it flow again; false when it is still held.
    virtual bool ReleaseHost() { return true; }

    // Adds the descriptors to wait on: for host bytes when `read` (there is room for
    // them), for room to send when `write` (replies are waiting), and whatever the link
    // waits for on its own (a connection to accept).
    virtual void Watch(platform::PollSet& poll, bool read, bool write) = 0;
    // After the wait: takes at most `room` host bytes into *received and sends what it can
    // of *replies (erasing what went). A host that went away is dropped here.
    virtual void Serve(const platform::PollSet& poll, std::size_t room,
                       std::vector<std::uint8_t>* received, std::string* replies) = 0;
    // Before an unplug: stops taking more, then appends to *received everything hosts had
    // delivered (written into the pty, or acknowledged on TCP, the hosts waiting in the
    // listener's queue included), until *received holds `limit` bytes.
    virtual void TakeDelivered(std::vector<std::uint8_t>* received, std::size_t limit) = 0;
};

// A pseudo-terminal, named by a symlink at linkPath while plugged in when linkPath is not
// empty.
std::unique_ptr<Transport> MakePtyTransport(std::string linkPath);
// A TCP listener at listenAddress ("HOST:PORT", an address literal; port 0: a free one,
// kept for every replug). Null with *error when the address is not one.
std::unique_ptr<Transport> MakeTcpTransport(const std::string& listenAddress, std::string* error);

}  // namespace thermpos::vprinter
