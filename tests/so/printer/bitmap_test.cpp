// Bitmaps on a fake port: the bytes PrintBitmap and SetBitmap send or keep, ESC|#B in
// memory and NV mode, every refusal, scaling by MapMode and resolution, the NV total, and
// the NV download's pause of the status monitor and its port time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "so/printer/PrinterBitmaps.h"
#include "tests/so/printer/BmpFile.h"
#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;
using thermpos::so::MonochromeBitmap;

namespace {

constexpr LONG kMaxNv = 2097152;

std::string WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

std::string Le16(int v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

// The rows of the test picture turned into the NV column layout, by hand.
std::string ExpectedColumns(int width, int height) {
    const std::string rows = TestPictureRows(width, height);
    const std::size_t stride = ((width + 31) / 32) * 4;
    const int k = ((height + 31) / 32) * 4;
    const int columns = (width + 7) / 8 * 8;
    std::string out(static_cast<std::size_t>(columns) * k, '\0');
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < height; ++y) {
            if (rows[y * stride + x / 8] & (0x80 >> (x % 8))) {
                out[x * k + y / 8] = static_cast<char>(out[x * k + y / 8] | (0x80 >> (y % 8)));
            }
        }
    }
    return out;
}

// A printer whose NV write waits are recorded instead of slept, so that many downloads
// take no time.
class RecordingWaits : public OnFakePort<CPrinterRTK410> {
  public:
    std::vector<std::chrono::milliseconds> waits;

  protected:
    void WaitForNvWrite(std::chrono::milliseconds time) override { waits.push_back(time); }
};

class Bitmaps : public FakePortTest {
  protected:
    // Each open starts on a fresh port.
    void Open(std::map<std::string, std::string> values = {}) {
        FakePort::Get().Reset();
        printer_ = std::make_unique<RecordingWaits>();
        OpenAs(*printer_, kRTK410, control_, std::move(values));
        ASSERT_FALSE(HasFatalFailure());
        ClaimAndEnable(*printer_);
    }
    void OpenInMemoryMode() { Open({{"UseNVRAM", "000"}}); }

    std::vector<std::string> Writes() { return FakePort::Get().Writes(); }
    // The result of a call that must neither write nor store anything.
    template <class Call>
    LONG Refused(Call call) {
        const std::size_t before = FakePort::Get().WriteCount();
        const LONG r = call();
        EXPECT_EQ(FakePort::Get().WriteCount(), before) << "something was written";
        EXPECT_EQ(printer_->ResultCode(), r);
        extended_ = printer_->GetPropertyNumber(PIDX_ResultCodeExtended);
        EXPECT_EQ(Printed("\x1B|1B"), "") << "something was stored";
        return r;
    }
    // What ESC|#B data prints (the PrintNormal write, without the suffix).
    std::string Printed(const std::string& data) {
        const std::size_t before = FakePort::Get().WriteCount();
        EXPECT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, data), 0);
        return FakePort::Get().WriteCount() == before ? std::string() : Writes().back();
    }

    std::unique_ptr<RecordingWaits> printer_;
    LONG extended_ = 0;  // ResultCodeExtended right after the last refused call
};

}  // namespace

TEST_F(Bitmaps, PrintBitmapSendsTheRasterWithItsAlignment) {
    Open();
    const std::string file = WriteFile("384x100.bmp", TestPictureBmp(384, 100));
    const std::string rows = TestPictureRows(384, 100);
    ASSERT_EQ(rows.size(), 4800u);

    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_CENTER), 0);
    EXPECT_EQ(printer_->ResultCode(), 0);
    const std::string header = "0A 1B 61 01 1B 2A 01 00 00 1D 76 30 00 30 00 64 00";
    std::string sent = Writes().back();
    ASSERT_EQ(sent.size(), 17u + 4800 + 3);
    EXPECT_EQ(Hex(sent.substr(0, 17)), header);
    EXPECT_TRUE(sent.substr(17, 4800) == rows) << "the rows are not the picture";
    EXPECT_EQ(Hex(sent.substr(17 + 4800)), "1B 61 00");

    // Left alignment needs no reset; right alignment and a position (taken as left) do.
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    sent = Writes().back();
    EXPECT_EQ(sent.size(), 17u + 4800);
    EXPECT_EQ(Hex(sent.substr(0, 4)), "0A 1B 61 00");
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_RIGHT), 0);
    EXPECT_EQ(Hex(Writes().back().substr(0, 4)), "0A 1B 61 02");
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, 50), 0);
    EXPECT_EQ(Writes().back().size(), 17u + 4800);

    // The slip station is accepted and prints on the receipt paper.
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_SLIP, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
}

