// Asynchronous output on a fake port: OutputIDs and completion order, the idle event,
// busy refusals, error events with retry and clear, retries that wait for the printer,
// disabling with requests queued, the enable's initialisation, and a stress run of
// printing while the cover toggles (also run under ThreadSanitizer).
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;

namespace {

class PrinterOutput : public EnabledPrinterTest {
  protected:
    void SetUp() override {
        EnabledPrinterTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        printer_->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
        printer_->SetPropertyNumber(PIDXPtr_FlagWhenIdle, 1);
        initWrites_ = FakePort::Get().WriteCount();
    }
    void TearDown() override {
        FakePort::Get().HoldWrites(false);
        printer_.reset();
    }

    static std::size_t Occurrences(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    std::size_t initWrites_ = 0;
};

}  // namespace

TEST_F(PrinterOutput, QueuedPrintsCompleteInOrderThenIdle) {
    const LONG first = printer_->GetPropertyNumber(PIDX_OutputID);
    // The first write is held so that all three wait in the queue together.
    FakePort::Get().HoldWrites(true);
    EXPECT_EQ(printer_->PrintNormal(2, "one"), 0);
    ASSERT_TRUE(FakePort::Get().WaitHeldWriter());
    EXPECT_EQ(printer_->PrintNormal(2, "two"), 0);
    EXPECT_EQ(printer_->PrintNormal(2, "three"), 0);
    FakePort::Get().HoldWrites(false);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_OutputID), first + 3);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, 3));
    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 1));

    std::vector<LONG> order;
    for (const ControlEvent& e : control_.Events()) {
        order.push_back(e.kind == ControlEvent::OutputComplete ? e.value1 : -e.value1);
    }
    // Three completions in order, then the idle status once the queue drained.
    EXPECT_EQ(order, (std::vector<LONG>{first + 1, first + 2, first + 3, -PTR_SUE_IDLE}));
    const auto writes = FakePort::Get().Writes();
    ASSERT_EQ(writes.size(), initWrites_ + 3);
    EXPECT_EQ(writes[initWrites_], "one");
    EXPECT_EQ(writes[initWrites_ + 2], "three");
    EXPECT_EQ(printer_->GetPropertyNumber(PIDXPtr_FlagWhenIdle), 1);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_State), OPOS_S_IDLE);
}

TEST_F(PrinterOutput, BusyRefusesSynchronousOutputButNotImmediate) {
    FakePort::Get().HoldWrites(true);
    EXPECT_EQ(printer_->PrintNormal(2, "queued"), 0);
    ASSERT_TRUE(FakePort::Get().WaitHeldWriter());
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_State), OPOS_S_BUSY);

    printer_->SetPropertyNumber(PIDXPtr_AsyncMode, 0);
    EXPECT_EQ(printer_->PrintNormal(2, "refused"), OPOS_E_BUSY);
    // The immediate print waits only for the write in progress, then goes out.
    auto immediate =
        std::async(std::launch::async, [&] { return printer_->PrintImmediate(2, "immediate"); });
    FakePort::Get().HoldWrites(false);
    EXPECT_EQ(immediate.get(), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, 1));
    const std::string all = FakePort::Get().AllWritten();
    EXPECT_EQ(Occurrences(all, "queued"), 1u);
    EXPECT_EQ(Occurrences(all, "immediate"), 1u);
    EXPECT_EQ(Occurrences(all, "refused"), 0u);
}

