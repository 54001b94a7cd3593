// The printed demonstrations of PrnExerciser: the property report, the escape sequence
// sheet, the character set table and the method walk-through, started from their menu
// items. On the real control and service objects the RT-K410 prints them on the virtual
// printer, and the test reads back the text lines the printer decoded; stand-in control
// objects cover the stations and answers the RT-K410 cannot give (journal, slip, refusals).
#include <QtTest>
#include <algorithm>

#include "exerciser/EscapeSheet.h"
#include "exerciser/ParentForm.h"
#include "exerciser/PropertyReport.h"
#include "exerciser/ScriptedDemos.h"
#include "opos/OposConstants.h"
#include "tests/exerciser/ExerciserTestSupport.h"
#include "tests/so/TestSupport.h"
#include "tests/support/virtual_printer.h"

using namespace extest;
namespace vp = thermpos::vprinter;
using namespace std::chrono_literals;

namespace {

const std::string kCrLf = "\r\n";
const std::string kEsc = "\x1b";

using Lines = std::vector<std::string>;

// A text as the printer's command log shows it: bytes outside printable ASCII (and quotes
// and backslashes) as \xNN, a run longer than 80 logged characters cut with "...".
std::string LogForm(const std::string& text) {
    std::string t;
    for (size_t k = 0; k < text.size() && t.size() < 80; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            t += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            t += hex;
        }
    }
    return t.size() >= 80 ? t + "..." : t;
}

// Print data without its line end, in log form.
std::string Printed(const std::string& data) {
    std::string text = data;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return LogForm(text);
}

Lines Slice(const Lines& lines, size_t from, size_t count) {
    if (from > lines.size())
        return {};
    return Lines(lines.begin() + from, lines.begin() + std::min(lines.size(), from + count));
}

size_t IndexOf(const Lines& lines, const std::string& line, size_t from = 0) {
    auto it = std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line);
    return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
}

size_t Count(const Lines& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The data of each PrintNormal a stand-in received, in order.
Lines PrintedData(FakeControl* printer, const std::string& station) {
    Lines out;
    const std::string head = "PrintNormal(" + station + ",";
    for (const std::string& c : printer->CallsOf(head))
        out.push_back(c.substr(head.size(), c.size() - head.size() - 1));
    return out;
}

}  // namespace

class ScriptsTest : public QObject {
    Q_OBJECT

  private:
    // ---- the real control objects and the RT-K410 on the virtual printer ----
    std::unique_ptr<vp::VirtualPrinter> vp_;
    std::string outDir_;
    std::unique_ptr<ScriptedMessages> messages_;
    std::unique_ptr<ParentForm> window_;

    ParentForm& W() { return *window_; }
    QStringList Results() { return extest::ResultLines(W()); }

