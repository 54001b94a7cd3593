// The pseudo-terminal helper as the virtual printer and the port tests lean on it: raw
// bytes both ways, the hang-up seen from each side, and the link that follows a replug.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/pty.h"

namespace thermpos::platform::pty {
namespace {

namespace fs = std::filesystem;

constexpr int kLimitMs = 5000;

// The host's end of the port.
class Host {
  public:
    explicit Host(const std::string& path) : fd_(OpenRawTerminal(path)) {}
    ~Host() { Close(); }
    bool Open() const { return fd_ >= 0; }
    bool Write(const std::string& s) const {
        return ::write(fd_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    std::string Read(std::size_t count) const {
        std::string out;
        while (out.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, kLimitMs) <= 0)
                break;
            char buffer[512];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// Printer data and status replies must arrive byte for byte: nothing taken out or changed
// by the line discipline (line ends, XON/XOFF, ^C, ^Z, DEL), in either direction.
TEST(PseudoTerminal, PassesEveryByteUnchangedBothWays) {
    PseudoTerminal pty;
    std::string error;
    ASSERT_TRUE(pty.Open(&error)) << error;
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    Host host(pty.SlavePath());
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Write(all));
    EXPECT_EQ(pty.Receive(all.size(), kLimitMs), all);
    ASSERT_TRUE(pty.SendAll(all));
    EXPECT_EQ(host.Read(all.size()), all);
}

TEST(PseudoTerminal, HangUpIsSeenFromEachSide) {
    std::string error;
    char buffer[16];
    std::size_t count = 99;

    // A host closing its side hangs the pair up, unless the slave is held here too.
    PseudoTerminal bare;
    ASSERT_TRUE(bare.Open(&error)) << error;
    {
        Host host(bare.SlavePath());
        ASSERT_TRUE(host.Open());
    }
    EXPECT_EQ(bare.Read(buffer, sizeof buffer, &count), IoResult::HungUp);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bare.Receive(1, kLimitMs), "");

    PseudoTerminal held;
    ASSERT_TRUE(held.Open(&error, /*keepSlaveOpen=*/true)) << error;
    {
        Host host(held.SlavePath());
        ASSERT_TRUE(host.Open());
    }
    EXPECT_EQ(held.Read(buffer, sizeof buffer, &count), IoResult::WouldBlock);

    // Closing the master is the unplug: the host's writes fail from then on.
    Host host(held.SlavePath());
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Write("a"));
    held.Close();
    EXPECT_FALSE(held.IsOpen());
    EXPECT_FALSE(host.Write("b"));
    EXPECT_EQ(held.Read(buffer, sizeof buffer, &count), IoResult::HungUp);
    EXPECT_FALSE(held.SendAll("c"));
}

TEST(PseudoTerminal, LinkFollowsAReplugAndOnlyOurOwnLinkIsRemoved) {
    char pattern[] = "/tmp/thermpos-pty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string link = dir + "/printer";
    std::string error;

    PseudoTerminal pty;
    ASSERT_TRUE(pty.Open(&error)) << error;
    const std::string first = pty.SlavePath();
    ASSERT_TRUE(PointLink(link, first, &error)) << error;
    EXPECT_EQ(fs::read_symlink(link).string(), first);

    ASSERT_TRUE(pty.Open(&error)) << error;  // the replug, often at the same path
    const std::string second = pty.SlavePath();
    ASSERT_TRUE(PointLink(link, second, &error)) << error;
    EXPECT_EQ(fs::read_symlink(link).string(), second);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link + ".new")));
    Host host(link);
    EXPECT_TRUE(host.Open());

    RemoveLinkTo(link, "/dev/null");  // points at another device: stays
    EXPECT_TRUE(fs::is_symlink(link));
    RemoveLinkTo(link, second);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

    const std::string file = dir + "/not-a-link";
    std::ofstream(file) << "keep me";
    EXPECT_FALSE(PointLink(file, second, &error));
    EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_regular_file(file));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace thermpos::platform::pty