// A printer that takes nothing (its write held) must not let the queue grow the
// process without end: past the bounds PrintNormal answers busy, queues nothing and
// leaves OutputID alone; once the queue drains it takes requests again.
TEST_F(PrinterOutput, AFullQueueAnswersBusyUntilItDrains) {
    using Pipeline = COutputPipeline;
    FakePort::Get().HoldWrites(true);
    ASSERT_EQ(printer_->PrintNormal(2, "taken"), 0);
    ASSERT_TRUE(FakePort::Get().WaitHeldWriter());
    std::size_t queued = 0;
    while (queued < Pipeline::kMaxQueuedRequests && printer_->PrintNormal(2, "job\n") == 0)
        ++queued;
    EXPECT_EQ(queued, Pipeline::kMaxQueuedRequests);
    const LONG lastId = printer_->GetPropertyNumber(PIDX_OutputID);
    EXPECT_EQ(printer_->PrintNormal(2, "refused"), OPOS_E_BUSY);
    EXPECT_EQ(printer_->ResultCode(), OPOS_E_BUSY);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_OutputID), lastId);

    FakePort::Get().HoldWrites(false);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, queued + 1));
    EXPECT_EQ(printer_->PrintNormal(2, "after"), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, queued + 2));
    EXPECT_EQ(Occurrences(FakePort::Get().AllWritten(), "refused"), 0u);

    // The byte bound: large jobs fill it long before the count does; a job larger than
    // the whole bound still prints when it is alone.
    FakePort::Get().HoldWrites(true);
    ASSERT_EQ(printer_->PrintNormal(2, "taken"), 0);
    ASSERT_TRUE(FakePort::Get().WaitHeldWriter());
    const std::string big(Pipeline::kMaxQueuedBytes / 4, 'x');
    std::size_t bigQueued = 0;
    while (bigQueued < 8 && printer_->PrintNormal(2, big) == 0)
        ++bigQueued;
    EXPECT_GE(bigQueued, 2u);
    EXPECT_LT(bigQueued, 5u);
    FakePort::Get().HoldWrites(false);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, queued + 3 + bigQueued));
    const std::string huge(Pipeline::kMaxQueuedBytes + 1, 'y');
    EXPECT_EQ(printer_->PrintNormal(2, huge), 0);
}

TEST_F(PrinterOutput, ReceiptEmptyRaisesErrorAndRetryPrintsOnce) {
    ASSERT_EQ(printer_->FireStatusUpdate(PTR_SUE_REC_EMPTY), 1);
    struct Seen {
        LONG level = 0, station = 0, state = 0;
        std::string text;
    };
    std::promise<Seen> seen;
    bool first = true;
    control_.SetErrorAnswer([&](const ControlEvent&) {
        if (first) {
            first = false;
            seen.set_value({printer_->GetPropertyNumber(PIDXPtr_ErrorLevel),
                            printer_->GetPropertyNumber(PIDXPtr_ErrorStation),
                            printer_->GetPropertyNumber(PIDX_State),
                            printer_->GetPropertyString(PIDXPtr_ErrorString)});
        }
        // Paper is loaded before the application answers.
        printer_->FireStatusUpdate(PTR_SUE_REC_PAPEROK);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "receipt"), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, 1));

    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].value1, 114);
    EXPECT_EQ(errors[0].value2, 203);
    EXPECT_EQ(errors[0].value3, OPOS_EL_OUTPUT);
    const Seen s = seen.get_future().get();
    EXPECT_EQ(s.level, PTR_EL_RECOVERABLE);
    EXPECT_EQ(s.station, 2);
    EXPECT_EQ(s.state, OPOS_S_ERROR);
    EXPECT_EQ(s.text, "See ResultCodeExtended");
    EXPECT_EQ(Occurrences(FakePort::Get().AllWritten(), "receipt"), 1u);
    // The error properties are cleared once answered.
    EXPECT_EQ(printer_->GetPropertyNumber(PIDXPtr_ErrorLevel), PTR_EL_NONE);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDXPtr_ErrorStation), 0);
    EXPECT_EQ(printer_->GetPropertyString(PIDXPtr_ErrorString), "");
}

// An application that answers retry while the cover stays open must not make the output
// thread spin: the retry waits for a cover change (a paper change does not count) or a
// second, so the next error event comes no sooner.
TEST_F(PrinterOutput, RetryWaitsForTheConditionToChange) {
    ASSERT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> answered;
    control_.SetErrorAnswer([&](const ControlEvent&) {
        std::lock_guard<std::mutex> lock(mutex);
        if (answered.empty()) {
            printer_->FireStatusUpdate(PTR_SUE_REC_NEAREMPTY);
        } else {
            printer_->FireStatusUpdate(PTR_SUE_COVER_OK);
        }
        answered.push_back(std::chrono::steady_clock::now());
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "receipt"), 0);
    ASSERT_TRUE(control_.WaitForOutput(printer_->GetPropertyNumber(PIDX_OutputID)));

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(answered.size(), 2u);
    EXPECT_GE(answered[1] - answered[0], std::chrono::milliseconds(900));
    EXPECT_EQ(Occurrences(FakePort::Get().AllWritten(), "receipt"), 1u);
}

