// Receipts are written on the host's writer thread: a writer that is stuck never holds up
// the port (status replies go on), nothing taken before Stop is lost, and the port waits
// for the writer only once the queue between them is full. The writer is held at a gate
// the test opens, so every phase is an event, not a guess at timing.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/vprinter/host_fixture.h"
#include "vprinter/image.h"
#include "vprinter/receipt_store.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using hosttest::Bytes;
using hosttest::Host;
using hosttest::kLimit;

const std::string kCut = Bytes({0x1D, 0x56, 0x00});
const std::string kStatusRequest = Bytes({0x10, 0x04, 0x01});  // DLE EOT 1: one byte back

// Holds the first writer that passes until the test opens it (or the limit passes, so a
// broken build fails instead of hanging).
class Gate {
  public:
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait_for(lock, kLimit, [&] { return open_; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kLimit, [&] { return entered_ > 0; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
};

class ReceiptWriterTest : public hosttest::HostTest {
  protected:
    void SetUp() override {
        options_.outDir = OutDir();
        // Shared with the writer thread, which may outlive a test body that failed early.
        options_.writeReceipt = [gate = gate_](const DrawnReceipt& receipt, const std::string& path,
                                               std::string* error) {
            gate->Pass();
            return WritePng(path, receipt.Render(), error);
        };
    }

    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

TEST_F(ReceiptWriterTest, AStuckWriterNeverHoldsUpAStatusReply) {
    ASSERT_TRUE(Start());
    Host host(printer_.SlavePath());
    ASSERT_TRUE(host.Open());
    ASSERT_TRUE(host.Write("first receipt\n" + kCut));
    ASSERT_TRUE(gate_->WaitEntered());

    // The writer is inside the receipt's file; the port answers all the same.
    ASSERT_TRUE(host.Write(kStatusRequest));
    EXPECT_EQ(host.Read(1), Bytes({0x12}));
    EXPECT_EQ(printer_.ReceiptCount(), 0) << "counted before its file was written";

    gate_->Open();
    ASSERT_TRUE(printer_.WaitReceipts(1, kLimit));
    EXPECT_TRUE(fs::exists(options_.outDir + "/receipt-0001.png"));
    // A receipt counted as written has its commands in the log already.
    std::ifstream log(options_.outDir + "/commands.log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("GS V"), std::string::npos) << text;
}

TEST_F(ReceiptWriterTest, StopWritesEveryReceiptTakenBeforeIt) {
    ASSERT_TRUE(Start());
    std::string all;
    for (int i = 1; i <= 3; ++i)
        all += "receipt " + std::to_string(i) + "\n" + kCut;
    all += "not cut yet\n";
    {
        Host host(printer_.SlavePath());
        ASSERT_TRUE(host.Write(all));
        ASSERT_TRUE(printer_.WaitBytesConsumed(all.size(), kLimit));
    }
    ASSERT_TRUE(gate_->WaitEntered());  // the first is being written, two wait behind it

    std::thread stopper([&] { printer_.Stop(); });
    // Stop has finished the uncut receipt and handed it over too; only then the writer
    // may go on, so a Stop that dropped what was queued would show here.
    EXPECT_TRUE(printer_.WaitStatus([](const PrinterStatus& s) { return s.receiptsFinished == 4; },
                                    kLimit));
    gate_->Open();
    stopper.join();

    EXPECT_EQ(printer_.ReceiptCount(), 4);
    const auto files = printer_.ReceiptFiles();
    ASSERT_EQ(files.size(), 4u);
    for (const std::string& file : files)
        EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(printer_.Receipts().back().cut, CutKind::None);
}

TEST(ReceiptStoreTest, HandWaitsForTheWriterOnlyWhenTheQueueIsFull) {
    thermpos::testing::TempEnv dir;
    auto gate = std::make_shared<Gate>();
    ReceiptStore store;
    std::string error;
    ASSERT_TRUE(store.Begin({dir.Dir(),
                             4,
                             1u << 20,
                             [gate](const DrawnReceipt&, const std::string&, std::string*) {
                                 gate->Pass();
                                 return true;
                             },
                             {}},
                            &error))
        << error;
    const auto receipt = [](int index) {
        return std::vector<DrawnReceipt>{{index, CutKind::Full, nullptr}};
    };
    store.Hand(receipt(1));
    ASSERT_TRUE(gate->WaitEntered());  // the writer holds the first

    const int full = static_cast<int>(ReceiptStore::kMaxQueued) + 1;
    auto filling = std::async(std::launch::async, [&] {
        for (int i = 2; i <= full; ++i)
            store.Hand(receipt(i));
    });
    ASSERT_EQ(filling.wait_for(kLimit), std::future_status::ready)
        << "waited for the writer before the queue was full";
    auto over = std::async(std::launch::async, [&] { store.Hand(receipt(full + 1)); });
    EXPECT_EQ(over.wait_for(200ms), std::future_status::timeout) << "the queue has no bound";

    gate->Open();
    ASSERT_EQ(over.wait_for(kLimit), std::future_status::ready);
    store.Finish();
    EXPECT_EQ(store.Count(), full + 1);
    EXPECT_EQ(store.Files().size(), static_cast<std::size_t>(full + 1));
    const auto kept = store.Kept();
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept.back().index, full + 1);
}

}  // namespace
}  // namespace thermpos::vprinter
