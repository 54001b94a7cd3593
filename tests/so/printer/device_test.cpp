// The printer device classes on a fake port: properties, setters, claim and enable,
// print methods and the synchronous output path.
#include <fstream>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;

namespace {

using PrinterDevice = FakePortTest;

struct LayoutCase {
    const char* device;
    const char* paperModel;  // null: value absent
    const char* column;      // null: value absent
    const char* list;
    LONG chars;
    LONG sidewaysLines;
};

}  // namespace

TEST_F(PrinterDevice, PropertiesAfterOpen) {
    for (const char* name : {kRTK410, kQMX5500, kRTK6100}) {
        SCOPED_TRACE(name);
        std::unique_ptr<CThermalPrinter> printer;
        if (name == kRTK410) {
            printer = Open<CPrinterRTK410>(name, {{"PaperSensor", "001"}});
        } else if (name == kQMX5500) {
            printer = Open<CPrinterQMX5500>(name, {{"PaperSensor", "001"}});
        } else {
            printer = Open<CPrinterRTK6100>(name, {{"PaperSensor", "001"}});
        }
        const std::map<LONG, LONG> expected = {
            {PIDXPtr_AsyncMode, 0},
            {PIDXPtr_CharacterSet, 0},
            {PIDXPtr_CoverOpen, 0},
            {PIDXPtr_ErrorStation, 0},
            {PIDXPtr_FlagWhenIdle, 0},
            {PIDXPtr_JrnLineChars, 0},
            {PIDXPtr_MapMode, 1},
            {PIDXPtr_RecEmpty, 0},
            {PIDXPtr_RecLineChars, 48},
            {PIDXPtr_RecLineHeight, 24},
            {PIDXPtr_RecLineSpacing, 34},
            {PIDXPtr_RecLinesToPaperCut, 3},
            {PIDXPtr_RecLineWidth, 576},
            {PIDXPtr_RecNearEnd, 0},
            {PIDXPtr_RecSidewaysMaxChars, 76},
            {PIDXPtr_RecSidewaysMaxLines, 17},
            {PIDXPtr_SlpLineWidth, 0},
            {PIDXPtr_ErrorLevel, 1},
            {PIDXPtr_RotateSpecial, 1},
            {PIDXPtr_CartridgeNotify, 0},
            {PIDXPtr_RecCartridgeState, 0x10000000},
            {PIDXPtr_SlpCartridgeState, 0x10000000},
            {PIDXPtr_MapCharacterSet, 1},
            {PIDXPtr_CapConcurrentJrnRec, 0},
            {PIDXPtr_CapCoverSensor, 1},
            {PIDXPtr_CapJrnPresent, 0},
            {PIDXPtr_CapRec2Color, 1},
            {PIDXPtr_CapRecBarCode, 1},
            {PIDXPtr_CapRecBitmap, 1},
            {PIDXPtr_CapRecDwideDhigh, 1},
            {PIDXPtr_CapRecEmptySensor, 0},
            {PIDXPtr_CapRecItalic, 0},
            {PIDXPtr_CapRecLeft90, 1},
            {PIDXPtr_CapRecNearEndSensor, 1},
            {PIDXPtr_CapRecPapercut, 1},
            {PIDXPtr_CapRecRotate180, 1},
            {PIDXPtr_CapRecStamp, 0},
            {PIDXPtr_CapRecUnderline, 1},
            {PIDXPtr_CapSlpPresent, 0},
            {PIDXPtr_CapCharacterSet, 11},
            {PIDXPtr_CapTransaction, 1},
            {PIDXPtr_CapRecCartridgeSensor, 0},
            {PIDXPtr_CapRecColor, 2},
            {PIDXPtr_CapRecMarkFeed, 2},
            {PIDXPtr_CapSlpColor, 0},
            {PIDXPtr_CapMapCharacterSet, 1},
            {PIDX_CapPowerReporting, 1},
            {PIDX_CapStatisticsReporting, 0},
        };
        for (const auto& [index, value] : expected) {
            EXPECT_EQ(printer->GetPropertyNumber(index), value) << index;
        }
        EXPECT_EQ(printer->ResultCode(), 0);
        // Indices this printer does not have answer 106.
        EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_PageModeDescriptor), 0);
        EXPECT_EQ(printer->ResultCode(), 106);

        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_RecBarCodeRotationList), "0,180");
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_RecBitmapRotationList), "0");
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_SlpBitmapRotationList), "");
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_ErrorString), "");
        const bool qmx = name == kQMX5500;
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_FontTypefaceList),
                  qmx ? "1 Font A,2 Font B" : "1 Font A,2 Font B,3 Font C");
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_CharacterSetList),
                  qmx ? "998,999,437,850,852,857,860,863,865,866,1252"
                      : "998,999,437,850,852,857,858,860,863,864,865,866,1252,18");
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_RecLineCharsList), qmx ? "48,64" : "48,64,72");
    }
    // The paper sensor decides which paper sensor capability is reported.
    auto plain = Open<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(plain->GetPropertyNumber(PIDXPtr_CapRecEmptySensor), 1);
    EXPECT_EQ(plain->GetPropertyNumber(PIDXPtr_CapRecNearEndSensor), 0);
}

