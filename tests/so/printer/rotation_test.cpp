// Rotation, cutting, mark feed, the refused slip methods and DirectIO on a fake port: the
// bytes that reach the printer, the refusals (106 and nothing written), the sideways data
// kept across a failed print, page mode, and the DirectIO events.
#include <initializer_list>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;
using namespace thermpos::so::ptr;

namespace {

constexpr char kUpsideDownOn[] = "1B 56 00 1B 7B 01";
constexpr char kUpsideDownOff[] = "1B 56 00 1B 7B 00";

class Rotation : public FakePortTest {
  protected:
    // What was written since the last call (one entry per write).
    std::vector<std::string> NewWrites() {
        std::vector<std::string> all = FakePort::Get().Writes();
        std::vector<std::string> fresh(all.begin() + static_cast<long>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    std::string OnlyNewWrite() {
        const std::vector<std::string> w = NewWrites();
        EXPECT_EQ(w.size(), 1u);
        return w.empty() ? std::string() : Hex(w.back());
    }

    std::size_t seen_ = 0;
};

LONG Direct(CThermalPrinter& printer, LONG command, LONG data = 0, std::string text = "") {
    return printer.DirectIO(command, &data, &text);
}

}  // namespace

TEST_F(Rotation, SidewaysDataPrintsAsOnePageModePage) {
    auto printer = Enable();
    NewWrites();
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "PAID\n"), 0);
    EXPECT_TRUE(NewWrites().empty()) << "gathered data must wait for the end of the rotation";
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    // Page mode, an area 576 dots wide and as long as "PAID" (4 × 12 = 0x30 dots), the
    // direction turned right, the text, and FF.
    EXPECT_EQ(OnlyNewWrite(), "1B 4C 1B 57 00 00 00 00 40 02 30 00 1B 54 03 50 41 49 44 0A 0C");

    // Turned left, several prints join in order and the widest line of all sets the height.
    EXPECT_EQ(printer->RotatePrint(PTR_S_SLIP, PTR_RP_LEFT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "AB\n"), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "ABCDE\x1B|bC!\n"), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "C\n"), 0);
    EXPECT_TRUE(NewWrites().empty());
    EXPECT_EQ(printer->RotatePrint(PTR_S_SLIP, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(),
              "1B 4C 1B 57 00 00 00 00 40 02 48 00 1B 54 01 "
              "41 42 0A 41 42 43 44 45 1B 45 01 21 0A 1B 45 00 43 0A 0C");

    // Ended, the rotation is back to normal: the next end only turns the printer upright.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(), kUpsideDownOff);
}

TEST_F(Rotation, RotationValuesAndStations) {
    auto printer = Enable();
    NewWrites();
    // Turning sideways and straight back with nothing printed sends nothing.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_LEFT90), 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(printer->ResultCode(), 0);
    EXPECT_TRUE(NewWrites().empty());
    // So does print data that translates to no bytes at all.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_LEFT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "\x1B|N"), 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_TRUE(NewWrites().empty());

    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_ROTATE180), 0);
    EXPECT_EQ(OnlyNewWrite(), kUpsideDownOn);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(), kUpsideDownOff);

    for (LONG rotation : std::initializer_list<LONG>{PTR_RP_RIGHT90 + 0x1000,
                                                     PTR_RP_LEFT90 + 0x2000, 0x1000, 0, 2, 260}) {
        EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, rotation), 106) << rotation;
    }
    for (LONG station : std::initializer_list<LONG>{PTR_S_JOURNAL, 3, 0}) {
        EXPECT_EQ(printer->RotatePrint(station, PTR_RP_ROTATE180), 106) << station;
    }
    EXPECT_TRUE(NewWrites().empty());

    // While gathering, immediate prints and bar codes print at once.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintImmediate(PTR_S_RECEIPT, "now\n"), 0);
    EXPECT_EQ(OnlyNewWrite(), "6E 6F 77 0A");
    EXPECT_EQ(printer->PrintBarCode(PTR_S_RECEIPT, "123456789012", PTR_BCS_UPCA, 60, 300,
                                    PTR_BC_CENTER, PTR_BC_TEXT_NONE),
              0);
    EXPECT_EQ(NewWrites().size(), 1u);

    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 105);
    EXPECT_EQ(printer->RotatePrint(PTR_S_JOURNAL, 0), 105);
}

// A sideways page the printer cannot take stays gathered: the application fixes the
// printer and ends the rotation again, and the page prints once.
TEST_F(Rotation, GatheredDataSurvivesAFailedPrint) {
    auto printer = Enable();
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "VOID\n"), 0);
    NewWrites();

    ASSERT_EQ(printer->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 114);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), OPOS_EPTR_COVER_OPEN);
    EXPECT_TRUE(NewWrites().empty());
    // Still gathering: more data joins the same page.
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "X\n"), 0);
    EXPECT_TRUE(NewWrites().empty());

    ASSERT_EQ(printer->FireStatusUpdate(PTR_SUE_COVER_OK), 1);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(),
              "1B 4C 1B 57 00 00 00 00 40 02 30 00 1B 54 03 56 4F 49 44 0A 58 0A 0C");
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(), kUpsideDownOff);

    // A failed write keeps it too.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_LEFT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "Y\n"), 0);
    FakePort::Get().SetWriteError(1460);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 112);
    FakePort::Get().SetWriteError(0);
    NewWrites();
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(), "1B 4C 1B 57 00 00 00 00 40 02 0C 00 1B 54 01 59 0A 0C");
}

