// Fuzz target for the printer model: arbitrary host bytes interleaved with operator
// controls and the passage of time must never crash, hang or grow without bound.
//
// Input layout: two option bytes, then records of [control byte][chunk]. The control byte
// gives the chunk length (low 6 bits + 1) and an action taken after feeding it (high 2
// bits: none, advance time, operator control chosen by the next byte, take receipts).
//
// Rasterising a receipt costs far more than interpreting the bytes that made it, so only
// inputs with bit 3 of the second option byte render what they print (and so fuzz the
// rasteriser with whatever ops the model makes); the others leave finished receipts in
// the queue, which must then stay within its limit by dropping the oldest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vprinter/model.h"

namespace {

using thermpos::vprinter::ModelOptions;
using thermpos::vprinter::PaperState;
using thermpos::vprinter::PrinterModel;
using thermpos::vprinter::TimePoint;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

struct Receipts {
    bool render = false;
    int taken = 0;
    int lastIndex = 0;

    void TakeAndCheck(PrinterModel& model, int width) {
        for (const auto& r : model.TakeFinishedReceipts()) {
            Check(r.index > lastIndex);
            lastIndex = r.index;
            ++taken;
            Check(r.image.width == width);
            Check(r.image.dots.size() == static_cast<std::size_t>(r.image.width) * r.image.height);
        }
    }
    // Whatever was finished and neither taken nor dropped is still queued, within the limit.
    void CheckQueue(const PrinterModel& model) const {
        const auto st = model.Status();
        Check(st.receiptsDropped >= 0 && st.receiptsDropped <= st.receiptsFinished);
        const int queued = st.receiptsFinished - st.receiptsDropped - taken;
        Check(queued >= 0 && queued <= model.Options().maxQueuedReceipts);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static constexpr int kWidths[4] = {576, 384, 360, 432};
    ModelOptions o;
    o.paperWidthDots = kWidths[data[0] & 3];
    o.twoFontModel = data[0] & 4;
    o.realtimeAnywhere = data[0] & 8;
    o.baud = (data[0] & 16) ? 115200 : 0;
    o.printSpeedMmPerS = (data[0] & 32) ? 200 : 0;
    o.drawerAutoCloseMs = (data[0] & 64) ? 500 : 0;
    o.twoColour = data[0] & 128;
    o.receiveBufferBytes = 512 + 512 * (data[1] & 7);
    o.maxReceiptDots = 1024;
    o.maxQueuedReceipts = 4;
    o.nvCapacityBytes = 8192;
    PrinterModel model(o);
    Receipts receipts;
    receipts.render = data[1] & 8;
    TimePoint now{};
    std::size_t i = 2;
    while (i < size) {
        const std::uint8_t ctl = data[i++];
        const std::size_t len = std::min<std::size_t>((ctl & 0x3F) + 1, size - i);
        std::size_t off = 0;
        for (int tries = 0; off < len && tries < 4; ++tries) {
            off += model.Feed(data + i + off, len - off, now);
            if (auto next = model.NextEventTime())
                now = std::max(now, *next);
            model.Advance(now);
        }
        i += len;
        switch (ctl >> 6) {
            case 1:
                now += std::chrono::milliseconds(100);
                model.Advance(now);
                break;
            case 2: {
                const std::uint8_t c = i < size ? data[i++] : 0;
                switch (c & 7) {
                    case 0:
                        model.SetCover(c & 8, now);
                        break;
                    case 1:
                        model.SetPaper(static_cast<PaperState>((c >> 3) % 3), now);
                        break;
                    case 2:
                        model.SetDrawer(c & 8, now);
                        break;
                    case 3:
                        model.SetOnline(c & 8, now);
                        break;
                    case 4:
                        model.SetPower(c & 8, now);
                        break;
                    case 5:
                        model.Reset(now);
                        break;
                    case 6:
                        if (receipts.render)
                            Check(model.Snapshot().width == o.paperWidthDots);
                        break;
                    default:
                        model.StatusText();
                        break;
                }
                break;
            }
            case 3:
                if (receipts.render)
                    receipts.TakeAndCheck(model, o.paperWidthDots);
                break;
            default:
                break;
        }
        const auto st = model.Status();
        Check(st.bytesBuffered <= model.Options().receiveBufferBytes);
        Check(st.bytesProcessed <= st.bytesAccepted);
        Check(model.TakeReplies().size() <= 64 * 1024);
        receipts.CheckQueue(model);
    }
    model.SetPower(true, now);
    model.SetCover(false, now);
    model.SetOnline(true, now);
    model.SetPaper(PaperState::Ok, now);
    model.FinishPending();
    receipts.CheckQueue(model);
    if (receipts.render) {
        receipts.TakeAndCheck(model, o.paperWidthDots);
        receipts.CheckQueue(model);
    }
    return 0;
}