TEST_F(PrinterDevice, LineLayoutPerModelPaperAndColumn) {
    const LayoutCase cases[] = {
        {kRTK410, "000", "000", "30,40,45", 30, 13},
        {kRTK410, "000", nullptr, "32,42,48", 32, 13},
        {kRTK410, "000", "001", "32,42,48", 32, 13},
        {kRTK410, "002", "000", "42,56,63", 42, 17},
        {kRTK410, "003", "000", "42,56,63", 42, 17},
        {kRTK410, nullptr, nullptr, "48,64,72", 48, 17},
        {kRTK410, "1", "1", "48,64,72", 48, 17},  // short codes are not codes
        {kQMX5500, nullptr, nullptr, "48,64", 48, 17},
        {kQMX5500, "000", "000", "30,40", 30, 13},
        {kQMX5500, "000", "001", "36,48", 36, 13},
        {kQMX5500, "002", "000", "42,56", 42, 17},
        {kRTK6100, "000", "000", "30,40,45", 30, 13},
        {kRTK6100, "000", "002", "36,48,54", 36, 13},
        {kRTK6100, "001", "000", "36,48,54", 36, 13},
        {kRTK6100, "001", nullptr, "36,48,54", 36, 13},
        {kRTK6100, "003", "000", "53,71,80", 53, 17},
        {kRTK6100, "003", "001", "48,64,72", 48, 17},
        {kRTK6100, "003", nullptr, "48,64,72", 48, 17},
        {kRTK6100, "002", "000", "42,56,64", 42, 17},
        {kRTK6100, nullptr, nullptr, "48,64,72", 48, 17},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " paper " + (c.paperModel ? c.paperModel : "-") +
                     " column " + (c.column ? c.column : "-"));
        std::map<std::string, std::string> values;
        if (c.paperModel)
            values["PaperModel"] = c.paperModel;
        if (c.column)
            values["Column"] = c.column;
        std::unique_ptr<CThermalPrinter> printer;
        if (c.device == kRTK410) {
            printer = Open<CPrinterRTK410>(c.device, values);
        } else if (c.device == kQMX5500) {
            printer = Open<CPrinterQMX5500>(c.device, values);
        } else {
            printer = Open<CPrinterRTK6100>(c.device, values);
        }
        EXPECT_EQ(printer->GetPropertyString(PIDXPtr_RecLineCharsList), c.list);
        EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineChars), c.chars);
        EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineWidth), c.chars * 12);
        EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecSidewaysMaxLines), c.sidewaysLines);
    }
}