TEST_F(Rotation, ClearOutputAndCloseDropGatheredData) {
    auto printer = Enable();
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "gone\n"), 0);
    EXPECT_EQ(printer->ClearOutput(), 0);
    NewWrites();
    // The rotation goes on, with nothing gathered.
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "kept\n"), 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_EQ(OnlyNewWrite(), "1B 4C 1B 57 00 00 00 00 40 02 30 00 1B 54 03 6B 65 70 74 0A 0C");

    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "gone\n"), 0);
    EXPECT_EQ(printer->Close(), 0);
    EXPECT_EQ(printer->OpenService("POSPrinter", kRTK410, &control_), 0);
    EXPECT_EQ(printer->ClaimDevice(0), 0);
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer->ResultCode(), 0);
    NewWrites();
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_TRUE(NewWrites().empty());
}

TEST_F(Rotation, CutPaperAndMarkFeed) {
    auto printer = Enable();
    NewWrites();
    for (auto [percentage, bytes] : {std::pair<LONG, const char*>{0, "1D 56 00"},
                                     {100, "1D 56 00"},
                                     {50, "1D 56 01"},
                                     {150, "1D 56 01"},
                                     {-1, "1D 56 01"}}) {
        EXPECT_EQ(printer->CutPaper(percentage), 0) << percentage;
        EXPECT_EQ(OnlyNewWrite(), bytes) << percentage;
    }

    EXPECT_EQ(printer->MarkFeed(PTR_MF_TO_TAKEUP), 106);
    EXPECT_EQ(printer->MarkFeed(PTR_MF_TO_NEXT_TOF), 106);
    EXPECT_TRUE(NewWrites().empty());
    EXPECT_EQ(printer->MarkFeed(PTR_MF_TO_CUTTER), 0);
    EXPECT_EQ(OnlyNewWrite(), "1D 0C");

    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer->CutPaper(0), 105);
    EXPECT_EQ(printer->MarkFeed(1), 105);
    EXPECT_TRUE(NewWrites().empty());
}

TEST_F(Rotation, TheQmx5500AlwaysCutsPartially) {
    auto printer = Enable<CPrinterQMX5500>(kQMX5500);
    NewWrites();
    for (LONG percentage : {0, 50, 100}) {
        EXPECT_EQ(printer->CutPaper(percentage), 0);
        EXPECT_EQ(OnlyNewWrite(), "1D 56 01") << percentage;
    }
}

TEST_F(Rotation, SlipMethodsAndPrintSideAreRefused) {
    auto printer = Enable();
    NewWrites();
    EXPECT_EQ(printer->BeginInsertion(1000), 106);
    EXPECT_EQ(printer->BeginRemoval(1000), 106);
    EXPECT_EQ(printer->EndInsertion(), 106);
    EXPECT_EQ(printer->EndRemoval(), 106);
    EXPECT_EQ(printer->ChangePrintSide(PTR_PS_SIDE1), 106);
    EXPECT_EQ(printer->ResultCode(), 106);
    EXPECT_TRUE(NewWrites().empty());
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer->BeginInsertion(0), 105);
    EXPECT_EQ(printer->ChangePrintSide(PTR_PS_SIDE1), 105);
}

