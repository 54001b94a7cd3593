// Fuzz target for the status-block stream: whatever comes back from a printer, in
// whatever pieces the reads deliver it, goes through the block assembler to the printer's
// and the drawer's interpreters as the status monitor does it. Nothing may crash; the
// assembler must carry less than a block over and pass only well-formed blocks; how the
// bytes were split must not change what is reported; and the interpreters must end in
// the state the last block shows.
//
// Input layout: one option byte (bit 0: the drawer's Pin3, bit 1: port notifications
// between reads, bit 2: the device refuses now and then), one byte seeding the read
// sizes, then the bytes the port returns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "opos/OposConstants.h"
#include "so/core/ServiceDevice.h"
#include "so/core/StatusInterpreter.h"
#include "so/core/StatusMonitor.h"

using namespace thermpos::so;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// A device that was never opened: it takes every value, or refuses every third one.
class Device : public CServiceDevice {
  public:
    LONG FireStatusUpdate(LONG status) override {
        if (refuseSome && ++calls % 3 == 0)
            return 0;
        log.push_back(status);
        return 1;
    }
    bool refuseSome = false;
    unsigned calls = 0;
    std::vector<LONG> log;
};

struct Listeners {
    explicit Listeners(LONG pin3) : printer(&printerDevice), drawer(&drawerDevice, pin3) {}
    Device printerDevice;
    Device drawerDevice;
    CPrinterStatusInterpreter printer;
    CDrawerStatusInterpreter drawer;

    // The monitor's dispatch: listeners in registration order until one does not handle.
    void Dispatch(const std::string& blocks) {
        bool resend = false;
        const auto* bytes = reinterpret_cast<const BYTE*>(blocks.data());
        if (printer.Interpret(bytes, static_cast<LONG>(blocks.size()), &resend))
            (void)drawer.Interpret(bytes, static_cast<LONG>(blocks.size()), &resend);
    }
    void Notify(StatusNotification code) {
        bool resend = false;
        if (printer.Notify(code, &resend))
            (void)drawer.Notify(code, &resend);
    }
};

bool WellFormed(const std::string& blocks) {
    if (blocks.size() % CStatusBlockAssembler::kBlockSize != 0)
        return false;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto b = static_cast<BYTE>(blocks[i]);
        if (i % 4 == 0 ? (b & 0x93) != 0x10 : (b & 0x90) != 0x00)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const LONG pin3 = data[0] & 1;
    const bool notify = (data[0] & 2) != 0;
    const bool refuse = (data[0] & 4) != 0;
    std::uint32_t seed = data[1] * 2654435761u + 1;
    const BYTE* stream = data + 2;
    const std::size_t length = size - 2;

    Listeners split(pin3);
    split.printerDevice.refuseSome = split.drawerDevice.refuseSome = refuse;
    CStatusBlockAssembler assembler;
    std::string all;
    std::string last;  // the last block dispatched after the last notification
    static constexpr StatusNotification kNotes[3] = {kNotifyPaperEmpty, kNotifyOffline,
                                                     kNotifyPowerOff};
    for (std::size_t at = 0; at < length;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 9, length - at);
        std::string reply;
        assembler.Feed(stream + at, piece, &reply);
        at += piece;
        Check(assembler.Pending() < CStatusBlockAssembler::kBlockSize);
        Check(WellFormed(reply));
        if (!reply.empty()) {
            split.Dispatch(reply);
            all += reply;
            last = reply.substr(reply.size() - 4);
        }
        if (notify && (seed >> 8) % 5 == 0) {
            split.Notify(kNotes[(seed >> 4) % 3]);
            last.clear();
        }
    }

    // The same bytes in one read give the same blocks and, with nothing in between,
    // the same reports.
    CStatusBlockAssembler whole;
    std::string once;
    whole.Feed(stream, length, &once);
    Check(once == all);
    if (!notify && !refuse) {
        Listeners single(pin3);
        if (!once.empty())
            single.Dispatch(once);
        Check(single.printerDevice.log == split.printerDevice.log);
        Check(single.drawerDevice.log == split.drawerDevice.log);
    }

    // Taking everything, the interpreters end where the last block leaves them.
    if (!refuse && !last.empty()) {
        const auto b0 = static_cast<BYTE>(last[0]);
        const auto b2 = static_cast<BYTE>(last[2]);
        const LONG power = (b0 & 0x08) ? OPOS_SUE_POWER_OFFLINE : OPOS_SUE_POWER_ONLINE;
        Check((split.printer.LastValue(0) == OPOS_SUE_POWER_ONLINE) ==
              (power == OPOS_SUE_POWER_ONLINE));
        Check(split.printer.LastValue(CPrinterStatusInterpreter::kCover) ==
              ((b0 & 0x20) ? PTR_SUE_COVER_OPEN : PTR_SUE_COVER_OK));
        const LONG paper = split.printer.LastValue(CPrinterStatusInterpreter::kPaper);
        if (b2 & 0x0C)
            Check(paper == PTR_SUE_REC_EMPTY);
        else if (b2 & 0x03)
            Check(paper == PTR_SUE_REC_NEAREMPTY || paper == PTR_SUE_REC_EMPTY);
        else
            Check(paper == PTR_SUE_REC_PAPEROK);
        const bool open = pin3 == 1 ? (b0 & 0x04) != 0 : (b0 & 0x04) == 0;
        Check(split.drawer.LastValue(CDrawerStatusInterpreter::kDrawer) ==
              (open ? CASH_SUE_DRAWEROPEN : CASH_SUE_DRAWERCLOSED));
        Check(split.drawer.LastValue(CDrawerStatusInterpreter::kCover) ==
              ((b0 & 0x20) ? kDrawerSueCoverOpen : kDrawerSueCoverClosed));
        Check(split.drawer.LastValue(CDrawerStatusInterpreter::kPaper) ==
              ((b2 & 0x08) ? kDrawerSuePaperEnd : kDrawerSuePaperOk));
    }
    return 0;
}