TEST_F(PrinterDevice, SettersCheckStateAndRefuse) {
    auto printer = Open<CPrinterRTK410>(kRTK410);
    // Open-level setters work before the claim.
    printer->SetPropertyNumber(PIDXPtr_AsyncMode, 5);
    EXPECT_EQ(printer->ResultCode(), 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_AsyncMode), 1);
    printer->SetPropertyNumber(PIDXPtr_AsyncMode, 0);
    printer->SetPropertyNumber(PIDXPtr_RotateSpecial, 258);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_RotateSpecial, 259);
    EXPECT_EQ(printer->ResultCode(), 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RotateSpecial), 259);
    printer->SetPropertyNumber(PIDXPtr_CartridgeNotify, 1);
    EXPECT_EQ(printer->ResultCode(), 104);
    printer->SetPropertyNumber(PIDXPtr_MapMode, 5);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_MapCharacterSet, 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_MapCharacterSet), 0);
    // Read-only properties are refused by the common table.
    printer->SetPropertyNumber(PIDXPtr_RecLineWidth, 100);
    EXPECT_EQ(printer->ResultCode(), 106);

    // Enabled-level setters: 103 open, 105 claimed, and nothing changes.
    printer->SetPropertyNumber(PIDXPtr_RecLineSpacing, 30);
    EXPECT_EQ(printer->ResultCode(), 103);
    ASSERT_EQ(printer->ClaimDevice(0), 0);
    printer->SetPropertyNumber(PIDXPtr_RecLineSpacing, 30);
    EXPECT_EQ(printer->ResultCode(), 105);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineSpacing), 34);
    printer->SetPropertyNumber(PIDXPtr_JrnLineChars, 30);
    EXPECT_EQ(printer->ResultCode(), 105);
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer->ResultCode(), 0);
    printer->SetPropertyNumber(PIDXPtr_JrnLineChars, 30);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_SlpLineSpacing, 30);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_RecLetterQuality, 1);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_RecLineSpacing, 0);
    EXPECT_EQ(printer->ResultCode(), 106);
    printer->SetPropertyNumber(PIDXPtr_RecLineSpacing, 30);
    EXPECT_EQ(printer->ResultCode(), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 33 1E");
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineSpacing), 30);
    // A setter whose bytes cannot be written keeps the old value.
    FakePort::Get().SetWriteError(1460);
    printer->SetPropertyNumber(PIDXPtr_RecLineSpacing, 40);
    EXPECT_EQ(printer->ResultCode(), 112);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineSpacing), 30);
}

TEST_F(PrinterDevice, MapModeConvertsLengths) {
    auto printer = Open<CPrinterRTK410>(kRTK410);
    printer->SetPropertyNumber(PIDXPtr_MapMode, 2);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineWidth), 4085);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineHeight), 24 * 1440 / 203);
    // Lengths that convert to 0 keep their number.
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_JrnLineWidth), 0);
    printer->SetPropertyNumber(PIDXPtr_MapMode, 1);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecLineWidth), 575);

    auto metric = Open<CPrinterQMX5500>(kQMX5500);
    metric->SetPropertyNumber(PIDXPtr_MapMode, 4);
    EXPECT_EQ(metric->ResultCode(), 0);
    EXPECT_EQ(metric->GetPropertyNumber(PIDXPtr_RecLineWidth), 7207);
    EXPECT_EQ(metric->GetPropertyNumber(PIDXPtr_MapMode), 4);
}

TEST_F(PrinterDevice, CharacterSetTablesPerModel) {
    auto rtk = Enable<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_CharacterSet), 437);
    const std::size_t before = FakePort::Get().WriteCount();
    rtk->SetPropertyNumber(PIDXPtr_CharacterSet, 1251);
    EXPECT_EQ(rtk->ResultCode(), 106);
    EXPECT_EQ(FakePort::Get().WriteCount(), before);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_CharacterSet), 437);
    rtk->SetPropertyNumber(PIDXPtr_CharacterSet, 1252);
    EXPECT_EQ(rtk->ResultCode(), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 74 09");
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_CharacterSet), 1252);
    rtk->SetPropertyNumber(PIDXPtr_CharacterSet, 858);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 74 13");
    rtk->SetPropertyNumber(PIDXPtr_CharacterSet, 255);  // outside the list, in the table
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 74 FF");
    // Enabling again selects code page 437, whatever was set before.
    rtk->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    rtk->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_CharacterSet), 437);
    rtk.reset();

    auto qmx = Enable<CPrinterQMX5500>(kQMX5500);
    qmx->SetPropertyNumber(PIDXPtr_CharacterSet, 858);
    EXPECT_EQ(qmx->ResultCode(), 106);
    EXPECT_EQ(qmx->GetPropertyNumber(PIDXPtr_CharacterSet), 437);
    qmx->SetPropertyNumber(PIDXPtr_CharacterSet, 866);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 74 07");
}

