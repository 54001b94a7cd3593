// The virtual printer over a real pseudo-terminal: a host on another thread writes and
// reads the slave side like a serial port; the tests move in phases (act, wait on the
// printer's events with generous limits, assert).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "platform/pty.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/png_read.h"
#include "tests/vprinter/host_fixture.h"
#include "vprinter/control_server.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using hosttest::Bytes;
using hosttest::Host;
using hosttest::kLimit;
using hosttest::MapEntry;

// A receipt whose raster image carries the bytes a cooked terminal would have changed
// (CR, LF, XON, XOFF, ^C, ^Z, DEL, 0xFF): the golden only matches if they passed untouched.
std::string GoldenReceipt() {
    std::string r = Bytes({0x1B, 0x40}) + "Receipt 0001\n" + Bytes({0x1B, 0x45, 0x01}) + "TOTAL" +
                    Bytes({0x1B, 0x45, 0x00}) + "   12.50\n";
    r += Bytes({0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x08, 0x00});
    for (int b : {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF, 0x0A, 0x0D, 0x13, 0x11, 0xFF,
                  0x7F, 0x1A, 0x03})
        r.push_back(static_cast<char>(b));
    r += "\r\n" + Bytes({0x1D, 0x56, 0x41, 0x00});
    return r;
}

// Pixel hash of GoldenReceipt as printed on 80 mm paper.
std::string GoldenHash() {
    PrinterModel model;
    const std::string r = GoldenReceipt();
    EXPECT_EQ(model.Feed(reinterpret_cast<const std::uint8_t*>(r.data()), r.size(), TimePoint{}),
              r.size());
    auto receipts = model.TakeFinishedReceipts();
    return receipts.size() == 1 ? PixelHash(receipts[0].image) : "none";
}

class PtyTest : public hosttest::HostTest {
  protected:
    void SetUp() override { options_.outDir = OutDir(); }
};

TEST_F(PtyTest, ReceiptFromAnotherThreadBecomesItsGoldenPng) {
    ASSERT_TRUE(Start());
    const std::string path = printer_.SlavePath();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    // Phase 1: the host thread enables status back, prints, cuts and asks for status.
    std::promise<std::string> replies;
    std::thread host([&] {
        Host h(path);
        std::string got;
        if (h.Open() && h.Write(Bytes({0x1D, 0x61, 0x0F}))) {
            got = h.Read(4);  // the first status block
            if (h.Write(GoldenReceipt()) && h.Write(Bytes({0x10, 0x04, 0x01})))
                got += h.Read(1);
        }
        replies.set_value(got);
    });
    auto future = replies.get_future();
    ASSERT_EQ(future.wait_for(kLimit), std::future_status::ready);
    host.join();
    // Phase 2: the receipt is finished and on disk.
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit));
    EXPECT_EQ(future.get(), Bytes({0x10, 0x00, 0x00, 0x00, 0x12}));
    const auto files = printer_.ReceiptFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], options_.outDir + "/receipt-0001.png");
    const auto receipts = printer_.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].cut, CutKind::Full);
    EXPECT_EQ(PixelHash(receipts[0].image), GoldenHash());
    EXPECT_EQ(PixelHash(receipts[0].image), "f94ac7f8e2bfbec1");
    Image fromFile;
    ASSERT_TRUE(thermpos::testing::ReadPngAsImage(files[0], &fromFile));
    EXPECT_EQ(PixelHash(fromFile), PixelHash(receipts[0].image));
    // Phase 3: the command log names what was decoded, with stream offsets.
    printer_.Stop();
    std::ifstream log(options_.outDir + "/commands.log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("         0  GS a"), std::string::npos) << text;
    EXPECT_NE(text.find("GS V"), std::string::npos);
}