TEST_F(Bitmaps, BitmapModeIsTheRasterModeByte) {
    Open({{"BitmapMode", "3"}});
    const std::string file = WriteFile("32x8.bmp", TestPictureBmp(32, 8));
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    EXPECT_EQ(Hex(Writes().back().substr(9, 8)), "1D 76 30 03 04 00 08 00");
}

TEST_F(Bitmaps, RefusalsWriteAndStoreNothing) {
    OpenInMemoryMode();
    const std::string good = WriteFile("good.bmp", TestPictureBmp(16, 16));
    std::string file = TestPictureBmp(16, 16);
    file[2] = static_cast<char>(file[2] - 1);  // the size field one less than the length
    const std::string shortSize = WriteFile("short-size.bmp", file);
    const std::string empty = WriteFile("empty.bmp", "");
    const std::string missing = TempDir() + "/missing.bmp";
    const std::string folder = TempDir() + "/a-folder.bmp";
    std::filesystem::create_directories(folder);
    std::string rle = TestPictureBmp(16, 16);
    rle[30] = 1;  // run-length compressed: not rendered
    const std::string compressed = WriteFile("rle.bmp", rle);

    auto print = [&](LONG station, const std::string& path) {
        return Refused(
            [&] { return printer_->PrintBitmap(station, path, PTR_BM_ASIS, PTR_BM_LEFT); });
    };
    auto set = [&](LONG number, LONG station, const std::string& path) {
        return Refused(
            [&] { return printer_->SetBitmap(number, station, path, PTR_BM_ASIS, PTR_BM_LEFT); });
    };
    const std::function<LONG(LONG, const std::string&)> calls[] = {
        print, [&](LONG station, const std::string& path) { return set(1, station, path); }};
    for (const auto& call : calls) {
        EXPECT_EQ(call(PTR_S_RECEIPT, shortSize), 114);
        EXPECT_EQ(extended_, 207);
        // Nothing to read is not a success: the file does not exist for the application.
        EXPECT_EQ(call(PTR_S_RECEIPT, missing), 109);
        EXPECT_EQ(call(PTR_S_RECEIPT, empty), 109);
        EXPECT_EQ(call(PTR_S_RECEIPT, folder), 109);
        EXPECT_EQ(call(PTR_S_RECEIPT, ""), 109);
        EXPECT_EQ(call(PTR_S_RECEIPT, compressed), 106);
        EXPECT_EQ(call(PTR_S_JOURNAL, good), 106);
    }
    // Sizes checked before anything is read: 4 GiB is no bitmap at all, and a bitmap
    // file of 1.5 GiB is more than any picture the printer is sent (sparse files, so
    // the disk holds next to nothing).
    const std::string huge = WriteFile("4GiB.bmp", TestPictureBmp(16, 16));
    std::filesystem::resize_file(huge, std::uintmax_t{1} << 32);
    EXPECT_EQ(print(PTR_S_RECEIPT, huge), 109);
    std::string big = TestPictureBmp(16, 16);
    const uint32_t bigSize = 3u << 29;
    big.replace(2, 4, std::string(reinterpret_cast<const char*>(&bigSize), 4));
    const std::string large = WriteFile("1.5GiB.bmp", big);
    std::filesystem::resize_file(large, bigSize);
    EXPECT_EQ(print(PTR_S_RECEIPT, large), 106);
    std::filesystem::remove(huge);
    std::filesystem::remove(large);

    EXPECT_EQ(set(0, PTR_S_RECEIPT, good), 106);
    EXPECT_EQ(set(21, PTR_S_RECEIPT, good), 106);

    printer_->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, good, PTR_BM_ASIS, PTR_BM_LEFT), 105);
    EXPECT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, good, PTR_BM_ASIS, PTR_BM_LEFT), 105);
}

