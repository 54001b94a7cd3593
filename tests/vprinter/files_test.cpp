// What the virtual printer writes and where: only in an output folder of its own user,
// never through a link planted under a name it writes; snapshots asked for on the control
// socket only in that folder; the control socket only for its user, no client that stops
// reading holds up the others, and the owner's line (--control-owner) ends the program
// with it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/loopback.h"
#include "platform/process.h"
#include "tests/support/other_user.h"
#include "tests/support/temp_env.h"
#include "tests/vprinter/host_fixture.h"
#include "vprinter/control_server.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {
namespace {

namespace fs = std::filesystem;
using hosttest::Bytes;
using hosttest::Host;
using hosttest::kLimit;
using thermpos::testing::kOtherGid;
using thermpos::testing::kOtherUid;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

class FilesTest : public hosttest::HostTest {
  protected:
    void SetUp() override { options_.outDir = OutDir(); }
    bool StartFails(std::string* error) {
        const bool started = printer_.Start(options_, error);
        if (started)
            printer_.Stop();
        return !started;
    }
};

TEST_F(FilesTest, MissingOutputFolderIsMadePrivate) {
    options_.outDir = dir_.Dir() + "/new/receipts";
    const mode_t old = umask(0);
    ASSERT_TRUE(Start());
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(options_.outDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat((dir_.Dir() + "/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u) << "a folder above it is writable by others";
}

// An output folder another user made, or one others may write in, could hold links to
// anybody's files under the names the printer writes: it is refused, nothing written.
TEST_F(FilesTest, ForeignOrSharedOutputFolderIsRefused) {
    if (!thermpos::testing::CanBeAnotherUser())
        GTEST_SKIP() << "needs root to give a folder to uid 65534";
    struct Case {
        const char* what;
        uid_t owner;
        gid_t group;
        mode_t mode;
    };
    const Case cases[] = {
        {"another user's", kOtherUid, kOtherGid, 0755},
        {"another user's, open to all", kOtherUid, kOtherGid, 01777},
        {"this user's, writable by all", geteuid(), getegid(), 0777},
        {"this user's, writable by a group", geteuid(), kOtherGid, 0770},
        {"this user's, sticky and open to all", geteuid(), getegid(), 01777},
    };
    int n = 0;
    for (const Case& c : cases) {
        options_.outDir = dir_.Dir() + "/out" + std::to_string(n++);
        ASSERT_EQ(mkdir(options_.outDir.c_str(), 0700), 0);
        ASSERT_TRUE(thermpos::testing::Give(options_.outDir, c.mode, c.owner, c.group));
        std::string error;
        EXPECT_TRUE(StartFails(&error)) << c.what;
        EXPECT_NE(error.find(options_.outDir), std::string::npos) << c.what << ": " << error;
        EXPECT_TRUE(fs::is_empty(options_.outDir)) << c.what;
    }
    // A link another user made, to a folder of this user's: not followed.
    const std::string mine = dir_.Dir() + "/mine";
    ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
    options_.outDir = dir_.Dir() + "/link";
    ASSERT_EQ(symlink(mine.c_str(), options_.outDir.c_str()), 0);
    ASSERT_EQ(lchown(options_.outDir.c_str(), kOtherUid, kOtherGid), 0);
    std::string error;
    EXPECT_TRUE(StartFails(&error));
    EXPECT_NE(error.find("uid 65534"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(mine));
}

// Links under every name the printer writes (the log, a receipt, its temporary name of
// old, a snapshot, the NV file's temporary): each file is made new and renamed into
// place, so the links are replaced and their targets stay as they were.
TEST_F(FilesTest, PlantedLinksAreReplacedNeverWrittenThrough) {
    ASSERT_EQ(mkdir(OutDir().c_str(), 0700), 0);
    const std::string victim = dir_.Dir() + "/victim";
    ASSERT_TRUE(WriteFile(victim, "precious"));
    options_.nvImageFile = OutDir() + "/nv.bin";
    const char* planted[] = {"commands.log", "receipt-0001.png", "receipt-0001.png.part",
                             "snap.png", "nv.bin.part"};
    for (const char* name : planted)
        ASSERT_EQ(symlink(victim.c_str(), (OutDir() + "/" + name).c_str()), 0) << name;

    ASSERT_TRUE(Start());
    {
        Host h(printer_.SlavePath());
        ASSERT_TRUE(h.Write("receipt\n" + Bytes({0x1D, 0x56, 0x00})));
    }
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit));
    bool quit = false;
    EXPECT_EQ(printer_.Control("snapshot snap.png", &quit), "ok");
    printer_.Stop();

    EXPECT_EQ(Contents(victim), "precious");
    for (const char* name : {"commands.log", "receipt-0001.png", "snap.png"}) {
        struct stat st {};
        ASSERT_EQ(lstat((OutDir() + "/" + name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name << " is still a link";
        EXPECT_GT(st.st_size, 0) << name;
    }
    EXPECT_NE(Contents(OutDir() + "/commands.log").find("receipt"), std::string::npos);
    EXPECT_TRUE(printer_.LastOutputError().empty()) << printer_.LastOutputError();
}

// Whoever can reach the control socket names a snapshot's file: it is written only in the
// output folder, and without one nowhere.
TEST_F(FilesTest, SnapshotsFromTheControlSocketStayInTheOutputFolder) {
    ASSERT_TRUE(Start());
    bool quit = false;
    EXPECT_EQ(printer_.Control("snapshot inside.png", &quit), "ok");
    EXPECT_TRUE(fs::is_regular_file(OutDir() + "/inside.png"));
    EXPECT_EQ(printer_.Control("snapshot " + OutDir() + "/also inside.png", &quit), "ok");
    EXPECT_TRUE(fs::is_regular_file(OutDir() + "/also inside.png"));
    ASSERT_EQ(mkdir((OutDir() + "/sub").c_str(), 0700), 0);
    const std::string outside[] = {
        dir_.Dir() + "/outside.png",
        "../outside.png",
        OutDir() + "/../outside.png",
        OutDir() + "/sub/x.png",
        "..",
        OutDir() + "/.",
    };
    for (const std::string& path : outside)
        EXPECT_EQ(printer_.Control("snapshot " + path, &quit).rfind("error", 0), 0u) << path;
    EXPECT_FALSE(fs::exists(dir_.Dir() + "/outside.png"));
    EXPECT_TRUE(fs::is_empty(OutDir() + "/sub"));
    printer_.Stop();

    options_.outDir.clear();
    ASSERT_TRUE(Start());
    EXPECT_EQ(printer_.Control("snapshot " + dir_.Dir() + "/x.png", &quit).rfind("error", 0), 0u);
    EXPECT_EQ(printer_.Control("snapshot x.png", &quit).rfind("error", 0), 0u);
    EXPECT_FALSE(fs::exists(dir_.Dir() + "/x.png"));
}

// ---- the control socket ----

// Serves a ControlServer on a thread of its own until a client sends "quit".
class ControlRun {
  public:
    ControlRun(const std::string& path, std::string* error) {
        ok_ = server_.Listen(path, error);
        if (ok_)
            thread_ = std::thread([this] {
                std::string ignored;
                (void)server_.Serve(
                    [](std::string_view line, bool* quit) {
                        *quit = line == "quit";
                        // Long answers, so that unread ones soon fill a socket's buffer.
                        return "ok " + std::string(line) + " " + std::string(400, '.');
                    },
                    &ignored);
            });
    }
    ~ControlRun() {
        if (thread_.joinable()) {
            const int s = ConnectControl(path_);
            if (s >= 0) {
                (void)!::write(s, "quit\n", 5);
                ::close(s);
            }
            thread_.join();
        }
    }
    bool ok() const { return ok_; }
    void SetPath(const std::string& path) { path_ = path; }

  private:
    ControlServer server_;
    bool ok_ = false;
    std::string path_;
    std::thread thread_;
};

// Reads one line within the limit; empty when none came.
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kLimit.count() * 1000)) <= 0 || ::read(fd, &c, 1) != 1)
            return {};
        line += c;
    }
    return line;
}

TEST_F(FilesTest, ControlSocketIsForItsUserAloneWhateverTheUmask) {
    const std::string path = dir_.Dir() + "/printer.ctl";
    const mode_t old = umask(0);
    std::string error;
    {
        ControlRun run(path, &error);
        umask(old);
        ASSERT_TRUE(run.ok()) << error;
        run.SetPath(path);
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    umask(old);

    if (!thermpos::testing::CanBeAnotherUser())
        GTEST_SKIP() << "needs root to give a folder to uid 65534";
    const std::string foreign = dir_.Dir() + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    ASSERT_TRUE(thermpos::testing::Give(foreign, 0755));
    ControlServer server;
    EXPECT_FALSE(server.Listen(foreign + "/printer.ctl", &error));
    EXPECT_NE(error.find("uid 65534"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(foreign + "/printer.ctl"));
}

// A client that sends commands and never reads its answers is dropped once they fill its
// buffer; another client is answered meanwhile, not after a wait per unread answer.
TEST_F(FilesTest, ClientThatNeverReadsHoldsUpNobody) {
    const std::string path = dir_.Dir() + "/printer.ctl";
    std::string error;
    ControlRun run(path, &error);
    ASSERT_TRUE(run.ok()) << error;
    run.SetPath(path);

    const int stuck = ConnectControl(path);
    ASSERT_GE(stuck, 0) << std::strerror(errno);
    std::string flood;
    for (int i = 0; i < 4000; ++i)
        flood += "status\n";  // 28 KB in, 1.6 MB of answers out
    for (std::size_t done = 0; done < flood.size();) {
        const ssize_t n = ::write(stuck, flood.data() + done, flood.size() - done);
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }

    const int other = ConnectControl(path);
    ASSERT_GE(other, 0) << std::strerror(errno);
    ASSERT_EQ(::write(other, "ping\n", 5), 5);
    EXPECT_EQ(ReadLine(other).rfind("ok ping", 0), 0u);

    // The stuck client is let go: its connection closes while it still reads nothing
    // (reading now would drain the answers and keep them under the bound), and what it
    // was sent ends rather than growing for ever.
    pollfd hangUp{stuck, POLLRDHUP, 0};
    ASSERT_GT(::poll(&hangUp, 1, static_cast<int>(kLimit.count() * 1000)), 0)
        << "not let go while not reading";
    char buffer[65536];
    std::size_t received = 0;
    for (;;) {
        pollfd p{stuck, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, static_cast<int>(kLimit.count() * 1000)), 0)
            << "still connected after " << received << " bytes";
        const ssize_t n = ::read(stuck, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received += static_cast<std::size_t>(n);
    }
    EXPECT_LT(received, flood.size() / 7 * 400);
    ::close(stuck);
    ::close(other);
}

}  // namespace
}  // namespace thermpos::vprinter

namespace thermpos::vprinter {
namespace {

// The program that started the printer steers it over a line the printer connects to
// (how a test under Wine does), and the printer ends, cleanly, when that line closes:
// an owner that went away leaves no printer behind. A bad address stops it at once.
TEST(OwnerLine, CommandsAreAnsweredAndTheLinesEndEndsTheProgram) {
    using namespace std::chrono_literals;
    thermpos::testing::TempEnv env;
    ASSERT_TRUE(env.ok());
    platform::LoopbackLine line;
    std::string error;
    ASSERT_TRUE(line.Listen(&error)) << error;
    platform::ChildProcess program;
    ASSERT_TRUE(program.Start({THERMPOS_VPRINTER_PROGRAM, "--out", env.Dir() + "/out",
                               "--control-owner", "127.0.0.1:" + std::to_string(line.Port())},
                              &error))
        << error;
    ASSERT_TRUE(line.Accept(20s, &error)) << error;
    std::string answer;
    ASSERT_TRUE(line.Send("cover open\nstatus\n", 10s));
    ASSERT_TRUE(line.ReadLine(&answer, 20s));
    EXPECT_EQ(answer, "ok");
    ASSERT_TRUE(line.ReadLine(&answer, 20s));
    EXPECT_NE(answer.find(";cover: open;"), std::string::npos) << answer;
    EXPECT_NE(answer.find(";device: /dev/pts/"), std::string::npos) << answer;
    line.Close();
    EXPECT_EQ(program.Finish(20s), 0) << "not ended (killed) or failed when its owner went away";

    platform::ChildProcess refused;
    ASSERT_TRUE(
        refused.Start({THERMPOS_VPRINTER_PROGRAM, "--control-owner", "localhost:1"}, &error));
    EXPECT_EQ(refused.Finish(20s), 1);
}

}  // namespace
}  // namespace thermpos::vprinter