TEST_F(PtyTest, UnplugFailsTheHostsNextWriteAndReplugComesBackAtTheLink) {
    options_.linkPath = dir_.Dir() + "/printer";
    options_.mapName = "COM9";
    ASSERT_TRUE(Start());
    EXPECT_EQ(fs::read_symlink(options_.linkPath).string(), printer_.SlavePath());
    EXPECT_EQ(MapEntry("COM9"), options_.linkPath);

    Host before(options_.linkPath);
    ASSERT_TRUE(before.Open());
    ASSERT_TRUE(before.Write("abc"));
    ASSERT_TRUE(printer_.WaitBytesConsumed(3, kLimit));

    printer_.Unplug();
    EXPECT_FALSE(printer_.Plugged());
    EXPECT_EQ(printer_.SlavePath(), "");
    EXPECT_FALSE(before.Write("x"));  // the device has gone away under the host
    // Its name goes too: the old slave number may soon be another program's terminal.
    EXPECT_FALSE(fs::exists(fs::symlink_status(options_.linkPath)));
    EXPECT_FALSE(Host(options_.linkPath).Open());

    std::string error;
    ASSERT_TRUE(printer_.Replug(&error)) << error;
    EXPECT_EQ(fs::read_symlink(options_.linkPath).string(), printer_.SlavePath());
    EXPECT_FALSE(before.Write("x"));  // an old handle stays dead; reopening works
    Host after(options_.linkPath);
    ASSERT_TRUE(after.Open());
    ASSERT_TRUE(after.Write(Bytes({0x10, 0x04, 0x01})));
    EXPECT_EQ(after.Read(1), Bytes({0x12}));

    printer_.Stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(options_.linkPath)));
    EXPECT_EQ(MapEntry("COM9"), "");
}

// The host cannot see how far a pty's reader got, so a byte written is a byte delivered:
// an unplug while a slow line is still taking the receipt in must not drop its tail.
TEST_F(PtyTest, WhatTheHostWroteBeforeAnUnplugIsStillPrinted) {
    options_.model.baud = 9600;  // 300 bytes take about 300 ms on the line
    ASSERT_TRUE(Start());
    Host host(printer_.SlavePath());
    ASSERT_TRUE(host.Open());
    const std::string receipt = std::string(300, 'u') + "\n" + Bytes({0x1D, 0x56, 0x00});
    ASSERT_TRUE(host.Write(receipt));
    printer_.Unplug();
    EXPECT_FALSE(host.Write("x"));
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit)) << printer_.StatusText();
    std::string error;
    ASSERT_TRUE(printer_.Replug(&error)) << error;
    EXPECT_EQ(printer_.Status().bytesProcessed, receipt.size());
}

TEST_F(PtyTest, MapWithoutLinkFollowsTheSlaveAndOnlyOurOwnEntryIsRemoved) {
    options_.mapName = "COM7";
    ASSERT_TRUE(Start());
    EXPECT_EQ(MapEntry("COM7"), printer_.SlavePath());
    printer_.Unplug();
    std::string error;
    ASSERT_TRUE(printer_.Replug(&error)) << error;
    EXPECT_EQ(MapEntry("COM7"), printer_.SlavePath());
    // Someone else maps the name meanwhile: that entry must survive our exit.
    {
        thermpos::platform::registry::KeyHolder key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, thermpos::platform::regpath::kPorts, 0,
                                KEY_ALL_ACCESS, key.Out()),
                  ERROR_SUCCESS);
        const std::string other = "/dev/ttyUSB0";
        ASSERT_EQ(RegSetValueExA(key.Get(), "COM7", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(other.c_str()),
                                 static_cast<DWORD>(other.size() + 1)),
                  ERROR_SUCCESS);
    }
    const std::string other = "/dev/ttyUSB0";
    printer_.Stop();
    EXPECT_EQ(MapEntry("COM7"), other);
}

TEST_F(PtyTest, StartRefusesToReplaceAFileAndLeavesNothingBehind) {
    options_.linkPath = dir_.Dir() + "/not-a-link";
    options_.mapName = "COM3";
    std::ofstream(options_.linkPath) << "keep me";
    std::string error;
    EXPECT_FALSE(printer_.Start(options_, &error));
    EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
    EXPECT_FALSE(printer_.Running());
    std::ifstream in(options_.linkPath);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "keep me");
    EXPECT_EQ(MapEntry("COM3"), "");
    // A later start with a usable path works.
    options_.linkPath = dir_.Dir() + "/printer";
    EXPECT_TRUE(printer_.Start(options_, &error)) << error;
}