TEST_F(Bitmaps, PageModeRefusesBitmaps) {
    Open({{"PrinterMode", "1"}});
    const std::string good = WriteFile("good.bmp", TestPictureBmp(16, 16));
    EXPECT_EQ(Refused([&] {
                  return printer_->PrintBitmap(PTR_S_RECEIPT, good, PTR_BM_ASIS, PTR_BM_LEFT);
              }),
              106);
    EXPECT_EQ(Refused([&] {
                  return printer_->SetBitmap(1, PTR_S_RECEIPT, good, PTR_BM_ASIS, PTR_BM_LEFT);
              }),
              106);
}

TEST_F(Bitmaps, MemoryModeKeepsTheBytesUntilEscB) {
    OpenInMemoryMode();
    const std::string first = WriteFile("first.bmp", TestPictureBmp(40, 10));
    const std::string second = WriteFile("second.bmp", TestPictureBmp(24, 6));
    const std::size_t before = FakePort::Get().WriteCount();
    EXPECT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, first, PTR_BM_ASIS, PTR_BM_CENTER), 0);
    EXPECT_EQ(FakePort::Get().WriteCount(), before);

    // The very bytes PrintBitmap sends, in the print where the sequence stood.
    ASSERT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, first, PTR_BM_ASIS, PTR_BM_CENTER), 0);
    const std::string direct = Writes().back();
    EXPECT_EQ(Printed("a\x1B|1Bb"), "a" + direct + "b");

    // Replacing keeps one entry; a number never set prints nothing.
    EXPECT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, second, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    ASSERT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, second, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    EXPECT_EQ(Printed("\x1B|1B"), Writes().back());
    EXPECT_EQ(Printed("\x1B|2Bc"), "c");
}

TEST_F(Bitmaps, NvDownloadsCarryEveryStoredBitmap) {
    Open();
    const std::string one = WriteFile("one.bmp", TestPictureBmp(40, 10));
    const std::string two = WriteFile("two.bmp", TestPictureBmp(16, 40));
    const std::string entryOne = Le16(5) + Le16(4) + ExpectedColumns(40, 10);
    const std::string entryTwo = Le16(2) + Le16(8) + ExpectedColumns(16, 40);

    EXPECT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, one, PTR_BM_ASIS, PTR_BM_CENTER), 0);
    EXPECT_EQ(Hex(Writes().back().substr(0, 4)), "0A 1C 71 01");
    EXPECT_TRUE(Writes().back().substr(4) == entryOne);
    EXPECT_EQ(printer_->SetBitmap(2, PTR_S_RECEIPT, two, PTR_BM_ASIS, PTR_BM_CENTER), 0);
    EXPECT_EQ(Hex(Writes().back().substr(0, 4)), "0A 1C 71 02");
    EXPECT_TRUE(Writes().back().substr(4) == entryOne + entryTwo);
    // Each download is followed by a wait of a millisecond per byte.
    ASSERT_EQ(printer_->waits.size(), 2u);
    EXPECT_EQ(printer_->waits[1].count(), static_cast<long>(Writes().back().size()));
    EXPECT_EQ(printer_->NvBitmapTotal(), entryOne.size() + entryTwo.size() - 8);

    EXPECT_EQ(Hex(Printed("\x1B|2B")), "0A 1C 70 02 00");
    EXPECT_EQ(Printed("\x1B|3Bx"), "x");
}