// A write the port failed (here it timed out) says nothing of when the printer will take
// it: a retry goes out after a status change or a second, not at once, so an application
// that keeps answering retry does not make the thread spin on the port.
TEST_F(PrinterOutput, RetryAfterAFailedWriteWaits) {
    FakePort::Get().SetWriteError(1460);
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> answered;
    control_.SetErrorAnswer([&](const ControlEvent&) {
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(std::chrono::steady_clock::now());
        if (answered.size() == 2) {
            FakePort::Get().SetWriteError(0);
        }
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "receipt"), 0);
    ASSERT_TRUE(control_.WaitForOutput(printer_->GetPropertyNumber(PIDX_OutputID)));

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(answered.size(), 2u);
    EXPECT_GE(answered[1] - answered[0], std::chrono::milliseconds(900));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].value1, OPOS_E_TIMEOUT);
    EXPECT_EQ(Occurrences(FakePort::Get().AllWritten(), "receipt"), 1u);
}

// ClearOutput ends the wait before a retry at once, and the cleared request is not printed.
TEST_F(PrinterOutput, ClearOutputEndsTheRetryWait) {
    ASSERT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    std::promise<void> answered;
    std::atomic<int> errors{0};
    control_.SetErrorAnswer([&](const ControlEvent&) {
        if (errors.fetch_add(1) == 0) {
            answered.set_value();
        }
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "cleared"), 0);
    answered.get_future().wait();
    EXPECT_EQ(printer_->ClearOutput(), 0);
    // The cover status, then idle once the thread has dropped the request.
    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 2));
    EXPECT_EQ(control_.EventsOf(ControlEvent::StatusUpdate).back().value1, PTR_SUE_IDLE);
    EXPECT_EQ(errors.load(), 1);
    printer_->FireStatusUpdate(PTR_SUE_COVER_OK);
    EXPECT_EQ(FakePort::Get().WriteCount(), initWrites_);
    EXPECT_TRUE(control_.EventsOf(ControlEvent::OutputComplete).empty());
}

// The enable's initialisation is written at once: it takes no OutputID, raises no
// OutputCompleteEvent, and an open transaction does not hold it.
TEST_F(PrinterOutput, EnableInitialisationIsNotPrintData) {
    const std::string init = FakePort::Get().Writes().at(0);
    const LONG outputId = printer_->GetPropertyNumber(PIDX_OutputID);
    for (bool transaction : {false, true}) {
        SCOPED_TRACE(transaction ? "in a transaction" : "AsyncMode");
        if (transaction) {
            ASSERT_EQ(printer_->TransactionPrint(2, PTR_TP_TRANSACTION), 0);
        }
        printer_->SetPropertyNumber(PIDX_DeviceEnabled, 0);
        const std::size_t before = FakePort::Get().WriteCount();
        printer_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(printer_->ResultCode(), 0);
        ASSERT_EQ(FakePort::Get().WriteCount(), before + 1);
        EXPECT_EQ(FakePort::Get().Writes().back(), init);
        EXPECT_EQ(printer_->GetPropertyNumber(PIDX_OutputID), outputId);
    }
    EXPECT_EQ(printer_->TransactionPrint(2, PTR_TP_NORMAL), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer_->PrintNormal(2, "after"), 0);
    ASSERT_TRUE(control_.WaitForOutput(outputId + 1));
    EXPECT_EQ(control_.EventsOf(ControlEvent::OutputComplete).size(), 1u);
}