TEST_F(PtyTest, FlowIsHeldWhileTheCoverIsOpenAndResumesAfterClose) {
    ASSERT_TRUE(Start());
    printer_.SetCover(true);
    // More than every buffer on the way holds (model, transport, kernel): the host's
    // write must block, not lose data.
    const std::string filler(512 * 1024, '\0');
    const std::string receipt = "held text\n" + Bytes({0x1D, 0x56, 0x00});
    std::atomic<bool> written{false};
    std::promise<bool> done;
    std::thread host([&, path = printer_.SlavePath()] {
        Host h(path);
        const bool ok = h.Open() && h.Write(filler) && h.Write(receipt);
        written = true;
        done.set_value(ok);
    });
    ASSERT_TRUE(printer_.WaitStatus(
        [](const PrinterStatus& s) { return s.held && s.bytesBuffered > 0; }, kLimit));
    EXPECT_EQ(printer_.ReceiptCount(), 0);
    EXPECT_FALSE(written.load());  // the pty pushes back on the host

    printer_.SetCover(false);
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(kLimit), std::future_status::ready);
    host.join();
    EXPECT_TRUE(future.get());
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit));
    EXPECT_TRUE(printer_.WaitBytesConsumed(filler.size() + receipt.size(), kLimit));
    EXPECT_EQ(printer_.Status().bytesProcessed, filler.size() + receipt.size());
}

// A pty takes kilobytes more than the printer's buffer before its writer waits, and all of
// it would count as delivered: the printer holds the line instead, as a serial printer
// does when its buffer is full, so nothing waits in the pty.
TEST_F(PtyTest, AFullBufferHoldsTheHostBackAndReleasesItAsItEmpties) {
    options_.model.receiveBufferBytes = 512;
    ASSERT_TRUE(Start());
    printer_.SetOnline(false);  // nothing is printed, so the buffers fill
    const int fd = platform::pty::OpenRawTerminal(printer_.SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    const std::string piece(64, 'f');  // the buffer and the read-ahead are whole pieces
    std::size_t written = 0;
    for (;;) {
        const ssize_t n = ::write(fd, piece.data(), piece.size());
        if (n < 0 && errno == EAGAIN)
            break;
        ASSERT_EQ(n, static_cast<ssize_t>(piece.size()));
        written += piece.size();
        ASSERT_LT(written, 64u * 1024) << "the host was never held back";
        // The printer has taken each piece in before the next is offered.
        ASSERT_TRUE(printer_.WaitStatus(
            [&](const PrinterStatus& s) { return s.bytesAccepted + s.bytesWaiting == written; },
            kLimit))
            << printer_.StatusText();
    }
    const PrinterStatus held = printer_.Status();
    EXPECT_TRUE(held.hostHeld);
    EXPECT_EQ(held.bytesAccepted, 512u);
    EXPECT_EQ(held.bytesAccepted + held.bytesWaiting, written);
    EXPECT_NE(printer_.StatusText().find("host-held: yes"), std::string::npos);

    printer_.SetOnline(true);
    ASSERT_TRUE(printer_.WaitStatus([](const PrinterStatus& s) { return !s.hostHeld; }, kLimit));
    const std::string tail = "\n" + Bytes({0x1D, 0x56, 0x00});
    ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK), 0);
    EXPECT_EQ(::write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit)) << printer_.StatusText();
    EXPECT_EQ(printer_.Status().bytesProcessed, written + tail.size());
    ::close(fd);
}