TEST_F(PrinterDevice, EnableSendsInitialisation) {
    // The claim's status probe is counted apart; the first write is the initialisation.
    auto printer =
        Enable<CPrinterRTK410>(kRTK410, {{"PaperSensor", "001"}, {"PrinterLanguageModel", "3"}});
    EXPECT_EQ(Hex(FakePort::Get().Writes().at(0)), "1B 40 1B 52 03 1B 63 33 0C");
    printer.reset();

    FakePort::Get().Reset();
    auto pageMode = Enable<CPrinterRTK6100>(kRTK6100, {{"PrinterMode", "001"}});
    EXPECT_EQ(Hex(FakePort::Get().Writes().at(0)), "1B 40 1B 4C 1B 54 00 1B 52 00 1B 63 33 03");

    // An enable whose initialisation cannot be written leaves the printer disabled.
    pageMode->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    FakePort::Get().SetWriteError(1167);
    pageMode->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(pageMode->ResultCode(), 107);
    EXPECT_EQ(pageMode->GetPropertyNumber(PIDX_DeviceEnabled), 0);
    EXPECT_EQ(pageMode->Ports().OpenPortCount(), 0u);
}

// The RT-K6100's built-in model key is the one the USB printer walk and the status monitor
// look for, so an entry without PhysicalDeviceID still finds its USB port and profile.
TEST_F(PrinterDevice, ModelKeyWithoutPhysicalDeviceID) {
    auto rtk6100 = Enable<CPrinterRTK6100>(kRTK6100);
    EXPECT_EQ(rtk6100->PhysicalDeviceID(), "TALVERNRT-K6100");
    auto entry = rtk6100->Ports().FindEntry("COM7");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->io.modelKey, "TALVERNRT-K6100");
    rtk6100.reset();

    auto named = Open<CPrinterRTK6100>(kRTK6100, {{"PhysicalDeviceID", "OTHERKEY"}});
    EXPECT_EQ(named->PhysicalDeviceID(), "OTHERKEY");
}

TEST_F(PrinterDevice, ClaimProbesThePrinter) {
    auto printer = Open<CPrinterRTK410>(kRTK410);
    // The port opens but nothing answers the status request.
    FakePort::Get().SetAnswers(false);
    EXPECT_EQ(printer->ClaimDevice(0), 107);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_Claimed), 0);
    EXPECT_EQ(FakePort::Get().StatusRequests(), 1);
    EXPECT_TRUE(FakePort::Get().Writes().empty());
    EXPECT_EQ(printer->Ports().OpenPortCount(), 0u);
    FakePort::Get().SetAnswers(true);
    EXPECT_EQ(printer->ClaimDevice(0), 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_Claimed), 1);
    EXPECT_EQ(printer->Ports().OpenPortCount(), 0u);  // the probe lets the port go
    EXPECT_EQ(printer->ClaimDevice(0), 106);
}