TEST_F(Bitmaps, EscBPrintsTheImageSetUnderItsNumber) {
    Open();
    const std::string picture = WriteFile("pic.bmp", TestPictureBmp(16, 8));
    ASSERT_EQ(printer_->SetBitmap(2, PTR_S_RECEIPT, picture, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    ASSERT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, picture, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    // The download keeps the order of setting: 2 is the printer's first image.
    EXPECT_EQ(Hex(Printed("\x1B|1B")), "0A 1C 70 02 00");
    EXPECT_EQ(Hex(Printed("\x1B|2B")), "0A 1C 70 01 00");
}

TEST_F(Bitmaps, NvTotalIsWhatThePrinterHolds) {
    Open();
    // 72 x 256 dots: 2304 bytes of columns; a thousand of them would be 2.3 MB.
    const std::string small = WriteFile("small.bmp", TestPictureBmp(72, 256));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, small, PTR_BM_ASIS, PTR_BM_LEFT), 0)
            << "replacement " << i << " extended "
            << printer_->GetPropertyNumber(PIDX_ResultCodeExtended);
    }
    EXPECT_EQ(printer_->NvBitmapTotal(), 2304u);

    // 2048 x 4096 dots: 1 MiB of columns each. Two fill the memory exactly.
    const std::string large = WriteFile("large.bmp", TestPictureBmp(2048, 4096));
    ASSERT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, large, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    ASSERT_EQ(printer_->SetBitmap(2, PTR_S_RECEIPT, large, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    EXPECT_EQ(printer_->NvBitmapTotal(), static_cast<std::size_t>(kMaxNv));
    const std::size_t writes = FakePort::Get().WriteCount();
    EXPECT_EQ(printer_->SetBitmap(3, PTR_S_RECEIPT, small, PTR_BM_ASIS, PTR_BM_LEFT), 114);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_ResultCodeExtended), 206);
    EXPECT_EQ(FakePort::Get().WriteCount(), writes);
    EXPECT_EQ(printer_->NvBitmapTotal(), static_cast<std::size_t>(kMaxNv));
    EXPECT_EQ(Printed("\x1B|3Bx"), "x");
    // Replacing a large one with a small one makes room.
    EXPECT_EQ(printer_->SetBitmap(2, PTR_S_RECEIPT, small, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    EXPECT_EQ(printer_->SetBitmap(3, PTR_S_RECEIPT, small, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    EXPECT_EQ(printer_->NvBitmapTotal(), 1048576u + 2 * 2304u);
}

TEST_F(Bitmaps, NvWidthsArePaddedToWholeBytes) {
    Open();
    const std::string file = WriteFile("70.bmp", TestPictureBmp(70, 20));
    ASSERT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    const std::string sent = Writes().back();
    // x = 9 units of 8 dots, y = 4 bytes per column: exactly 9 * 8 * 4 bytes follow.
    EXPECT_EQ(Hex(sent.substr(0, 8)), "0A 1C 71 01 09 00 04 00");
    ASSERT_EQ(sent.size(), 8u + 72 * 4);
    EXPECT_TRUE(sent.substr(8) == ExpectedColumns(70, 20));
    EXPECT_EQ(sent.substr(8 + 70 * 4), std::string(8, '\0')) << "padding columns print";
}

TEST_F(Bitmaps, BitmapsOfAnEarlierNvOpenAreNotPrintDataInMemoryMode) {
    Open();
    const std::string file = WriteFile("pic.bmp", TestPictureBmp(16, 8));
    ASSERT_EQ(printer_->SetBitmap(1, PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
    ASSERT_EQ(printer_->Close(), 0);
    WriteDevice(kRTK410, {{"Port", "COM7"}, {"UseNVRAM", "000"}});
    ASSERT_EQ(printer_->OpenService("POSPrinter", kRTK410, &control_), 0);
    ASSERT_EQ(printer_->ClaimDevice(0), 0);
    printer_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(Printed("\x1B|1Bx"), "x");
}

TEST_F(Bitmaps, WidthsInMapModeUnitsAndResolutionScaling) {
    Open({{"MapResolution", "001"}});
    // 96 dpi (3780 pixels per metre) and 300 dpi (11811): a 96 x 48 and a 300 x 150
    // picture both come out one inch wide and half an inch high.
    for (auto [width, height, perMetre] :
         {std::tuple{96, 48, 3780}, std::tuple{300, 150, 11811}, std::tuple{96, 48, 0}}) {
        SCOPED_TRACE(perMetre);
        const std::string file = WriteFile("dpi.bmp", TestPictureBmp(width, height, perMetre));
        ASSERT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT), 0);
        // 203 dots take 28 bytes a row; 101 rows.
        EXPECT_EQ(Hex(Writes().back().substr(13, 4)), "1C 00 65 00");
    }

    // Without MapResolution a width in 1/100 mm pads to one inch of dots.
    Open();
    printer_->SetPropertyNumber(PIDXPtr_MapMode, PTR_MM_METRIC);
    const std::string file = WriteFile("48.bmp", TestPictureBmp(48, 10));
    ASSERT_EQ(printer_->PrintBitmap(PTR_S_RECEIPT, file, 2540, PTR_BM_LEFT), 0);
    const std::string sent = Writes().back();
    EXPECT_EQ(Hex(sent.substr(13, 4)), "1C 00 0A 00");
    // The picture keeps its dots; the padding is white.
    const std::string rows = TestPictureRows(48, 10);
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(sent.substr(17 + y * 28, 8), rows.substr(y * 8, 8)) << "row " << y;
        EXPECT_EQ(sent.substr(17 + y * 28 + 8, 20), std::string(20, '\0')) << "row " << y;
    }
}

// ---------------------------------------------------------------------------------------
// The NV download on a port whose calls are recorded in order.

namespace {

struct PortLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;  // "timeouts a b c d e", "download", "read"
    bool failDownload = false;

    void Add(std::string event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    bool WaitForReadAfter(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::find(events.begin() + std::min(index, events.size()), events.end(),
                             "read") != events.end();
        });
    }
};

PortLog& Log() {
    static PortLog log;
    return log;
}

// The shared fake port with its writes, reads and time-outs logged in order. It cannot
// report the port's time-outs, so the monitor restores the device core's own after its
// steps.
class LoggingPort final : public thermpos::so::PortLibrary {
  public:
    using SystemError = thermpos::so::SystemError;

    SystemError Open(const std::string& name, const std::string& model, HANDLE* h) override {
        return Fake().Open(name, model, h);
    }
    SystemError Close(HANDLE h) override { return Fake().Close(h); }
    SystemError Write(HANDLE h, const void* data, int length, int* written) override {
        const bool download =
            length >= 3 && std::string(static_cast<const char*>(data), 3) == "\x0A\x1C\x71";
        if (download) {
            Log().Add("download");
            if (Log().failDownload) {
                *written = 0;
                return SystemError::Timeout;
            }
        }
        return Fake().Write(h, data, length, written);
    }
    SystemError Read(HANDLE h, void* buffer, int size, int* read) override {
        Log().Add("read");
        return Fake().Read(h, buffer, size, read);
    }
    SystemError Drain(HANDLE h) override { return Fake().Drain(h); }
    SystemError GetTimeouts(HANDLE, COMMTIMEOUTS*) override { return SystemError::GenFailure; }
    SystemError SetTimeouts(HANDLE, const COMMTIMEOUTS& t) override {
        Log().Add("timeouts " + std::to_string(t.ReadIntervalTimeout) + " " +
                  std::to_string(t.ReadTotalTimeoutMultiplier) + " " +
                  std::to_string(t.ReadTotalTimeoutConstant) + " " +
                  std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
                  std::to_string(t.WriteTotalTimeoutConstant));
        return SystemError::Success;
    }
    SystemError GetProperties(HANDLE h, DCB* dcb) override { return Fake().GetProperties(h, dcb); }
    SystemError SetProperties(HANDLE h, const DCB& dcb) override {
        return Fake().SetProperties(h, dcb);
    }
    bool CanWait() const override { return false; }
    thermpos::so::PortWait WaitInput(HANDLE h, int fd, DWORD ms) override {
        return Fake().WaitInput(h, fd, ms);
    }

  private:
    static FakePort& Fake() { return FakePort::Get(); }
};

class OnLoggingPort : public CPrinterRTK410 {
  public:
    OnLoggingPort() : manager_(port_) { SetPortManager(&manager_); }
    ~OnLoggingPort() override { CloseBeforeDestruction(); }

  private:
    LoggingPort port_;  // declared first: the table closes its ports before it goes
    CPortManager manager_;
};

}  // namespace