TEST_F(PtyTest, BaudPacingIsMeasuredInModelTime) {
    auto clock = std::make_shared<SimulatedClock>();
    options_.clock = clock;
    options_.model.baud = 9600;
    options_.outDir.clear();
    ASSERT_TRUE(Start());
    const TimePoint start = clock->Now();
    std::string data;
    while (data.size() < 4096)
        data += std::string(47, 'x') + "\n";
    data.resize(4096);
    std::thread host([&, path = printer_.SlavePath()] {
        Host h(path);
        EXPECT_TRUE(h.Open() && h.Write(data));
    });
    ASSERT_TRUE(printer_.WaitBytesConsumed(4096, kLimit));
    host.join();
    const double seconds = std::chrono::duration<double>(clock->Now() - start).count();
    // 4096 bytes at 960 bytes per second.
    EXPECT_NEAR(seconds, 4096.0 / 960.0, 0.05);
}

TEST_F(PtyTest, PrintSpeedHoldsLaterDataForTheMechanismsTime) {
    auto clock = std::make_shared<SimulatedClock>();
    options_.clock = clock;
    options_.model.printSpeedMmPerS = 100;
    options_.outDir.clear();
    ASSERT_TRUE(Start());
    const TimePoint start = clock->Now();
    // Four feeds of 200 dots (25 mm each at 8 dots/mm); the text after them waits for
    // all four: 100 mm at 100 mm/s.
    std::string data;
    for (int i = 0; i < 4; ++i)
        data += Bytes({0x1B, 0x4A, 200});
    data += "x";
    {
        Host h(printer_.SlavePath());
        ASSERT_TRUE(h.Write(data));
        ASSERT_TRUE(printer_.WaitBytesConsumed(data.size(), kLimit));
    }
    const double seconds = std::chrono::duration<double>(clock->Now() - start).count();
    EXPECT_NEAR(seconds, 1.0, 0.01);
}

TEST_F(PtyTest, ControlCommandsAnswerOneLineEach) {
    ASSERT_TRUE(Start());
    bool quit = true;
    EXPECT_EQ(printer_.Control("cover open", &quit), "ok");
    EXPECT_FALSE(quit);
    EXPECT_TRUE(printer_.Status().coverOpen);
    EXPECT_FALSE(printer_.Status().online);
    EXPECT_EQ(printer_.Control("  cover   close ", &quit), "ok");
    EXPECT_FALSE(printer_.Status().coverOpen);
    EXPECT_EQ(printer_.Control("paper near-end", &quit), "ok");
    EXPECT_EQ(printer_.Status().paper, PaperState::NearEnd);
    EXPECT_EQ(printer_.Control("paper out", &quit), "ok");
    EXPECT_EQ(printer_.Status().paper, PaperState::Out);
    EXPECT_EQ(printer_.Control("paper ok", &quit), "ok");
    EXPECT_EQ(printer_.Control("drawer open", &quit), "ok");
    EXPECT_TRUE(printer_.Status().drawerOpen);
    EXPECT_EQ(printer_.Control("drawer close", &quit), "ok");
    EXPECT_EQ(printer_.Control("offline", &quit), "ok");
    EXPECT_TRUE(printer_.Status().forcedOffline);
    EXPECT_EQ(printer_.Control("online", &quit), "ok");
    EXPECT_EQ(printer_.Control("power off", &quit), "ok");
    EXPECT_FALSE(printer_.Status().powerOn);
    EXPECT_EQ(printer_.Control("power on", &quit), "ok");
    EXPECT_TRUE(printer_.Status().powerOn);

    const std::string status = printer_.Control("status", &quit);
    EXPECT_EQ(status.rfind("ok ", 0), 0u);
    EXPECT_EQ(status.find('\n'), std::string::npos);
    EXPECT_NE(status.find(printer_.SlavePath()), std::string::npos) << status;

    const std::string snapshot = dir_.Dir() + "/snap shot.png";
    EXPECT_EQ(printer_.Control("snapshot " + snapshot, &quit), "ok");
    EXPECT_TRUE(fs::exists(snapshot));
    EXPECT_EQ(printer_.Control("snapshot", &quit).rfind("error", 0), 0u);
    EXPECT_EQ(printer_.Control("snapshot /no/such/dir/x.png", &quit).rfind("error", 0), 0u);

    for (const char* wrong : {"", "cover", "cover ajar", "paper low", "power", "coveropen",
                              "status now", "quit please"})
        EXPECT_EQ(printer_.Control(wrong, &quit).rfind("error", 0), 0u) << wrong;
    EXPECT_FALSE(quit);
    EXPECT_EQ(printer_.Control("unplug", &quit), "ok");
    const std::string replugged = printer_.Control("replug", &quit);
    EXPECT_EQ(replugged, "ok " + printer_.SlavePath());
    EXPECT_EQ(printer_.Control("quit", &quit), "ok");
    EXPECT_TRUE(quit);
}