// An application that reads CoverOpen when the status event reaches it sees the new value.
TEST_F(PrinterOutput, StatusPropertiesChangeBeforeTheirEvent) {
    for (int i = 0; i < 200; ++i) {
        const bool open = i % 2 == 0;
        auto fired = std::async(std::launch::async, [&] {
            printer_->FireStatusUpdate(open ? PTR_SUE_COVER_OPEN : PTR_SUE_COVER_OK);
        });
        ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, i + 1));
        ASSERT_EQ(printer_->GetPropertyNumber(PIDXPtr_CoverOpen), open ? 1 : 0) << i;
        fired.get();
    }
}

TEST_F(PrinterOutput, PortErrorsAreFatalErrorEvents) {
    FakePort::Get().SetWriteError(1167);
    control_.SetErrorAnswer([&](const ControlEvent&) {
        FakePort::Get().SetWriteError(0);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "x"), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, 1));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].value1, 107);
    EXPECT_EQ(errors[0].value2, 0);
}

// Written is not sent: a job completes only once its bytes left the port. A drain that
// times out fails the job like a write, and the retry sends it once more; a synchronous
// print answers with the same failure.
TEST_F(PrinterOutput, CompletionWaitsForTheBytesToLeaveThePort) {
    FakePort::Get().SetDrainError(ERROR_TIMEOUT);
    control_.SetErrorAnswer([&](const ControlEvent&) {
        FakePort::Get().SetDrainError(0);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(printer_->PrintNormal(2, "job"), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::OutputComplete, 1));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].value1, OPOS_E_TIMEOUT);
    EXPECT_EQ(control_.Events().front().kind, ControlEvent::Error) << "completed before it failed";
    EXPECT_EQ(Occurrences(FakePort::Get().AllWritten(), "job"), 2u) << "written, failed, resent";

    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 1));  // idle again
    printer_->SetPropertyNumber(PIDXPtr_AsyncMode, 0);
    FakePort::Get().SetDrainError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(printer_->PrintNormal(2, "sync"), OPOS_E_FAILURE);
    FakePort::Get().SetDrainError(0);
    EXPECT_EQ(printer_->PrintNormal(2, "sync"), 0);
}

TEST_F(PrinterOutput, ClearAnswerEmptiesTheQueue) {
    ASSERT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    control_.SetErrorAnswer([](const ControlEvent&) { return OPOS_ER_CLEAR; });
    // Frozen until all three are queued, so the one answer finds them all.
    printer_->FreezeEvents(1);
    EXPECT_EQ(printer_->PrintNormal(2, "a"), 0);
    EXPECT_EQ(printer_->PrintNormal(2, "b"), 0);
    EXPECT_EQ(printer_->PrintNormal(2, "c"), 0);
    printer_->FreezeEvents(0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::Error, 1));
    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 2));  // cover, then idle
    EXPECT_EQ(printer_->QueuedRequestCount(), 0u);
    EXPECT_EQ(control_.EventsOf(ControlEvent::Error).size(), 1u);
    EXPECT_TRUE(control_.EventsOf(ControlEvent::OutputComplete).empty());
    EXPECT_EQ(FakePort::Get().WriteCount(), initWrites_);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_State), OPOS_S_IDLE);
}