    // Opens, claims and enables the RT-K410 from the control panel.
    void StartRealPrinter() {
        vp_ = std::make_unique<vp::VirtualPrinter>();
        std::string error;
        outDir_ = thermpos::testing::StartOnPty(*vp_, kPort, "scripts", &error);
        QVERIFY2(!outDir_.empty(), error.c_str());
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}});
        messages_ = std::make_unique<ScriptedMessages>();
        window_ = std::make_unique<ParentForm>(*messages_);
        window_->show();
        QVERIFY(extest::OpenClaimEnable(W(), kPrinter));
        QCOMPARE(W().Module().CurrentStation, LONG(PTR_S_RECEIPT));
    }

    // The commands the printer decoded ("ESC t  n=16", "TEXT  \"abc\"") and the text lines
    // they make: TEXT runs joined up to each command that prints the line (LF and the
    // feeds), in log form.
    Lines DecodedCommands() const { return thermpos::testing::LoggedCommands(outDir_); }
    Lines DecodedLines() const {
        Lines out;
        std::string current;
        for (const std::string& c : DecodedCommands()) {
            if (c.rfind("TEXT  \"", 0) == 0 && c.size() >= 8)
                current += c.substr(7, c.size() - 8);
            else if (c == "LF" || c.rfind("ESC d", 0) == 0 || c.rfind("ESC J", 0) == 0) {
                out.push_back(current);
                current.clear();
            }
        }
        return out;
    }
    // Waits until the printer has decoded a line (the scripts print synchronously, but the
    // printer may still be working through the last bytes).
    bool WaitLine(const std::string& line) {
        return vp_->WaitStatus(
            [&](const vp::PrinterStatus&) {
                return IndexOf(DecodedLines(), line) != std::string::npos;
            },
            15s);
    }

    // ---- stand-ins ----
    struct Program {
        explicit Program(ScriptedMessages& messages, LONG station = PTR_S_RECEIPT)
            : printer(extest::ClosedPrinter()), drawer(FakeControl::Create()) {
            printer->numbers["State"] = OPOS_S_IDLE;
            printer->numbers["RecLinesToPaperCut"] = 3;
            printer->numbers["CapCharacterSet"] = PTR_CCS_ALPHA;
            printer->numbers["CharacterSet"] = 437;
            printer->strings["CharacterSetList"] = "437";
            for (const char* cap : {"CapRecBarCode", "CapRecBitmap", "CapSlpBarCode",
                                    "CapSlpBitmap", "CapSlpEmptySensor"}) {
                printer->numbers[cap] = 1;
                printer->bools.insert(cap);
            }
            printer->onCall = nullptr;
            drawer->numbers["ResultCode"] = OPOS_SUCCESS;
            window = std::make_unique<ParentForm>(messages, printer, drawer);
            window->Module().CurrentStation = station;
            printer->calls.clear();
        }
        ~Program() {
            window.reset();
            printer->Release();
            drawer->Release();
        }
        void Run(const char* menuItem) { window->Action(menuItem)->trigger(); }
        FakeControl* printer;
        FakeControl* drawer;
        std::unique_ptr<ParentForm> window;
    };

  private slots:
    void initTestCase() {
        QCOMPARE(sotest::RegisterServer(sotest::ServerPath()), LONG(S_OK));
        QCOMPARE(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), LONG(S_OK));
    }

    void init() {
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        sotest::WriteDevice("POSPrinter", kPrinter, {});
        sotest::WriteDevice("CashDrawer", kDrawer, {});
    }

    void cleanup() {
        window_.reset();
        messages_.reset();
        vp_.reset();
    }

    void propertyReportPrintsEveryPropertyInItsField() {
        StartRealPrinter();
        W().Action("PrintProperties")->trigger();
        const auto& properties = exerciser::ReportProperties();
        QVERIFY(
            WaitLine(LogForm(std::string("SlpBarCodeRotationList") + std::string(3, ' ') + "= " +
                             W().Module().PrinterCO.GetString("SlpBarCodeRotationList"))));
        const Lines lines = DecodedLines();
        const size_t first = IndexOf(lines, "BinaryConversion         = OPOS_BC_NONE");
        QVERIFY(first != std::string::npos);
        const Lines report = Slice(lines, first, properties.size());
        QCOMPARE(report.size(), properties.size());
        for (size_t i = 0; i < report.size(); ++i) {
            const std::string name = properties[i].name;
            QVERIFY2(report[i].rfind(name + " ", 0) == 0, report[i].c_str());
            QVERIFY2(report[i].size() >= 27 && report[i].substr(25, 2) == "= ", report[i].c_str());
        }
        for (const char* expected : {
                 "CapPowerReporting        = OPOS_PR_STANDARD",
                 "Claimed                  = True",
                 "FreezeEvents             = False",
                 "PowerNotify              = OPOS_PN_DISABLED",
                 "ResultCode               = OPOS_SUCCESS",
                 "State                    = OPOS_S_IDLE",
                 "CapCharacterSet          = PTR_CCS_KANJI",
                 "CapJrnPresent            = False",
                 "CapRecPresent            = True",
                 "CharacterSet             = 437",
                 "ErrorLevel               = PTR_EL_NONE",
                 "MapMode                  = PTR_MM_DOTS",
                 "RotateSpecial            = PTR_RP_NORMAL",
                 "RecLineChars             = 48",
             })
            QVERIFY2(std::find(report.begin(), report.end(), expected) != report.end(), expected);
        // A list too long for one log record still starts where the field says.
        QVERIFY(std::find(report.begin(), report.end(),
                          LogForm("CharacterSetList         = " +
                                  W().Module().PrinterCO.GetString("CharacterSetList"))) !=
                report.end());

        // Fed to the knife and cut, the idle flag re-armed.
        QVERIFY(vp_->WaitReceipts(1, 15s));
        const QStringList results = Results();
        QCOMPARE(results.first(), QString("RotatePrint : Successful"));
        const LONG toCut = W().Module().PrinterCO.GetLong("RecLinesToPaperCut");
        QCOMPARE(results.count("PrintNormal : Successful"),
                 qsizetype(properties.size() + toCut + 1));
        QVERIFY(results.last().startsWith("TransactionPrint : "));
        QVERIFY(W().Module().PrinterCO.GetBool("FlagWhenIdle"));
        QVERIFY(!W().StatusWindow()->Checked(StatusBox::FlagIdle));
    }

    void propertyReportValuesOutsideTheTablesAndOnTheJournal() {
        using exerciser::PropertyReportLine;
        using exerciser::ReportProperty;
        ScriptedMessages messages;
        Program p(messages, PTR_S_JOURNAL);
        auto& co = p.window->Module().PrinterCO;
        auto property = [](const char* name) {
            const auto& all = exerciser::ReportProperties();
            return *std::find_if(all.begin(), all.end(), [&](const ReportProperty& r) {
                return std::string(r.name) == name;
            });
        };
        auto line = [&](const char* name, LONG value) {
            p.printer->numbers[name] = value;
            return PropertyReportLine(co, property(name));
        };
        QCOMPARE(line("ErrorStation", 32771),
                 "ErrorStation             = PTR_TWO_RECEIPT_JOURNAL" + kCrLf);
        QCOMPARE(line("ErrorStation", 7), "ErrorStation             = Error !? (7)" + kCrLf);
        QCOMPARE(line("BinaryConversion", 5), "BinaryConversion         = Error !? (5)" + kCrLf);
        QCOMPARE(line("PowerState", 2000), "PowerState               = OPOS_PS_UNKNOWN" + kCrLf);
        QCOMPARE(line("ResultCode", 102), "ResultCode               = OPOS_E_CLAIMED" + kCrLf);
        QCOMPARE(line("ResultCodeExtended", 0), "ResultCodeExtended       = Error !? (0)" + kCrLf);
        p.printer->strings["CheckHealthText"] = "";
        QCOMPARE(PropertyReportLine(co, property("CheckHealthText")),
                 "CheckHealthText          = " + kCrLf);
        QCOMPARE(PropertyReportLine(co, property("ControlObjectDescription")).substr(24, 3),
                 std::string(" = "));

        // On the journal: the cut and the closing TransactionPrint, without the feed.
        p.Run("PrintProperties");
        const Lines printed = PrintedData(p.printer, "1");
        QCOMPARE(printed.size(), exerciser::ReportProperties().size() + 1);
        QCOMPARE(printed.back(), kEsc + "|P");
        QCOMPARE(p.printer->CallsOf("TransactionPrint"), Lines{"TransactionPrint(1,12)"});
        QCOMPARE(p.printer->CallsOf("FlagWhenIdle="), Lines{"FlagWhenIdle=1"});

        // Not ready and cancelled: nothing is printed.
        p.printer->calls.clear();
        p.printer->numbers["State"] = OPOS_S_CLOSED;
        p.Run("PrintProperties");
        QVERIFY(p.printer->CallsOf("PrintNormal").empty());
        QVERIFY(p.printer->CallsOf("RotatePrint").empty());
    }

    void escapeSheetOnTheReceipt() {
        StartRealPrinter();
        W().Action("EscSequence")->trigger();
        QVERIFY(WaitLine(LogForm("Print bottom logo (<ESC>|bL)")) ||
                WaitLine(LogForm("ESC|bL Not Supported, ResultCode Returned:OPOS_E_FAILURE")));
        const Lines lines = DecodedLines();
        auto has = [&](const std::string& text) {
            return IndexOf(lines, Printed(text)) != std::string::npos;
        };
        // Every entry is there as its caption or as its not-supported line.
        auto& co = W().Module().PrinterCO;
        const auto entries = exerciser::EscapeEntries(PTR_S_RECEIPT, co.GetLong("RecLineSpacing"),
                                                      co.GetLong("RecLinesToPaperCut"));
        int supported = 0;
        for (const auto& e : entries) {
            QVERIFY2(has(e.caption) != has(e.notSupported), e.caption.c_str());
            supported += has(e.caption) ? 1 : 0;
        }
        // What this printer does and does not do.
        QVERIFY(has("Bold (<ESC>|bC)"));
        const Lines commands = DecodedCommands();
        QVERIFY(IndexOf(commands, "ESC E  n=1") != std::string::npos);  // bold on
        QVERIFY(has("Paper cut (<ESC>|#P)"));
        QVERIFY(has("Double high & wide (<ESC>|4C)"));
        QVERIFY(has("Center (<ESC>|cA)"));
        QVERIFY(has("ESC|sL Not Supported, ResultCode Returned:OPOS_E_FAILURE"));
        QVERIFY(has("ESC|iC Not Supported, ResultCode Returned:OPOS_E_FAILURE"));
        // The device reports Kanji: its sample follows the supported attribute entries.
        QCOMPARE(co.GetLong("CapCharacterSet"), PTR_CCS_KANJI);
        int kanjiEntries = 0;
        for (const auto& e : entries)
            kanjiEntries += has(e.caption) && !e.kanjiLine.empty() ? 1 : 0;
        const std::string kanji = LogForm(exerciser::kKanjiSample);
        QCOMPARE(std::count(lines.begin(), lines.end(), "     " + kanji) +
                     std::count(lines.begin(), lines.end(), kanji),
                 std::ptrdiff_t(kanjiEntries));
        QVERIFY(kanjiEntries > 10);

        const QStringList results = Results();
        QCOMPARE(results.first(), QString("RotatePrint : Successful"));
        QCOMPARE(results.count("SetBitmap : Successful"), 1);
        QCOMPARE(results.count("SetLogo : Successful"), 2);
        QVERIFY(supported > 20);
        QVERIFY(co.GetBool("FlagWhenIdle"));
    }

    void escapeSheetRefusalsOnlyFailureMeansNotSupported() {
        ScriptedMessages messages;
        // Any refusal but OPOS_E_FAILURE: every caption, sample and Kanji line prints.
        {
            Program p(messages);
            p.printer->numbers["CapCharacterSet"] = PTR_CCS_KANJI;
            p.printer->numbers["RecLineSpacing"] = 30;
            p.printer->results["ValidateData"] = OPOS_E_ILLEGAL;
            p.Run("EscSequence");
            const Lines printed = PrintedData(p.printer, "2");
            QCOMPARE(Count(printed, "ESC|"), size_t(0));
            for (const auto& e : exerciser::EscapeEntries(PTR_S_RECEIPT, 30, 3)) {
                QVERIFY2(IndexOf(printed, e.caption + kCrLf) != std::string::npos,
                         e.caption.c_str());
                for (const std::string& s : e.samples)
                    QVERIFY(IndexOf(printed, s) != std::string::npos);
            }
            size_t kanji = 0;
            for (const std::string& d : printed)
                kanji += d.find(exerciser::kKanjiSample) != std::string::npos ? 1 : 0;
            QCOMPARE(kanji, size_t(38));
            QVERIFY(IndexOf(printed, "Print bitmap (<ESC>|1B)" + kCrLf) != std::string::npos);
            QVERIFY(IndexOf(printed, "Print top logo (<ESC>|tL)" + kCrLf) != std::string::npos);
            QCOMPARE(p.printer->CallsOf("ValidateData(2," + kEsc + "|60uF)").size(), size_t(1));
            QCOMPARE(p.printer->CallsOf("SetBitmap").size(), size_t(1));
            QVERIFY(p.printer->CallsOf("SetBitmap")[0].find("/PelkoLogo.bmp,-11,-2)") !=
                    std::string::npos);
        }
        // OPOS_E_FAILURE everywhere, on the journal: only the not-supported lines, the feed
        // units from the journal's spacing, no feed to the knife and no SetBitmap.
        {
            Program p(messages, PTR_S_JOURNAL);
            p.printer->numbers["JrnLineSpacing"] = 12;
            p.printer->numbers["CapCharacterSet"] = PTR_CCS_KANJI;
            p.printer->results["ValidateData"] = OPOS_E_FAILURE;
            p.Run("EscSequence");
            const Lines printed = PrintedData(p.printer, "1");
            QCOMPARE(p.printer->CallsOf("ValidateData(1," + kEsc + "|24uF)").size(), size_t(1));
            QVERIFY(IndexOf(printed,
                            "ESC| JrnLineSpacing * 2 uF Not Supported, ResultCode "
                            "Returned:OPOS_E_FAILURE" +
                                kCrLf) != std::string::npos);
            QVERIFY(IndexOf(printed, "ESC|0fT  Not Supported, ResultCode Returned:OPOS_E_FAILURE" +
                                         kCrLf) != std::string::npos);
            const size_t entries = exerciser::EscapeEntries(PTR_S_JOURNAL, 12, 0).size();
            // The entries, the cut, then the bitmap and the two logos.
            QCOMPARE(printed.size(), entries + 1 + 3);
            QCOMPARE(Count(printed, "ESC|"), entries + 3);
            QCOMPARE(printed[entries], kEsc + "|P");
            QVERIFY(p.printer->CallsOf("SetBitmap").empty());
            QCOMPARE(p.printer->CallsOf("SetLogo").size(), size_t(2));
        }
    }

    void characterSetTableOnTheReceipt() {
        StartRealPrinter();
        auto& co = W().Module().PrinterCO;
        const LONG before = co.GetLong("CharacterSet");
        QCOMPARE(before, LONG(437));
        W().Action("Characterset")->trigger();
        QVERIFY(vp_->WaitReceipts(1, 15s));
        const Lines lines = DecodedLines();
        QVERIFY(IndexOf(lines, "Current CharacterSet = 437") != std::string::npos);
        for (const char* set : {"437", "1252"}) {
            const size_t at = IndexOf(lines, std::string("CharacterSet = ") + set);
            QVERIFY2(at != std::string::npos, set);
            const Lines table = Slice(lines, at + 1, 15);
            QCOMPARE(table.size(), size_t(15));
            // The printable ASCII rows arrive as they were sent; the rest keep the layout.
            const auto rows = exerciser::CharacterTableRows(std::atoi(set));
            for (size_t r = 0; r < 6; ++r)
                QCOMPARE(table[r], Printed(rows[r]));
            for (size_t r = 6; r < 14; ++r)
                QVERIFY(table[r].rfind(std::string(13, ' '), 0) == 0);
            QCOMPARE(table[14], std::string());
        }
        // The set in force before the table is back, at the device and at the printer.
        QCOMPARE(co.GetLong("CharacterSet"), before);
        const Lines commands = DecodedCommands();
        auto lastTable = std::find_if(commands.rbegin(), commands.rend(), [](const std::string& c) {
            return c.rfind("ESC t", 0) == 0;
        });
        QVERIFY(lastTable != commands.rend());
        QCOMPARE(*lastTable, std::string("ESC t  n=0"));
        const QStringList results = Results();
        QCOMPARE(results.mid(0, 2),
                 QStringList({"TransactionPrint : Successful", "RotatePrint : Successful"}));
        QCOMPARE(results.last(), QString("TransactionPrint : Successful"));
    }

    void characterSetTableOfCodePage932AndARefusedSet() {
        ScriptedMessages messages;
        Program p(messages);
        p.printer->numbers["CharacterSet"] = 850;
        p.printer->strings["CharacterSetList"] = "932";
        p.Run("Characterset");
        const Lines printed = PrintedData(p.printer, "2");
        QVERIFY(printed.size() >= 7);
        QCOMPARE(printed[0], "Current CharacterSet = 850" + kCrLf);
        QCOMPARE(printed[1], "CharacterSet = 932" + kCrLf);
        for (int row = 0; row < 4; ++row) {
            std::string expected(14, ' ');
            for (int code = 160 + row * 16; code < 176 + row * 16; ++code)
                expected += std::string(1, static_cast<char>(code)) + " ";
            // The stand-in hands strings back in the ANSI code page as they came.
            QCOMPARE(printed[2 + row].size(), expected.size() + 2);
        }
        QCOMPARE(printed[6], kCrLf);
        QCOMPARE(p.printer->CallsOf("CharacterSet="),
                 (Lines{"CharacterSet=932", "CharacterSet=850"}));
        QCOMPARE(p.printer->CallsOf("BinaryConversion="), Lines{"BinaryConversion=0"});

        // An empty list prints the heading and the cut only; odd items count as 0.
        QVERIFY(exerciser::CharacterSetEntries("").empty());
        QCOMPARE(exerciser::CharacterSetEntries("437, 1252,x,99999999999"),
                 (std::vector<LONG>{437, 1252, 0, 999999999}));
    }

    void methodWalkThroughOnTheReceipt() {
        StartRealPrinter();
        W().Action("PrintMethods")->trigger();
        QVERIFY(WaitLine("Cutting Paper.........OK"));
        QVERIFY(vp_->WaitReceipts(1, 15s));
        const QStringList results = Results();
        for (const char* expected :
             {"TransactionPrint : Successful", "RotatePrint : Successful",
              "PrintBarCode : Successful", "PrintImmediate : Successful", "SetBitmap : Successful",
              "SetLogo : Successful", "PrintBitmap : Successful", "CutPaper : Successful"})
            QVERIFY2(results.contains(expected), expected);
        // One station: the printer refuses PrintTwoNormal and the script goes on.
        QCOMPARE(results.filter("PrintTwoNormal : "),
                 QStringList{"PrintTwoNormal : Illegal Operation"});
        QCOMPARE(results.filter("RotatePrint : ").size(), 4);

        const Lines lines = DecodedLines();
        for (const char* expected :
             {"Checking Print Normal Fucntion ........OK ", "PrintBarCode (PTR_BCS_Code39)",
              "Checking 180 Rotation Printing......OK", "Checking Print Immediate Function.....OK",
              "SetBitmap (<ESC>|1B)", "Testing SetLogo Fucntion ", "SetLogo (<ESC>|tL)",
              "PrintBitmap (PelkoLogo.bmp)"})
            QVERIFY2(IndexOf(lines, expected) != std::string::npos, expected);
        QCOMPARE(IndexOf(lines, "Checking PrintTWONormal........OK"), std::string::npos);
        // The stored logos print where their sequences stood, after the indent.
        QVERIFY(IndexOf(lines, "     Pelko Infotech Ltd.(TopLogo)") != std::string::npos);
        QVERIFY(IndexOf(lines, "     Pelko Infotech Ltd.(BottomLogo)") != std::string::npos);
        const Lines commands = DecodedCommands();
        auto decoded = [&](const std::string& prefix) {
            return std::any_of(commands.begin(), commands.end(),
                               [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
        };
        QVERIFY(decoded("GS k"));                        // the bar code
        QVERIFY(decoded("ESC {"));                       // upside down
        QVERIFY(decoded("GS V"));                        // the cut
        QVERIFY(decoded("GS v 0") || decoded("ESC *"));  // the bitmaps
    }

    void methodWalkThroughOnTheJournalAndRefusals() {
        ScriptedMessages messages;
        Program p(messages, PTR_S_JOURNAL);
        p.printer->results["ValidateData"] = OPOS_E_ILLEGAL;
        p.Run("PrintMethods");
        const Lines printed = PrintedData(p.printer, "1");
        QVERIFY(p.printer->CallsOf("PrintBarCode").empty());
        QVERIFY(p.printer->CallsOf("SetBitmap").empty());
        QVERIFY(p.printer->CallsOf("PrintBitmap").empty());
        QVERIFY(IndexOf(printed, "PrintBarCode (PTR_BCS_Code39)" + kCrLf) != std::string::npos);
        QCOMPARE(Count(printed, "BarCode Printing Not Support"), size_t(0));
        QCOMPARE(Count(printed, "Bitmap Printing Not Support"), size_t(0));
        // The refusal is named as the device gave it.
        QVERIFY(IndexOf(printed,
                        "SetBitmap Printing Not Support !?, ResultCode Returned:OPOS_E_ILLEGAL" +
                            kCrLf + kCrLf) != std::string::npos);
        QCOMPARE(Count(printed,
                       "SetLogo Printing Not Support !?, ResultCode "
                       "Returned:OPOS_E_ILLEGAL"),
                 size_t(2));
        QCOMPARE(printed.back(), "Cutting Paper.........OK" + kCrLf + kCrLf + kCrLf);
        QCOMPARE(p.printer->CallsOf("CutPaper"), Lines{"CutPaper(100)"});
        QCOMPARE(p.printer->CallsOf("TransactionPrint"),
                 (Lines{"TransactionPrint(1,11)", "TransactionPrint(1,12)"}));

        // A receipt without the capabilities says so instead of calling.
        Program r(messages);
        r.printer->numbers["CapRecBarCode"] = 0;
        r.printer->numbers["CapRecBitmap"] = 0;
        r.Run("PrintMethods");
        const Lines receipt = PrintedData(r.printer, "2");
        QVERIFY(IndexOf(receipt, "BarCode Printing Not Support !?" + kCrLf) != std::string::npos);
        QVERIFY(IndexOf(receipt, "Bitmap Printing Not Support !?" + kCrLf + kCrLf) !=
                std::string::npos);
        QVERIFY(r.printer->CallsOf("PrintBarCode").empty());
        QCOMPARE(r.printer->CallsOf("SetBitmap").size(), size_t(1));
        // With the capability the bar code has sizes in dots a device can take.
        r.printer->calls.clear();
        r.printer->numbers["CapRecBarCode"] = 1;
        r.Run("PrintMethods");
        QCOMPARE(r.printer->CallsOf("PrintBarCode"),
                 Lines{"PrintBarCode(2,1234567890,108,162,200,-2,-13)"});
        QCOMPARE(r.printer->CallsOf("RotateSpecial="), Lines{"RotateSpecial=1"});
    }

    void slipHandOffRetriesAndCancels() {
        ScriptedMessages messages;
        Program p(messages, PTR_S_SLIP);
        p.printer->results["BeginInsertion"] = OPOS_E_TIMEOUT;
        p.printer->numbers["ResultCode"] = OPOS_E_TIMEOUT;
        messages.replies = {CMessageBoxes::Reply::Retry, CMessageBoxes::Reply::Cancel};
        p.Run("PrintMethods");
        QCOMPARE(messages.shown.size(), size_t(2));
        QCOMPARE(messages.shown[0].text, std::string("BeginInsertion : OPOS_E_TIMEOUT"));
        QVERIFY(messages.shown[0].buttons == CMessageBoxes::Buttons::RetryCancel);
        QVERIFY(messages.shown[0].icon == CMessageBoxes::Icon::Question);
        QCOMPARE(p.printer->CallsOf("BeginInsertion"),
                 (Lines{"BeginInsertion(5000)", "BeginInsertion(5000)"}));
        QCOMPARE(p.printer->CallsOf("EndInsertion").size(), size_t(2));
        QCOMPARE(p.printer->CallsOf("ClearOutput").size(), size_t(1));
        // Cancel leaves the transaction and the slip as they are; the script goes on.
        QCOMPARE(p.printer->CallsOf("TransactionPrint"), Lines{"TransactionPrint(4,11)"});
        QVERIFY(p.printer->CallsOf("BeginRemoval").empty());
        QCOMPARE(p.printer->CallsOf("CutPaper"), Lines{"CutPaper(100)"});

        // An unnamed code, then a slip that goes in: the transaction ends, the slip comes out.
        messages.shown.clear();
        p.printer->calls.clear();
        p.printer->numbers["ResultCode"] = 999;
        int tries = 0;
        p.printer->onCall = [&](const std::string& method) {
            if (method == "BeginInsertion" && ++tries == 2)
                p.printer->results["BeginInsertion"] = OPOS_SUCCESS;
        };
        messages.replies = {CMessageBoxes::Reply::Retry};
        p.Run("Characterset");
        QCOMPARE(messages.shown.size(), size_t(1));
        QCOMPARE(messages.shown[0].text, std::string("BeginInsertion : ResultCode Error !?"));
        const Lines& calls = p.printer->calls;
        const size_t end = IndexOf(calls, "TransactionPrint(4,12)");
        QVERIFY(end != std::string::npos);
        QCOMPARE(Slice(calls, end - 1, 4), (Lines{"EndInsertion()", "TransactionPrint(4,12)",
                                                  "BeginRemoval(-1)", "EndRemoval()"}));

        // The escape sheet takes any answer but OPOS_E_FAILURE as a slip in, and ends no
        // transaction.
        messages.shown.clear();
        p.printer->calls.clear();
        p.printer->onCall = nullptr;
        p.printer->results["BeginInsertion"] = OPOS_E_ILLEGAL;
        p.Run("EscSequence");
        QVERIFY(messages.shown.empty());
        QVERIFY(p.printer->CallsOf("TransactionPrint").empty());
        QCOMPARE(p.printer->CallsOf("BeginRemoval"), Lines{"BeginRemoval(-1)"});
        p.printer->calls.clear();
        p.printer->results["BeginInsertion"] = OPOS_E_FAILURE;
        p.printer->numbers["ResultCode"] = OPOS_E_FAILURE;
        p.Run("EscSequence");
        QCOMPARE(messages.shown.size(), size_t(1));
        QCOMPARE(messages.shown[0].text, std::string("BeginInsertion : OPOS_E_FAILURE"));
        QCOMPARE(p.printer->CallsOf("ClearOutput").size(), size_t(1));
        QCOMPARE(p.printer->CallsOf("SetLogo").size(), size_t(2));
    }
};

EXERCISER_TEST_MAIN(ScriptsTest)
#include "scripts_test.moc"
