// The virtual printer on TCP: a listener that serves one connection at a time, as a
// network printer's raw port does; the other hosts wait in the listener's queue until it
// closes. Unplug closes the connection and stops listening; replug listens again on the
// same port. See transport.h.
#include <utility>

#include "platform/descriptor.h"
#include "platform/netport.h"
#include "platform/socket.h"
#include "vprinter/transport.h"

namespace thermpos::vprinter {

namespace {

class TcpTransport final : public Transport {
  public:
    TcpTransport(std::string listenAddress, platform::netport::Endpoint at)
        : listenAddress_(std::move(listenAddress)), at_(std::move(at)) {}
    ~TcpTransport() override { Close(); }

    bool Open(std::string* error) override {
        // A queue of one: a second host waits, as at a printer that serves one at a time.
        const LONG rc = platform::netport::Listen(at_, 1, &listenFd_, &bound_);
        if (rc != ERROR_SUCCESS) {
            if (error)
                *error = "cannot listen on " + listenAddress_ + ": error " + std::to_string(rc);
            return false;
        }
        // Port 0 asked for any free port: the one bound is kept, so a replug reuses it.
        const auto colon = bound_.rfind(':');
        at_.port = static_cast<unsigned short>(std::stoul(bound_.substr(colon + 1)));
        return true;
    }

    void Close() override {
        platform::CloseDescriptor(clientFd_);
        platform::CloseDescriptor(listenFd_);
    }

    bool IsOpen() const override { return listenFd_ >= 0; }
    bool HasHost() const override { return clientFd_ >= 0; }
    std::string Address() const override { return ListenAddress(); }
    std::string ListenAddress() const override { return IsOpen() ? bound_ : std::string(); }
    std::string MapValue() const override { return "socket://" + bound_; }

    void Watch(platform::PollSet& poll, bool read, bool write) override {
        clientSlot_ = poll.Add(clientFd_, read, write);
        listenSlot_ = poll.Add(clientFd_ < 0 ? listenFd_ : -1, true, false);
    }

    void Serve(const platform::PollSet& poll, std::size_t room, std::vector<std::uint8_t>* received,
               std::string* replies) override {
        if (clientFd_ < 0) {
            if (poll.Readable(listenSlot_))
                clientFd_ = platform::netport::AcceptClient(listenFd_);
            return;
        }
        if (room > 0 && (poll.Readable(clientSlot_) || poll.Broken(clientSlot_))) {
            const std::size_t had = received->size();
            received->resize(had + room);
            std::size_t got = 0;
            const platform::StreamResult result =
                platform::Receive(clientFd_, received->data() + had, room, &got);
            received->resize(had + got);
            if (result == platform::StreamResult::Closed) {
                // The host closed or reset the connection; what it sent is still printed.
                DropClient(replies);
                return;
            }
        }
        if (poll.Writable(clientSlot_) && !replies->empty()) {
            std::size_t put = 0;
            if (platform::Send(clientFd_, replies->data(), replies->size(), &put) ==
                platform::StreamResult::Closed)
                DropClient(replies);
            else
                replies->erase(0, put);
        }
    }

    void TakeDelivered(std::vector<std::uint8_t>* received, std::size_t limit) override {
        auto takeAll = [&](int fd) {
            std::uint8_t buffer[4096];
            while (received->size() < limit) {
                std::size_t got = 0;
                if (platform::Receive(fd, buffer, sizeof buffer, &got) !=
                    platform::StreamResult::Done)
                    break;  // nothing more waiting (the socket is non-blocking), or gone
                received->insert(received->end(), buffer, buffer + got);
            }
        };
        if (clientFd_ >= 0) {
            platform::netport::StopReceiving(clientFd_);
            takeAll(clientFd_);
        }
        if (listenFd_ < 0)
            return;
        // Hosts waiting in the listener's queue were acknowledged too, and closing the
        // listener would reset them: their bytes are taken in the order they would be
        // served.
        for (int waiting; (waiting = platform::netport::AcceptClient(listenFd_)) >= 0;) {
            platform::netport::StopReceiving(waiting);
            takeAll(waiting);
            platform::CloseDescriptor(waiting);
        }
    }

  private:
    void DropClient(std::string* replies) {
        platform::CloseDescriptor(clientFd_);
        replies->clear();
    }

    const std::string listenAddress_;  // as given, for messages
    platform::netport::Endpoint at_;
    int listenFd_ = -1;
    int clientFd_ = -1;  // the one connection served; the next waits in the queue
    std::string bound_;  // "HOST:PORT" actually listened on
    platform::PollSet::Slot clientSlot_ = 0;
    platform::PollSet::Slot listenSlot_ = 0;
};

}  // namespace

std::unique_ptr<Transport> MakeTcpTransport(const std::string& listenAddress, std::string* error) {
    platform::netport::Endpoint at;
    if (platform::netport::ParseListenAddress(listenAddress, &at) != ERROR_SUCCESS) {
        *error = listenAddress + ": not an address literal with a port";
        return nullptr;
    }
    return std::make_unique<TcpTransport>(listenAddress, std::move(at));
}

}  // namespace thermpos::vprinter