TEST_F(Rotation, DirectIOPageModeCommandsAndEvents) {
    auto printer = Enable();
    NewWrites();
    EXPECT_EQ(Direct(*printer, 1005), 106);
    EXPECT_EQ(Direct(*printer, 1009), 106);
    EXPECT_EQ(Direct(*printer, 999), 106);
    EXPECT_TRUE(NewWrites().empty());

    EXPECT_EQ(Direct(*printer, 1004, 7, "first"), 0);
    EXPECT_EQ(OnlyNewWrite(), "1B 4C");
    EXPECT_TRUE(printer->InPageMode());
    EXPECT_EQ(Direct(*printer, 1009, -2, "second"), 0);
    EXPECT_EQ(OnlyNewWrite(), "0C");
    EXPECT_FALSE(printer->InPageMode());
    ASSERT_TRUE(control_.WaitFor(ControlEvent::DirectIO, 2));
    std::vector<ControlEvent> events = control_.EventsOf(ControlEvent::DirectIO);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].value1, 0);
    EXPECT_EQ(events[0].value2, 7);
    EXPECT_EQ(events[0].text, "first");
    EXPECT_EQ(events[1].value1, 1);
    EXPECT_EQ(events[1].value2, -2);
    EXPECT_EQ(events[1].text, "second");

    // Every command of the table, in page mode where it needs it.
    EXPECT_EQ(Direct(*printer, 1004), 0);
    EXPECT_EQ(Direct(*printer, 1004), 106);
    NewWrites();
    const struct {
        LONG command;
        LONG data;
        std::string text;
        const char* bytes;
    } sent[] = {
        {1007, 0x103, "", "1B 54 03"},
        {1008, 0, "0,16, 576 ,400", "1B 57 00 00 10 00 40 02 90 01"},
        {1008, 0, "65535,0,1,1", "1B 57 FF FF 00 00 01 00 01 00"},
        {1000, 0, "ab", "1B 0C 61 62"},
        {1006, 0, "", "18"},
        {1001, 0x101, "", "1B 25 01"},
        {1003, 65, "", "1B 3F 41"},
        // One character 'A' of three columns, three bytes each.
        {1002, 0, std::string("\x03\x41\x41\x03\x00\xFF\x00\x00\xFF\x00\x00\xFF\x00", 13),
         "1B 26 03 41 41 03 00 FF 00 00 FF 00 00 FF 00"},
        {1005, 0, "", "1B 53"},
    };
    for (const auto& c : sent) {
        EXPECT_EQ(Direct(*printer, c.command, c.data, c.text), 0) << c.command;
        EXPECT_EQ(OnlyNewWrite(), c.bytes) << c.command;
    }
    EXPECT_FALSE(printer->InPageMode());
    ASSERT_TRUE(control_.WaitFor(ControlEvent::DirectIO, 3 + std::size(sent)));
    events = control_.EventsOf(ControlEvent::DirectIO);
    EXPECT_EQ(events.back().value1, static_cast<LONG>(2 + std::size(sent)));
    EXPECT_EQ(events.back().value2, 0);
}

TEST_F(Rotation, DirectIOArgumentsThePrinterWouldMisread) {
    auto printer = Enable();
    EXPECT_EQ(Direct(*printer, 1004), 0);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::DirectIO, 1));
    NewWrites();
    for (const char* area : {"", "1,2,3", "1,2,3,4,5", "0,0,0,100", "0,0,100,0", "0,0,65536,1",
                             "-1,0,10,10", "1;2;3;4", "0x10,0,1,1", "1,2,3,4,", "1,,3,4"}) {
        EXPECT_EQ(Direct(*printer, 1008, 0, area), 106) << area;
    }
    for (const std::string& definition : {
             std::string(), std::string("\x03\x41\x41", 3),       // no width
             std::string("\x03\x41\x41\x02\x00\x00\x00", 7),      // cut short
             std::string("\x03\x41\x41\x01\x00\x00\x00\x61", 8),  // one byte too many
             std::string("\x03\x42\x41\x00", 4),                  // codes reversed
             std::string("\x03\x1F\x1F\x00", 4),                  // code out of range
         }) {
        EXPECT_EQ(Direct(*printer, 1002, 0, definition), 106) << Hex(definition);
    }
    EXPECT_TRUE(NewWrites().empty());
    EXPECT_EQ(control_.EventsOf(ControlEvent::DirectIO).size(), 1u);

    // A write that fails reports the failure, changes no mode and raises no event.
    FakePort::Get().SetWriteError(1460);
    EXPECT_EQ(Direct(*printer, 1009), 112);
    EXPECT_TRUE(printer->InPageMode());
    FakePort::Get().SetWriteError(0);
    EXPECT_EQ(control_.EventsOf(ControlEvent::DirectIO).size(), 1u);

    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(Direct(*printer, 1009), 105);
}

TEST_F(Rotation, PageModeRefusesBitmapsUntilItEnds) {
    auto printer = Enable();
    ASSERT_EQ(Direct(*printer, 1004), 0);
    EXPECT_EQ(printer->PrintBitmap(PTR_S_RECEIPT, "logo.bmp", PTR_BM_ASIS, PTR_BM_CENTER), 106);
    EXPECT_EQ(printer->SetBitmap(1, PTR_S_RECEIPT, "logo.bmp", PTR_BM_ASIS, PTR_BM_CENTER), 106);

    // A sideways page ends with FF, which leaves page mode at the printer too.
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    EXPECT_EQ(printer->PrintNormal(PTR_S_RECEIPT, "side\n"), 0);
    EXPECT_EQ(printer->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    EXPECT_FALSE(printer->InPageMode());
    EXPECT_EQ(Direct(*printer, 1004), 0);
    printer.reset();

    // A printer configured for page mode starts in it.
    auto configured = Enable(kRTK410, {{"PrinterMode", "1"}});
    EXPECT_TRUE(configured->InPageMode());
    EXPECT_EQ(configured->SetBitmap(2, PTR_S_RECEIPT, "logo.bmp", PTR_BM_ASIS, PTR_BM_LEFT), 106);
    EXPECT_EQ(Direct(*configured, 1009), 0);
}