TEST_F(PrinterDevice, RecLineCharsSelectsTheFont) {
    auto rtk = Enable<CPrinterRTK410>(kRTK410);
    const std::size_t before = FakePort::Get().WriteCount();
    for (LONG refused : {73, 0, -1}) {
        rtk->SetPropertyNumber(PIDXPtr_RecLineChars, refused);
        EXPECT_EQ(rtk->ResultCode(), 106) << refused;
    }
    EXPECT_EQ(FakePort::Get().WriteCount(), before);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineChars), 48);

    rtk->SetPropertyNumber(PIDXPtr_RecLineChars, 64);
    EXPECT_EQ(rtk->ResultCode(), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 4D 01");
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineWidth), 576);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineHeight), 17);
    rtk->SetPropertyNumber(PIDXPtr_RecLineHeight, 24);
    EXPECT_EQ(rtk->ResultCode(), 106);
    rtk->SetPropertyNumber(PIDXPtr_RecLineHeight, 17);
    EXPECT_EQ(rtk->ResultCode(), 0);

    rtk->SetPropertyNumber(PIDXPtr_RecLineChars, 72);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 4D 02");
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineWidth), 576);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineHeight), 16);
    rtk->SetPropertyNumber(PIDXPtr_RecLineHeight, 16);
    EXPECT_EQ(rtk->ResultCode(), 0);

    rtk->SetPropertyNumber(PIDXPtr_RecLineChars, 40);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1B 4D 00");
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineWidth), 480);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineHeight), 24);

    // Widths follow MapMode.
    rtk->SetPropertyNumber(PIDXPtr_MapMode, 2);
    rtk->SetPropertyNumber(PIDXPtr_RecLineChars, 48);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDXPtr_RecLineWidth), 4085);
    rtk.reset();

    auto qmx = Enable<CPrinterQMX5500>(kQMX5500);
    qmx->SetPropertyNumber(PIDXPtr_RecLineChars, 72);
    EXPECT_EQ(qmx->ResultCode(), 106);
    qmx->SetPropertyNumber(PIDXPtr_RecLineChars, 64);
    EXPECT_EQ(qmx->ResultCode(), 0);
    EXPECT_EQ(qmx->GetPropertyNumber(PIDXPtr_RecLineHeight), 24);
    qmx->SetPropertyNumber(PIDXPtr_RecLineHeight, 17);
    EXPECT_EQ(qmx->ResultCode(), 106);
    qmx->SetPropertyNumber(PIDXPtr_RecLineHeight, 24);
    EXPECT_EQ(qmx->ResultCode(), 0);
}

TEST_F(PrinterDevice, PowerNotifyOnSerialPorts) {
    auto rtk = Open<CPrinterRTK410>(kRTK410);
    rtk->SetPropertyNumber(PIDX_PowerNotify, 1);
    EXPECT_EQ(rtk->ResultCode(), 106);
    EXPECT_EQ(rtk->GetPropertyNumber(PIDX_PowerNotify), 0);
    auto usb = Open<CPrinterRTK6100>(kRTK6100);
    usb->SetPropertyNumber(PIDX_PowerNotify, 1);
    EXPECT_EQ(usb->ResultCode(), 0);
    EXPECT_EQ(usb->GetPropertyNumber(PIDX_PowerNotify), 1);
}