TEST_F(PrinterOutput, RequestsWaitWhileDisabledAndPrintOnceAfterEnable) {
    FakePort::Get().HoldWrites(true);
    EXPECT_EQ(printer_->PrintNormal(2, "A"), 0);
    ASSERT_TRUE(FakePort::Get().WaitHeldWriter());
    EXPECT_EQ(printer_->PrintNormal(2, "B"), 0);
    EXPECT_EQ(printer_->PrintNormal(2, "C"), 0);
    // Disabling waits for the write in progress (the device lock), then the rest waits.
    auto disabled =
        std::async(std::launch::async, [&] { printer_->SetPropertyNumber(PIDX_DeviceEnabled, 0); });
    FakePort::Get().HoldWrites(false);
    disabled.get();
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_DeviceEnabled), 0);
    const std::size_t whileDisabled = FakePort::Get().WriteCount();

    printer_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer_->ResultCode(), 0);
    // The initialisation (written at once by the enable), then B and C.
    ASSERT_TRUE(FakePort::Get().WaitWrites(initWrites_ + 4));
    // B and C may also have gone out before the disable took the device lock (and an idle
    // report made then went with the disable); either way the thread ends idle, not busy
    // for ever with nothing queued. Idle is reported, or was already.
    for (int i = 0; i < 100 && printer_->GetPropertyNumber(PIDX_State) != OPOS_S_IDLE; ++i)
        (void)control_.WaitFor(ControlEvent::StatusUpdate, 1, std::chrono::milliseconds(100));
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_State), OPOS_S_IDLE);
    const std::string all = FakePort::Get().AllWritten();
    for (const char* r : {"A", "B", "C"}) {
        EXPECT_EQ(Occurrences(all, r), 1u) << r;
    }
    EXPECT_GE(FakePort::Get().WriteCount(), whileDisabled);
    EXPECT_EQ(printer_->QueuedRequestCount(), 0u);
}

TEST_F(PrinterOutput, CloseFreesQueuedRequestsAndStopsWaitingForAnAnswer) {
    ASSERT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    // Frozen events: the error event is never delivered, so the output thread waits for an
    // answer that does not come.
    printer_->FreezeEvents(1);
    EXPECT_EQ(printer_->PrintNormal(2, "a"), 0);
    EXPECT_EQ(printer_->PrintNormal(2, "b"), 0);
    // Close must not hang on the output thread that waits for the answer.
    EXPECT_EQ(printer_->Close(), 0);
    EXPECT_EQ(printer_->QueuedRequestCount(), 0u);
    EXPECT_EQ(FakePort::Get().WriteCount(), initWrites_);
}

// Printing in AsyncMode while the cover opens and closes and the application answers retry
// and clear in turn; run under ThreadSanitizer as well. Every request ends printed or
// cleared, none is printed twice.
TEST_F(PrinterOutput, PrintingWhileTheCoverToggles) {
    std::atomic<int> answers{0};
    control_.SetErrorAnswer([&](const ControlEvent&) {
        return (answers.fetch_add(1) % 3 == 2) ? OPOS_ER_CLEAR : OPOS_ER_RETRY;
    });
    std::atomic<bool> stop{false};
    std::thread cover([&] {
        bool open = false;
        for (int i = 0; i < 400 && !stop.load(); ++i) {
            open = !open;
            printer_->FireStatusUpdate(open ? PTR_SUE_COVER_OPEN : PTR_SUE_COVER_OK);
            std::this_thread::yield();
        }
        printer_->FireStatusUpdate(PTR_SUE_COVER_OK);
    });
    const int jobs = 60;
    for (int i = 0; i < jobs; ++i) {
        EXPECT_EQ(printer_->PrintNormal(2, "<" + std::to_string(i) + ">"), 0);
    }
    cover.join();
    stop = true;
    // With the cover closed and every answer retry, a last request completes once all
    // before it are printed or cleared.
    control_.SetErrorAnswer([](const ControlEvent&) { return OPOS_ER_RETRY; });
    bool drained = false;
    for (int attempt = 0; attempt < 5 && !drained; ++attempt) {
        ASSERT_EQ(printer_->PrintNormal(2, "<end>"), 0);
        drained = control_.WaitForOutput(printer_->GetPropertyNumber(PIDX_OutputID),
                                         std::chrono::seconds(10));
    }
    ASSERT_TRUE(drained);
    EXPECT_EQ(printer_->QueuedRequestCount(), 0u);
    printer_->SetPropertyNumber(PIDXPtr_AsyncMode, 0);
    const std::string all = FakePort::Get().AllWritten();
    std::size_t printed = 0;
    for (int i = 0; i < jobs; ++i) {
        const std::size_t n = Occurrences(all, "<" + std::to_string(i) + ">");
        EXPECT_LE(n, 1u) << i;
        printed += n;
    }
    EXPECT_EQ(control_.EventsOf(ControlEvent::OutputComplete).size(),
              printed + Occurrences(all, "<end>"));
}