TEST(NvDownload, PausesTheMonitorAndRestoresTheTimeoutsAlsoWhenTheWriteFails) {
    FakePort::Get().Reset();
    RecordingControl control;
    OnLoggingPort printer;
    OpenAs(printer, kRTK410, control, {{"WriteTimeout", "3000"}});
    ASSERT_FALSE(HasFatalFailure());
    ClaimAndEnable(printer);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Log().WaitForReadAfter(0)) << "the status monitor does not run";

    const std::string configured = "timeouts 4294967295 0 0 4294967295 3000";
    const std::string file = WriteFile("nv.bmp", TestPictureBmp(64, 32));
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failing write" : "good write");
        Log().failDownload = fail;
        const auto start = std::chrono::steady_clock::now();
        const LONG r = printer.SetBitmap(1, PTR_S_RECEIPT, file, PTR_BM_ASIS, PTR_BM_LEFT);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r, fail ? 112 : 0);

        const std::vector<std::string> events = Log().Events();
        const auto download = std::find(events.rbegin(), events.rend(), "download");
        ASSERT_NE(download, events.rend());
        const std::size_t at = events.size() - 1 - (download - events.rbegin());
        ASSERT_GT(at, 0u);
        ASSERT_LT(at + 1, events.size());
        // No total limit for the write, only the stall limit; the configured ones right
        // after it and the wait, with no monitor read in between.
        EXPECT_EQ(events[at - 1], "timeouts 0 0 0 4294967295 3000");
        EXPECT_EQ(events[at + 1], configured);
        if (!fail) {
            // 4 + 4 + 64 * 4 bytes: the caller waits a millisecond for each.
            EXPECT_GE(elapsed, std::chrono::milliseconds(264));
        }
        // The monitor goes on afterwards.
        EXPECT_TRUE(Log().WaitForReadAfter(at + 2));
    }
}