TEST_F(PrinterDevice, PrintMethodsWriteTranslatedBytes) {
    auto printer = Enable<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(printer->PrintNormal(2, "AB\x1B|bCCD\x1B|N"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "41 42 1B 45 01 43 44 1B 45 00");
    // Any station prints on the receipt paper.
    EXPECT_EQ(printer->PrintNormal(1, "x"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "78");
    EXPECT_EQ(printer->PrintImmediate(2, "A\rB"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "41 0A 42");
    // Nothing to print is not an error and writes nothing.
    const std::size_t before = FakePort::Get().WriteCount();
    EXPECT_EQ(printer->PrintNormal(2, ""), 0);
    EXPECT_EQ(printer->PrintNormal(2, "\x1B|2xE"), 0);
    EXPECT_EQ(FakePort::Get().WriteCount(), before);
    EXPECT_EQ(printer->PrintTwoNormal(3, "a", "b"), 106);

    // Text follows the printer's code page while MapCharacterSet is on.
    printer->SetPropertyNumber(PIDXPtr_CharacterSet, 850);
    EXPECT_EQ(printer->PrintNormal(2, "\xE9"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "82");
    printer->SetPropertyNumber(PIDXPtr_MapCharacterSet, 0);
    EXPECT_EQ(printer->PrintNormal(2, "\xE9"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "E9");

    // Decimal binary conversion happens before the translation.
    printer->SetPropertyNumber(PIDX_BinaryConversion, 2);
    EXPECT_EQ(printer->PrintNormal(2, "065066"), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "41 42");
    EXPECT_EQ(printer->PrintNormal(2, "0650"), 106);

    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 105);
}

TEST_F(PrinterDevice, ValidateDataResults) {
    auto rtk = Enable<CPrinterRTK410>(kRTK410);
    const std::size_t before = FakePort::Get().WriteCount();
    EXPECT_EQ(rtk->ValidateData(2, "plain"), 0);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|iC"), 111);
    EXPECT_EQ(rtk->ValidateData(2, "A\rB"), 111);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|21B"), 111);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|1B"), 0);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|3fT"), 0);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|sP"), 106);
    EXPECT_EQ(rtk->ValidateData(2, "\x1B|3rC"), 106);
    EXPECT_EQ(FakePort::Get().WriteCount(), before);
    rtk.reset();

    auto qmx = Enable<CPrinterQMX5500>(kQMX5500);
    EXPECT_EQ(qmx->ValidateData(2, "\x1B|3fT"), 111);
    EXPECT_EQ(qmx->ValidateData(2, "\x1B|3rC"), 106);
    EXPECT_EQ(qmx->ValidateData(2, "\x1B|2rC"), 0);
}

TEST_F(PrinterDevice, PrinterConditionsStopSynchronousOutput) {
    auto printer = Enable<CPrinterRTK410>(kRTK410);
    const std::size_t before = FakePort::Get().WriteCount();
    EXPECT_EQ(printer->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_CoverOpen), 1);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 114);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
    // The cover is reported first, then the paper.
    printer->FireStatusUpdate(PTR_SUE_REC_EMPTY);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecEmpty), 1);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 114);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
    printer->FireStatusUpdate(PTR_SUE_COVER_OK);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 114);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), 203);
    // The journal station has no paper sensor here.
    EXPECT_EQ(printer->PrintNormal(1, "x"), 0);
    EXPECT_EQ(FakePort::Get().WriteCount(), before + 1);
    printer->FireStatusUpdate(PTR_SUE_REC_NEAREMPTY);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecNearEnd), 1);
    printer->FireStatusUpdate(PTR_SUE_REC_PAPEROK);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecEmpty), 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_RecNearEnd), 0);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 0);

    // Port errors arrive as result codes.
    FakePort::Get().SetWriteError(21);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 108);
    FakePort::Get().SetWriteError(1460);
    EXPECT_EQ(printer->PrintNormal(2, "x"), 112);
    EXPECT_EQ(printer->CheckHealth(OPOS_CH_EXTERNAL), 112);
    EXPECT_EQ(printer->GetPropertyString(PIDX_CheckHealthText), "External HCheck: Not Responding");
    FakePort::Get().SetWriteError(0);
    EXPECT_EQ(printer->CheckHealth(OPOS_CH_EXTERNAL), 0);
    EXPECT_EQ(printer->GetPropertyString(PIDX_CheckHealthText), "External HCheck: Successful");
    EXPECT_EQ(Hex(FakePort::Get().Writes().back()), "1D 28 41 02 00 00 02");
    EXPECT_EQ(printer->CheckHealth(OPOS_CH_INTERNAL), 106);

    // The last reported cover state does not outlive a disable: the next enable's status
    // interpreter reports it again if it still holds.
    printer->FireStatusUpdate(PTR_SUE_COVER_OPEN);
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(printer->ResultCode(), 0);
    EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_CoverOpen), 0);
}