TEST_F(PtyTest, StopWritesThePendingReceiptAndNvImagesPersist) {
    options_.nvImageFile = dir_.Dir() + "/nv.bin";
    ASSERT_TRUE(Start());
    {
        Host h(printer_.SlavePath());
        // FS q: one 8x8 image, then text without a cut.
        std::string define = Bytes({0x1C, 0x71, 0x01, 0x01, 0x00, 0x01, 0x00});
        define += std::string(8, '\xFF');
        const std::string text = "not cut yet\n";
        ASSERT_TRUE(h.Write(define + text));
        ASSERT_TRUE(printer_.WaitBytesConsumed(define.size() + text.size(), kLimit));
    }
    printer_.Stop();
    EXPECT_EQ(printer_.ReceiptCount(), 1);
    ASSERT_EQ(printer_.Receipts().size(), 1u);
    EXPECT_EQ(printer_.Receipts()[0].cut, CutKind::None);
    EXPECT_TRUE(fs::exists(options_.outDir + "/receipt-0001.png"));
    EXPECT_TRUE(fs::exists(options_.nvImageFile));

    // The next run has the image: FS p 1 prints 8 rows of ink.
    ASSERT_TRUE(Start());
    {
        Host h(printer_.SlavePath());
        ASSERT_TRUE(h.Write(Bytes({0x1C, 0x70, 0x01, 0x00, 0x1D, 0x56, 0x00})));
    }
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit));
    const Image image = printer_.Receipts()[0].image;
    EXPECT_GT(std::count(image.dots.begin(), image.dots.end(), kBlack), 60);
}

// Without an output folder receipts are kept as drawings; the pictures made from them on
// request are those the model would have made, and only the newest keepReceipts are kept.
TEST_F(PtyTest, KeptReceiptsAndTheSnapshotRenderAsTheModelDoes) {
    options_.outDir.clear();
    options_.keepReceipts = 2;
    ASSERT_TRUE(Start());
    const auto receipt = [](int i) {
        return Bytes({0x1B, 0x40}) + "Receipt " + std::to_string(i) + "\n" +
               Bytes({0x1D, 0x56, 0x00});
    };
    PrinterModel model;
    std::string all;
    for (int i = 1; i <= 3; ++i)
        all += receipt(i);
    all += "pending\n";
    ASSERT_EQ(model.Feed(reinterpret_cast<const std::uint8_t*>(all.data()), all.size(), {}),
              all.size());
    const auto expected = model.TakeFinishedReceipts();
    ASSERT_EQ(expected.size(), 3u);
    {
        Host h(printer_.SlavePath());
        ASSERT_TRUE(h.Open());
        ASSERT_TRUE(h.Write(all));
        ASSERT_TRUE(printer_.WaitBytesConsumed(all.size(), kLimit));
    }
    ASSERT_TRUE(printer_.WaitReceipts(3, kLimit));
    EXPECT_TRUE(printer_.ReceiptFiles().empty());
    const auto kept = printer_.Receipts();
    ASSERT_EQ(kept.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(kept[i].index, expected[i + 1].index);
        EXPECT_EQ(PixelHash(kept[i].image), PixelHash(expected[i + 1].image)) << i;
    }
    const std::string snapshot = dir_.Dir() + "/snapshot.png";
    std::string error;
    ASSERT_TRUE(printer_.Snapshot(snapshot, &error)) << error;
    Image fromFile;
    ASSERT_TRUE(thermpos::testing::ReadPngAsImage(snapshot, &fromFile));
    EXPECT_EQ(PixelHash(fromFile), PixelHash(model.Snapshot()));
}

