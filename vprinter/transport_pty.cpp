// The virtual printer on a pseudo-terminal: hosts open the slave device (or the symlink
// that names it) like a serial port. See transport.h.
#include <utility>

#include "platform/pty.h"
#include "vprinter/transport.h"

namespace thermpos::vprinter {

namespace {

class PtyTransport final : public Transport {
  public:
    explicit PtyTransport(std::string linkPath) : linkPath_(std::move(linkPath)) {}
    ~PtyTransport() override { Close(); }

    bool Open(std::string* error) override {
        // The slave stays open here too, so that the master never reads a hang-up when a
        // host closes its side: a printer stays plugged in between two jobs.
        if (!terminal_.Open(error, /*keepSlaveOpen=*/true))
            return false;
        if (!linkPath_.empty()) {
            if (!platform::pty::PointLink(linkPath_, terminal_.SlavePath(), error)) {
                terminal_.Close();
                return false;
            }
            linked_ = true;
        }
        return true;
    }

    void Close() override {
        terminal_.Close();
        // The device node goes with the device. A link left pointing at the old slave path
        // would lead a host that opens it again by name to whatever terminal gets that
        // number next, another program's perhaps.
        if (linked_)
            platform::pty::RemoveLinkTo(linkPath_, terminal_.SlavePath());
        linked_ = false;
    }

    bool IsOpen() const override { return terminal_.IsOpen(); }
    bool HasHost() const override { return terminal_.IsOpen(); }
    std::string Address() const override { return SlavePath(); }
    std::string SlavePath() const override {
        return terminal_.IsOpen() ? terminal_.SlavePath() : std::string();
    }
    std::string MapValue() const override {
        return linkPath_.empty() ? terminal_.SlavePath() : linkPath_;
    }

    bool HoldHost() override { return terminal_.StopHostOutput(); }
    bool ReleaseHost() override { return terminal_.ResumeHostOutput(); }

    void Watch(platform::PollSet& poll, bool read, bool write) override {
        slot_ = poll.Add(terminal_.MasterFd(), read, write);
    }

    void Serve(const platform::PollSet& poll, std::size_t room, std::vector<std::uint8_t>* received,
               std::string* replies) override {
        if (poll.Readable(slot_) && room > 0) {
            const std::size_t had = received->size();
            received->resize(had + room);
            std::size_t got = 0;
            const platform::pty::IoResult result =
                terminal_.Read(received->data() + had, room, &got);
            received->resize(had + got);
            if (result == platform::pty::IoResult::HungUp) {
                // The pair is gone underneath us: no longer plugged in, rather than a spin
                // on a descriptor that reports a hang-up forever. The link stays until the
                // unplug or the stop that follows.
                terminal_.Close();
                return;
            }
        }
        if (poll.Writable(slot_) && !replies->empty()) {
            std::size_t put = 0;
            // A failed write shows as a hang-up at the next read.
            (void)terminal_.Write(replies->data(), replies->size(), &put);
            replies->erase(0, put);
        }
    }

    void TakeDelivered(std::vector<std::uint8_t>* received, std::size_t limit) override {
        if (!terminal_.IsOpen())
            return;
        // A pty has no transmitter whose queue a host could wait on: every byte written is
        // delivered. Stopping the host's output first means nothing written between the
        // last read and the close is lost unseen.
        (void)terminal_.StopHostOutput();
        std::uint8_t buffer[4096];
        while (received->size() < limit) {
            std::size_t got = 0;
            if (terminal_.Read(buffer, sizeof buffer, &got) != platform::pty::IoResult::Done)
                break;
            received->insert(received->end(), buffer, buffer + got);
        }
    }

  private:
    const std::string linkPath_;
    platform::pty::PseudoTerminal terminal_;
    bool linked_ = false;  // the link is ours to remove
    platform::PollSet::Slot slot_ = 0;
};

}  // namespace

std::unique_ptr<Transport> MakePtyTransport(std::string linkPath) {
    return std::make_unique<PtyTransport>(std::move(linkPath));
}

}  // namespace thermpos::vprinter