// The printer reports its cover open (and so offline) before the device is enabled: a
// print at once after the enable is judged by the printer's first block of this enable,
// not by the "cover closed" the device starts from.
TEST_F(PrinterDevice, APrintRightAfterEnablingIsJudgedByThePrintersFirstBlock) {
    for (const bool qmx : {false, true}) {
        SCOPED_TRACE(qmx ? "QMX5500" : "RT-K410");
        FakePort::Get().SetStatus(std::string("\x38\0\0\0", 4));
        std::unique_ptr<CThermalPrinter> printer;
        if (qmx) {
            printer = Enable<CPrinterQMX5500>(kQMX5500);
        } else {
            printer = Enable<CPrinterRTK410>(kRTK410);
        }
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(printer->PrintNormal(2, "not now"), 114);
        EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
        EXPECT_EQ(printer->GetPropertyNumber(PIDXPtr_CoverOpen), 1);
        // A queued print is judged by it too.
        printer->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
        control_.SetErrorAnswer([](const ControlEvent&) { return OPOS_ER_CLEAR; });
        control_.Clear();
        EXPECT_EQ(printer->PrintNormal(2, "not now"), 0);
        ASSERT_TRUE(control_.WaitFor(ControlEvent::Error, 1));
        EXPECT_EQ(control_.EventsOf(ControlEvent::Error).at(0).value2, 201);
        printer.reset();
        EXPECT_EQ(FakePort::Get().AllWritten().find("not now"), std::string::npos);
    }
}

TEST_F(PrinterDevice, TransactionGathersPrintsIntoOneWrite) {
    auto printer = Enable<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 106);
    EXPECT_EQ(printer->TransactionPrint(2, 13), 106);
    EXPECT_EQ(printer->TransactionPrint(3, PTR_TP_TRANSACTION), 106);
    const std::size_t before = FakePort::Get().WriteCount();
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_TRANSACTION), 0);
    EXPECT_EQ(printer->PrintNormal(2, "one"), 0);
    EXPECT_EQ(printer->PrintNormal(2, "two"), 0);
    EXPECT_EQ(FakePort::Get().WriteCount(), before);
    // Immediate output does not wait for the transaction.
    EXPECT_EQ(printer->PrintImmediate(2, "now"), 0);
    EXPECT_EQ(FakePort::Get().Writes().back(), "now");
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 0);
    EXPECT_EQ(FakePort::Get().WriteCount(), before + 2);
    EXPECT_EQ(FakePort::Get().Writes().back(), "onetwo");
    // The receipt is printed once: a second end of the transaction finds nothing.
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 106);
    EXPECT_EQ(FakePort::Get().WriteCount(), before + 2);

    // A transaction that could not be printed is kept for the application's retry.
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_TRANSACTION), 0);
    EXPECT_EQ(printer->PrintNormal(2, "three"), 0);
    printer->FireStatusUpdate(PTR_SUE_COVER_OPEN);
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 114);
    EXPECT_EQ(printer->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
    printer->FireStatusUpdate(PTR_SUE_COVER_OK);
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 0);
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 106);
    EXPECT_EQ(FakePort::Get().WriteCount(), before + 3);
    EXPECT_EQ(FakePort::Get().Writes().back(), "three");
}

TEST_F(PrinterDevice, ClearOutputNeedsOnlyTheClaim) {
    auto printer = Open<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(printer->ClearOutput(), 103);
    ASSERT_EQ(printer->ClaimDevice(0), 0);
    EXPECT_EQ(printer->ClearOutput(), 0);
    printer->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    // A cleared transaction buffer prints nothing when the transaction ends.
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_TRANSACTION), 0);
    EXPECT_EQ(printer->PrintNormal(2, "lost"), 0);
    EXPECT_EQ(printer->ClearOutput(), 0);
    EXPECT_EQ(printer->TransactionPrint(2, PTR_TP_NORMAL), 106);
    EXPECT_EQ(FakePort::Get().AllWritten().find("lost"), std::string::npos);
}