// ---------------------------------------------------------------------------------------
// The decoder on its own.

namespace {

// Renders and turns the white-set rows back into black dots, row by row.
std::string Black(const std::string& file, thermpos::so::BitmapRenderRequest request = {}) {
    MonochromeBitmap white;
    if (!thermpos::so::RenderMonochrome(file, request, &white)) {
        return "refused";
    }
    std::string rows = white.rows;
    for (char& c : rows) {
        c = static_cast<char>(~c);
    }
    return rows;
}

}  // namespace

TEST(BmpDecoder, EveryDepthAndRowOrderGivesThePicture) {
    const int w = 37, h = 23;  // odd sizes: row padding at every depth
    const std::string expected = TestPictureRows(w, h);
    auto dark = [&](int x, int y) { return TestDot(x, y, w, h); };
    // Palettes in an order where index 0 is not black, with greys on both sides of the
    // threshold, and colours thresholded by luminance (pure blue is dark, yellow light).
    const std::vector<uint32_t> palette16 = {0xFFFFFF, 0x303030, 0xC0C0C0, 0x0000FF, 0xFFFF00};
    for (bool topDown : {false, true}) {
        for (int bpp : {1, 4, 8, 24, 32}) {
            SCOPED_TRACE(std::to_string(bpp) + (topDown ? " top-down" : " bottom-up"));
            BmpSpec spec;
            spec.width = w;
            spec.height = h;
            spec.bpp = bpp;
            spec.topDown = topDown;
            std::function<uint32_t(int, int)> pixel;
            if (bpp == 1) {
                spec.palette = {0xFFFFFF, 0x000000};
                pixel = [&](int x, int y) { return dark(x, y) ? 1u : 0u; };
            } else if (bpp <= 8) {
                spec.palette = palette16;
                pixel = [&](int x, int y) {
                    return dark(x, y) ? 1u + (x + y) % 2 * 2 : (x % 2 ? 4u : 2u);
                };
            } else {
                pixel = [&](int x, int y) {
                    return dark(x, y) ? (x % 2 ? 0x0000FFu : 0x202020u) : 0xFFFF00u;
                };
            }
            EXPECT_EQ(Hex(Black(MakeBmp(spec, pixel))), Hex(expected));
        }
    }

    // 32 bits with bit fields in another channel order, and an alpha channel whose
    // transparent parts are paper whatever their colour.
    BmpSpec spec;
    spec.width = w;
    spec.height = h;
    spec.bpp = 32;
    spec.bitfields = true;
    spec.masks[0] = 0x000000FF;  // red in the low byte
    spec.masks[1] = 0x0000FF00;
    spec.masks[2] = 0x00FF0000;
    spec.masks[3] = 0xFF000000;
    EXPECT_EQ(Hex(Black(MakeBmp(spec,
                                [&](int x, int y) {
                                    return dark(x, y) ? 0xFF000000u
                                                      : (x % 2 ? 0x0000FFFFu : 0x00000000u);
                                }))),
              Hex(expected));
}