// Pictures are made from kept drawings on the caller's thread while the printer thread
// goes on printing, dropping old receipts and taking new ones. The thirty receipts arrive
// in one read, more than the model's queue of untaken receipts holds by default: none
// may be lost.
TEST_F(PtyTest, ReceiptsCanBeRenderedWhilePrintingGoesOn) {
    options_.outDir.clear();
    options_.keepReceipts = 3;
    ASSERT_TRUE(Start());
    constexpr int kReceipts = 30;
    std::string all;
    for (int i = 0; i < kReceipts; ++i)
        all += Bytes({0x1B, 0x40, 0x1B, 0x45, 0x01}) + "Receipt " + std::to_string(i) + "\n" +
               Bytes({0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x02, 0x00, 0xA5, 0x5A}) +
               Bytes({0x1D, 0x56, 0x00});
    std::promise<bool> written;
    std::thread host([&] {
        Host h(printer_.SlavePath());
        written.set_value(h.Open() && h.Write(all));
        // Kept open until everything is read, so no byte is lost with the terminal.
        printer_.WaitBytesConsumed(all.size(), kLimit);
    });
    int rendered = 0;
    while (printer_.ReceiptCount() < kReceipts && rendered < 100000) {
        for (const Receipt& r : printer_.Receipts()) {
            ASSERT_EQ(r.image.width, 576);
            ASSERT_GT(r.image.height, 2);
        }
        ++rendered;
    }
    EXPECT_TRUE(written.get_future().get());
    host.join();
    ASSERT_TRUE(printer_.WaitReceipts(kReceipts, kLimit)) << printer_.StatusText();
    const auto kept = printer_.Receipts();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.back().index, kReceipts);
}

// The program itself: slave path on stdout, control socket, clean exit on SIGTERM.
TEST_F(PtyTest, ProgramServesControlSocketAndWritesPendingOutputOnSigterm) {
    const std::string control = dir_.Dir() + "/control";
    hosttest::ProgramRun program(
        {"--out", options_.outDir, "--control", control, "--map", "COM5", "--paper", "58"});
    const std::string slave = program.FirstLine();
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    EXPECT_EQ(MapEntry("COM5"), slave);

    {
        Host h(slave);
        ASSERT_TRUE(h.Write("pending line\n" + Bytes({0x10, 0x04, 0x01})));
        EXPECT_EQ(h.Read(1), Bytes({0x12}));  // answered, so the line was taken too
    }
    const int s = ConnectControl(control);
    ASSERT_GE(s, 0) << std::strerror(errno);
    const std::string request = "cover open\nstatus\n";
    ASSERT_EQ(::write(s, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string answers;
    while (std::count(answers.begin(), answers.end(), '\n') < 2) {
        pollfd p{s, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 10000), 0);
        char buffer[4096];
        const ssize_t n = ::read(s, buffer, sizeof buffer);
        ASSERT_GT(n, 0) << std::strerror(errno) << " after " << answers;
        answers.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(s);
    EXPECT_EQ(answers.rfind("ok\nok ", 0), 0u) << answers;
    EXPECT_NE(answers.find("cover: open"), std::string::npos) << answers;

    ASSERT_TRUE(program.TerminatesCleanly());
    Image image;
    ASSERT_TRUE(thermpos::testing::ReadPngAsImage(options_.outDir + "/receipt-0001.png", &image));
    EXPECT_EQ(image.width, 384);
    EXPECT_FALSE(fs::exists(control));
    EXPECT_EQ(MapEntry("COM5"), "");
}

}  // namespace
}  // namespace thermpos::vprinter