TEST_F(PrinterDevice, LogosAreStoredUnchanged) {
    auto printer = Enable<CPrinterRTK410>(kRTK410);
    EXPECT_EQ(printer->SetLogo(PTR_L_TOP, "first"), 0);
    EXPECT_EQ(printer->SetLogo(PTR_L_TOP, "\x1B|bCtop"), 0);
    EXPECT_EQ(printer->SetLogo(PTR_L_BOTTOM, "end"), 0);
    EXPECT_EQ(printer->SetLogo(3, "x"), 106);
    EXPECT_EQ(printer->PrintNormal(2, "\x1B|tL-\x1B|bL"), 0);
    EXPECT_EQ(FakePort::Get().Writes().back(), "\x1B|bCtop-end");
}

namespace {

// A 1-bit bottom-up BMP, 10 x 2: black at (0, 0) and (9, 1); palette 0 black, 1 white.
std::string TinyBitmap() {
    auto le32 = [](std::string* s, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s->push_back(static_cast<char>(v >> (8 * i)));
    };
    auto le16 = [](std::string* s, uint16_t v) {
        s->push_back(static_cast<char>(v));
        s->push_back(static_cast<char>(v >> 8));
    };
    const uint32_t size = 14 + 40 + 8 + 2 * 4;
    std::string f = "BM";
    le32(&f, size);
    le32(&f, 0);
    le32(&f, 14 + 40 + 8);
    le32(&f, 40);
    le32(&f, 10);
    le32(&f, 2);
    le16(&f, 1);
    le16(&f, 1);
    for (int i = 0; i < 6; ++i)
        le32(&f, 0);
    f += std::string("\0\0\0\0\xFF\xFF\xFF\0", 8);
    f += std::string("\xFF\xBF\xFF\xFF", 4);  // bottom row: x = 9 black
    f += std::string("\x7F\xFF\xFF\xFF", 4);  // top row: x = 0 black
    return f;
}

}  // namespace

TEST_F(PrinterDevice, BitmapFilesAreCheckedAndRendered) {
    CPrinterRTK410 printer;
    const std::string path = TempDir() + "/tiny.bmp";
    std::string file = TinyBitmap();
    std::ofstream(path, std::ios::binary) << file;
    std::string read;
    LONG error = -1;
    ASSERT_TRUE(printer.ReadBitmapFile(path, &read, &error));
    EXPECT_EQ(read, file);
    LONG width = 0, height = 0;
    std::string rows;
    ASSERT_TRUE(printer.RenderBitmap(read, &width, &height, &rows, PTR_BM_ASIS));
    EXPECT_EQ(width, 10);
    EXPECT_EQ(height, 2);
    // Top row first, black as set bits, nothing beyond the width.
    EXPECT_EQ(Hex(rows), "80 00 00 00 00 40 00 00");
    // A wider width pads the picture with white, it does not stretch it; a narrower one
    // crops the right side.
    ASSERT_TRUE(printer.RenderBitmap(read, &width, &height, &rows, 20));
    EXPECT_EQ(width, 20);
    EXPECT_EQ(Hex(rows), "80 00 00 00 00 40 00 00");
    ASSERT_TRUE(printer.RenderBitmap(read, &width, &height, &rows, 9));
    EXPECT_EQ(Hex(rows), "80 00 00 00 00 00 00 00");

    // A size field that does not match the file is a bad format.
    file[2] = static_cast<char>(file[2] - 1);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    EXPECT_FALSE(printer.ReadBitmapFile(path, &read, &error));
    EXPECT_EQ(error, 114);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCodeExtended), 207);
    // A file that cannot be opened does not exist as far as the application can tell.
    EXPECT_FALSE(printer.ReadBitmapFile(TempDir() + "/missing.bmp", &read, &error));
    EXPECT_EQ(error, 109);
    // Truncated or hostile headers are refused, never read beyond the file.
    EXPECT_FALSE(printer.RenderBitmap(file.substr(0, 60), &width, &height, &rows, PTR_BM_ASIS));
    std::string huge = TinyBitmap();
    huge[18] = '\xFF';
    huge[19] = '\xFF';
    EXPECT_FALSE(printer.RenderBitmap(huge, &width, &height, &rows, PTR_BM_ASIS));
}