// Scaling up repeats whole source dots: every output row and column comes from the
// nearest source one, for a factor that divides evenly and for one that does not (where
// some source rows are taken twice and others three times).
TEST(BmpDecoder, StretchingRepeatsSourceRowsAndColumns) {
    const int w = 13, h = 7;
    const std::string file = TestPictureBmp(w, h);  // 96 dpi
    for (double dpi : {288.0, 240.0}) {
        SCOPED_TRACE(dpi);
        thermpos::so::BitmapRenderRequest request;
        request.mapResolution = true;
        request.printerDpi = dpi;
        const long width = static_cast<long>(w * dpi / 96.0);
        const long height = static_cast<long>(h * dpi / 96.0);
        const std::size_t stride = thermpos::so::BitmapRowBytes(width);
        std::string expected(stride * height, '\0');
        for (long y = 0; y < height; ++y) {
            for (long x = 0; x < width; ++x) {
                if (TestDot(static_cast<int>(x * w / width), static_cast<int>(y * h / height), w,
                            h)) {
                    expected[y * stride + x / 8] |= static_cast<char>(0x80 >> (x % 8));
                }
            }
        }
        EXPECT_EQ(Hex(Black(file, request)), Hex(expected));
    }
}

TEST(BmpDecoder, HostileHeadersAreRefused) {
    const std::string good = TestPictureBmp(16, 8);
    ASSERT_NE(Black(good), "refused");
    auto with = [&](std::size_t at, uint32_t value, int bytes = 4) {
        std::string f = good;
        std::string v;
        PutLe(&v, value, bytes);
        f.replace(at, bytes, v);
        return Black(f);
    };
    EXPECT_EQ(with(10, 0xFFFFFFF0), "refused");                          // pixels past the end
    EXPECT_EQ(with(10, static_cast<uint32_t>(good.size())), "refused");  // no room for rows
    EXPECT_EQ(with(14, 0xFFFFFFFF), "refused");  // header longer than the file
    EXPECT_EQ(with(14, 12), "refused");          // header too short to read
    EXPECT_EQ(with(18, 0), "refused");           // no width
    EXPECT_EQ(with(18, 0x80000000), "refused");  // negative width
    EXPECT_EQ(with(18, 16385), "refused");       // wider than any print
    EXPECT_EQ(with(22, 0x80000000), "refused");  // the most negative height
    EXPECT_EQ(with(22, 0), "refused");
    EXPECT_EQ(with(22, 9), "refused");     // one row more than the data
    EXPECT_EQ(with(28, 2, 2), "refused");  // 2 bits per pixel
    EXPECT_EQ(with(28, 16, 2), "refused");
    EXPECT_EQ(with(30, 1), "refused");    // run-length compressed
    EXPECT_EQ(with(30, 3), "refused");    // bit fields below 32 bits
    EXPECT_EQ(with(46, 300), "refused");  // a palette beyond 256
    EXPECT_EQ(with(46, 3), "refused");    // a palette into the pixels
    EXPECT_EQ(Black(good.substr(0, 53)), "refused");

    // Scaling that would take a tiny file to an enormous picture is refused, not
    // allocated.
    thermpos::so::BitmapRenderRequest scaled;
    scaled.mapResolution = true;
    EXPECT_EQ(Black(TestPictureBmp(16, 8, 1), scaled), "refused");
    scaled.mapResolution = false;
    scaled.widthDots = 16385;
    EXPECT_EQ(Black(good, scaled), "refused");
}
