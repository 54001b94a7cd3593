// PrnExerciser's printing exercises. Against the real control objects and ThermSO driving
// an RT-K410 on the virtual printer: the formatted-text window, logos, bitmaps, the bar
// code demonstration (read back from the receipt picture by an independent decoder),
// rotation, transactions, feed and cuts, judged by the commands the printer decoded and
// the receipts it finished. Against a stand-in control object: the window's own rules.
#include <QtTest>
#include <atomic>
#include <fstream>
#include <future>

#include "exerciser/ParentForm.h"
#include "opos/OposConstants.h"
#include "tests/exerciser/ExerciserTestSupport.h"
#include "tests/so/TestSupport.h"
#include "tests/so/printer/BarcodeReader.h"
#include "tests/so/printer/BmpFile.h"
#include "tests/support/virtual_printer.h"

using namespace extest;
using exerciser::FontScale;
using exerciser::PrintTextForm;
namespace vp = thermpos::vprinter;
using namespace std::chrono_literals;

namespace {

const QString kEsc = QString(QChar(0x1b));

// A 64 x 32 picture, black on its left half.
std::string WriteBitmap() {
    const std::string path = sotest::TempDir() + "/exercise.bmp";
    printertest::BmpSpec spec;
    spec.width = 64;
    spec.height = 32;
    std::ofstream(path, std::ios::binary)
        << printertest::MakeBmp(spec, [](int x, int) { return x < 32 ? 0u : 1u; });
    return path;
}

// Counts the paint events of the widget it filters.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(int* count) : count_(count) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++*count_;
        return false;
    }

  private:
    int* count_;
};

}  // namespace

class PrintTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<vp::VirtualPrinter> vp_;
    std::string outDir_;
    ScriptedMessages messages_;
    FakeControl* fake_ = nullptr;
    std::unique_ptr<ParentForm> window_;

    ParentForm& W() { return *window_; }
    PrintTextForm& Form() { return *W().PrintText(); }
    exerciser::CGlobalModule& Module() { return W().Module(); }

    // The main window over the real control objects, the RT-K410 opened, claimed and
    // enabled from the panel.
    void StartPrinter() {
        QCOMPARE(sotest::RegisterServer(sotest::ServerPath()), LONG(S_OK));
        QCOMPARE(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), LONG(S_OK));
        vp_ = std::make_unique<vp::VirtualPrinter>();
        std::string error;
        outDir_ = thermpos::testing::StartOnPty(*vp_, kPort, "print", &error);
        QVERIFY2(!outDir_.empty(), error.c_str());
        sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}});
        window_ = std::make_unique<ParentForm>(messages_);
        window_->show();
        QVERIFY(extest::OpenClaimEnable(W(), kPrinter));
        QCOMPARE(Module().CurrentStation, LONG(PTR_S_RECEIPT));
    }

    // The main window over a stand-in printer, opened on the receipt station.
    void StartStandIn() {
        sotest::WriteDevice("POSPrinter", kPrinter, {});
        fake_ = extest::ClosedPrinter();
        window_ = std::make_unique<ParentForm>(messages_, fake_);
        W().PrinterType()->OpenPrinterButton_Click();
        QCOMPARE(Module().CurrentStation, LONG(PTR_S_RECEIPT));
        W().Result()->ResultCodeList()->clear();
        fake_->calls.clear();
        messages_.shown.clear();  // the drawer window's word about its missing devices
    }

    // The commands the printer decoded ("ESC E n=1", "TEXT \"abc\""), in order, without
    // the status traffic of the service object's monitor.
    std::vector<std::string> Decoded() const {
        return thermpos::testing::DecodedCommands(outDir_, {"GS a", "DLE EOT"});
    }
    // The decoded commands once `receipts` receipts are out.
    std::vector<std::string> DecodedWhenOut(int receipts) {
        return vp_->WaitReceipts(receipts, 10s) ? Decoded() : std::vector<std::string>();
    }
    static bool Has(const std::vector<std::string>& commands, const std::string& command) {
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }
    static bool HasText(const std::vector<std::string>& commands, const std::string& text) {
        for (const std::string& c : commands)
            if (c.rfind("TEXT", 0) == 0 && c.find(text) != std::string::npos)
                return true;
        return false;
    }
    static std::ptrdiff_t IndexOf(const std::vector<std::string>& commands,
                                  const std::string& prefix) {
        for (std::size_t i = 0; i < commands.size(); ++i)
            if (commands[i].rfind(prefix, 0) == 0)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    }
    void Trigger(const char* action) { W().Action(action)->trigger(); }
    void SetText(const QString& text) { Form().RichTextBox()->setPlainText(text); }

  private slots:
    void init() {
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        messages_ = ScriptedMessages();
    }

    void cleanup() {
        window_.reset();
        if (fake_)
            fake_->Release();
        fake_ = nullptr;
        vp_.reset();
    }

    // ---- on the virtual printer ----

    void formattedTextReachesThePrinterWithItsStyles() {
        StartPrinter();
        W().ShowPrintText();
        PrintTextForm& f = Form();
        // Coming to the front filled the lists from the device.
        QCOMPARE(f.FontNameCombo()->count(), 3);
        QCOMPARE(f.FontNameCombo()->currentText(), QString("1 Font A"));
        QCOMPARE(f.CharCodeCombo()->itemText(2), QString("437"));
        QCOMPARE(f.CharCodeCombo()->currentIndex(), 0);

        SetText("Styled line\n");
        f.Check("BoldCheckBox")->setChecked(true);
        f.Check("UnderLineCheckBox")->setChecked(true);
        f.UnderLineWidth()->setCurrentIndex(1);
        f.Option("FSOption4")->setChecked(true);
        f.FontSizeCombo()->setCurrentIndex(1);
        f.Option("Option2")->setChecked(true);
        f.PrintListButton_Click();
        f.Check("BoldCheckBox")->setChecked(false);
        f.Check("UnderLineCheckBox")->setChecked(false);
        f.Option("FSOption1")->setChecked(true);
        f.Option("Option1")->setChecked(true);
        SetText("Plain right\n");
        f.cmdPrintImmediate_Click();
        Trigger("PaperCut");
        const std::vector<std::string> d = DecodedWhenOut(1);
        QCOMPARE(extest::ResultLines(W()),
                 QStringList({"PrintNormal : Successful", "PrintImmediate : Successful",
                              "Paper Full Cut: : Successful"}));

        // Bold, two-dot underline, double width and height, centred; then the immediate
        // line printed plain on the right.
        const auto styled = IndexOf(d, "TEXT \"Styled line\"");
        const auto plain = IndexOf(d, "TEXT \"Plain right\"");
        QVERIFY2(styled > 0 && plain > styled, qPrintable(QString::number(d.size())));
        const std::vector<std::string> before(d.begin(), d.begin() + styled);
        QVERIFY(Has(before, "ESC E n=1"));
        QVERIFY(Has(before, "ESC - n=2"));
        QVERIFY(Has(before, "GS ! n=17"));
        QVERIFY(Has(before, "ESC a n=1"));
        const std::vector<std::string> between(d.begin() + styled, d.begin() + plain);
        QVERIFY(Has(between, "ESC E n=0"));
        QVERIFY(Has(between, "ESC - n=0"));
        QVERIFY(Has(between, "GS ! n=0"));
        QVERIFY(Has(between, "ESC a n=2"));
    }

    void logosPrintAtTheTopAndTheBottom() {
        StartPrinter();
        W().ShowPrintText();
        PrintTextForm& f = Form();
        SetText("HEAD LOGO");
        f.TopLogoCommand_Click();
        QCOMPARE(f.RichTextBox()->toPlainText(),
                 kEsc + "|tL\nTop Logo Set to Print Just Press 'Print Text' Command Button\n");
        f.PrintListButton_Click();
        SetText("FOOT LOGO");
        f.BottomLogoCommand_Click();
        QVERIFY(f.RichTextBox()->toPlainText().endsWith(kEsc + "|bL\n"));
        f.PrintListButton_Click();
        Trigger("PaperCut");
        const std::vector<std::string> d = DecodedWhenOut(1);
        QCOMPARE(extest::ResultLines(W()),
                 QStringList({"Set Top Logo: : Successful", "PrintNormal : Successful",
                              "Set Bottom Logo: : Successful", "PrintNormal : Successful",
                              "Paper Full Cut: : Successful"}));
        const auto head = IndexOf(d, "TEXT \"HEAD LOGO");
        const auto top = IndexOf(d, "TEXT \"Top Logo Set");
        const auto bottom = IndexOf(d, "TEXT \"Bottom Logo Set");
        const auto foot = IndexOf(d, "TEXT \"FOOT LOGO");
        QVERIFY(head >= 0 && head < top && top < bottom && bottom < foot);
    }

    void bitmapsPrintDirectlyAndFromTheirSlot() {
        StartPrinter();
        const std::string bmp = WriteBitmap();
        messages_.files = {bmp, bmp};
        messages_.replies = {CMessageBoxes::Reply::Yes};
        Trigger("PrintBitmapButton");
        QCOMPARE(messages_.shown.back().text, "You have Selected bitmap file (" + bmp +
                                                  ") to Print. To Continue Printing Press 'Yes'");
        W().ShowPrintText();
        PrintTextForm& f = Form();
        SetText("Below the bitmap\n");
        f.SetBitmapButton_Click();
        QCOMPARE(Module().BitmapNumber, LONG(1));
        QVERIFY(f.RichTextBox()->toPlainText().endsWith("\n" + kEsc + "|1B"));
        f.PrintListButton_Click();
        Trigger("PaperCut");
        const std::vector<std::string> d = DecodedWhenOut(1);
        // A slow store adds its notice; the results are these.
        QStringList results = extest::ResultLines(W());
        results.removeAll(QString::fromLatin1(exerciser::kStoringNotice));
        QCOMPARE(results,
                 QStringList({"PrintBitmap : Successful", "SetBitmap : Successful",
                              "PrintNormal : Successful", "Paper Full Cut: : Successful"}));
        // The picture printed at once, then the stored one (kept in the printer's own
        // memory) printed after the text.
        const auto direct = IndexOf(d, "GS v 0 m=0 x=8 y=32");
        const auto stored = IndexOf(d, "FS q n=1");
        const auto text = IndexOf(d, "TEXT \"Below the bitmap\"");
        const auto printed = IndexOf(d, "FS p n=1");
        QVERIFY(direct >= 0 && direct < stored && stored < text && text < printed);
    }

    void barCodeDemonstrationPrintsWhatTheModelCan() {
        StartPrinter();
        Trigger("BarCodePrint");
        QVERIFY(vp_->WaitReceipts(1, 10s));
        QCOMPARE(vp_->Receipts().back().cut, vp::CutKind::Partial);
        // The RT-K410 has no EAN-128 or standard 2 of 5, and no UPC-E of a zero character;
        // the EAN-8 row's last digit is not its check digit, so that symbol is refused too
        // and only its heading prints.
        const QString ok = "PrintBarCode : Successful";
        const QString illegal = "PrintBarCode : Illegal Operation";
        QCOMPARE(extest::ResultLines(W()),
                 QStringList({ok, illegal, ok, illegal, illegal, illegal, ok, ok, ok, ok, ok,
                              "Paper Partial Cut: : Successful"}));

        const std::vector<std::string> files = vp_->ReceiptFiles();
        QCOMPARE(files.size(), size_t(1));
        std::vector<printertest::ReceiptBand> bands;
        std::string error;
        QVERIFY2(printertest::ReadReceiptBands(files[0], &bands, &error), error.c_str());
        QStringList read;
        for (const auto& band : bands)
            for (const std::string& symbol : band.decoded)
                read << QString::fromStdString(symbol);
        QCOMPARE(read,
                 QStringList({"UPC-A:123456789012", "EAN-13:1234567890128", "I2/5:123456789012",
                              "Codabar:A123456789012B", "CODE-39:123456789012",
                              "CODE-93:123456789012", "CODE-128:123456"}));
        const std::vector<std::string> d = Decoded();
        QVERIFY(HasText(d, "Printing BarCode: UPC-A"));
        QVERIFY(HasText(d, "Printing BarCode: JAN-8 (=EAN-8)"));
        QVERIFY(HasText(d, "Printing Bar Code: Code 128"));
    }

    void rotationItemsFollowTheDevice() {
        StartPrinter();
        auto marks = [&] {
            QString m;
            for (const char* item : {"Normal", "Left90", "Right90", "Rotate180"})
                m += W().Action(item)->isChecked() ? '1' : '0';
            return m;
        };
        Trigger("Left90");
        QCOMPARE(marks(), QString("0100"));
        QCOMPARE(exerciser::PrintOnStation(Module(), "PrintNormal", "Sideways left\n"),
                 LONG(OPOS_SUCCESS));
        Trigger("Normal");
        QCOMPARE(marks(), QString("1000"));
        Trigger("Right90");
        QCOMPARE(marks(), QString("0010"));
        QCOMPARE(exerciser::PrintOnStation(Module(), "PrintNormal", "Sideways right\n"),
                 LONG(OPOS_SUCCESS));
        Trigger("Normal");
        Trigger("Rotate180");
        QCOMPARE(marks(), QString("0001"));
        QCOMPARE(exerciser::PrintOnStation(Module(), "PrintNormal", "Upside down\n"),
                 LONG(OPOS_SUCCESS));
        Trigger("Normal");
        QCOMPARE(marks(), QString("1000"));
        Trigger("PaperCut");
        const std::vector<std::string> d = DecodedWhenOut(1);
        QCOMPARE(extest::ResultLines(W()).count("RotatePrint : Successful"), 6);
        // Sideways text is printed as a page whose direction turns it; upside down with
        // ESC {, set back afterwards.
        const auto left = IndexOf(d, "ESC T n=1");
        const auto right = IndexOf(d, "ESC T n=3");
        const auto upside = IndexOf(d, "ESC { n=1");
        QVERIFY(left >= 0 && left < right && right < upside);
        QVERIFY(left < IndexOf(d, "TEXT \"Sideways left"));
        QVERIFY(Has({d.begin() + upside, d.end()}, "ESC { n=0"));
        QVERIFY(IndexOf({d.begin() + upside, d.end()}, "TEXT \"Upside down") > 0);
    }

    void transactionItemStartsAndEndsOneTransaction() {
        StartPrinter();
        QAction* item = W().Action("SetTransactionPrinting");
        Trigger("SetTransactionPrinting");
        QVERIFY(item->isChecked());
        QCOMPARE(exerciser::PrintOnStation(Module(), "PrintNormal", "Held line\n\x1b|fP"),
                 LONG(OPOS_SUCCESS));
        Trigger("SetTransactionPrinting");
        QVERIFY(!item->isChecked());
        const std::vector<std::string> d = DecodedWhenOut(1);
        QVERIFY(HasText(d, "Held line"));
        QCOMPARE(extest::ResultLines(W()),
                 QStringList({"TransactionPrint : Successful", "TransactionPrint : Successful"}));
    }

    void feedAndTheThreeCuts() {
        StartPrinter();
        Trigger("FeedLine");
        Trigger("PaperParCut");
        Trigger("PaperCut");
        Trigger("PaperFeednCut");
        QVERIFY(vp_->WaitReceipts(3, 10s));
        const std::vector<thermpos::vprinter::Receipt> receipts = vp_->Receipts();
        QCOMPARE(receipts.size(), size_t(3));
        QCOMPARE(receipts[0].cut, vp::CutKind::Partial);
        QCOMPARE(receipts[1].cut, vp::CutKind::Full);
        QCOMPARE(receipts[2].cut, vp::CutKind::Full);
        QCOMPARE(
            extest::ResultLines(W()),
            QStringList({"PrintNormal : Successful", "Paper Partial Cut: : Successful",
                         "Paper Full Cut: : Successful", "Paper Full Cut n Feed: : Successful"}));
        const std::vector<std::string> d = Decoded();
        const auto feed = IndexOf(d, "ESC d n=1");
        QVERIFY(feed >= 0);
        // The last cut first feeds the paper to the cutter.
        QCOMPARE(std::vector<std::string>(d.begin() + feed, d.end()),
                 std::vector<std::string>({"ESC d n=1", "GS V m=1", "LF", "GS V m=0", "LF",
                                           "ESC d n=3", "GS V m=0", "LF"}));
    }

    // ---- the window's rules, over a stand-in ----

    void formatTextRules() {
        using exerciser::FormatText;
        exerciser::TextFormat format;
        QCOMPARE(FormatText(format, "x"), kEsc + "|N" + kEsc + "|1Cx");
        format.underline = true;
        QCOMPARE(FormatText(format, "x"), kEsc + "|N" + kEsc + "|uC" + kEsc + "|1Cx");
        format = {};
        format.reverseVideo = format.italic = format.bold = format.color = true;
        format.underline = true;
        format.underlineWidth = "3";
        format.fontSize = 2;
        format.scale = FontScale::Both;
        format.alignmentCode = "rA";
        QCOMPARE(FormatText(format, "x"), kEsc + "|rA" + kEsc + "|rvC" + kEsc + "|iC" + kEsc +
                                              "|bC" + kEsc + "|3uC" + kEsc + "|rC" + kEsc + "|2hC" +
                                              kEsc + "|2vCx");
        format.scale = FontScale::Vertically;
        QVERIFY(FormatText(format, "x").endsWith(kEsc + "|2vCx"));
        // Embedded data goes as it stands, counted in characters.
        format.embeddedData = true;
        QCOMPARE(FormatText(format, QString::fromUtf8("d\xc3\xa9j\xc3\xa0")),
                 kEsc + "|4E" + QString::fromUtf8("d\xc3\xa9j\xc3\xa0"));

        QCOMPARE(exerciser::LeadingNumber(" 12 Font"), LONG(12));
        QCOMPARE(exerciser::LeadingNumber("Font A"), LONG(0));
        QCOMPARE(exerciser::LeadingNumber("-3"), LONG(-3));
        QCOMPARE(exerciser::LeadingNumber("99999999999999"), LONG(2147483647));
    }

    void printButtonsValidateFirst() {
        StartStandIn();
        W().ShowPrintText();
        PrintTextForm& f = Form();
        // Placed beside the printer control panel.
        QCOMPARE(W().FrameOf(&f)->pos(), QPoint(W().FrameOf(W().PrinterType())->width() + 3, 3));
        SetText("abc");
        f.Check("BoldCheckBox")->setChecked(true);
        // The box previews the style on the whole text.
        QTextCursor at(f.RichTextBox()->document());
        at.setPosition(2);
        QCOMPARE(at.charFormat().fontWeight(), int(QFont::Bold));
        f.Option("Option2")->setChecked(true);
        f.Check("EmbeddedDataCheck")->setChecked(true);
        fake_->results["ValidateData"] = OPOS_E_ILLEGAL;
        f.PrintListButton_Click();  // answered No
        QCOMPARE(messages_.shown.size(), size_t(1));
        QCOMPARE(messages_.shown[0].text,
                 std::string("The Data you are trying to print is not valid, Service Object "
                             "returned : Illegal Operation"));
        QCOMPARE(messages_.shown[0].title, std::string("Valid Data.."));
        QVERIFY(messages_.shown[0].buttons == CMessageBoxes::Buttons::YesNo);
        QVERIFY(fake_->CallsOf("PrintNormal").empty());
        QVERIFY(extest::ResultLines(W()).isEmpty());

        messages_.replies = {CMessageBoxes::Reply::Yes};
        f.cmdPrintImmediate_Click();
        // Embedded data: no bold, no centring, only the length and the text.
        QCOMPARE(fake_->CallsOf("PrintImmediate"),
                 std::vector<std::string>{"PrintImmediate(2,\x1b|3Eabc)"});
        QCOMPARE(extest::ResultLines(W()), QStringList{"PrintImmediate : Successful"});
    }

    void setBitmapWrapsAfterTwentyOnlyWhenAsked() {
        StartStandIn();
        W().ShowPrintText();
        PrintTextForm& f = Form();
        fake_->numbers["State"] = OPOS_S_IDLE;
        SetText("t");
        Module().BitmapNumber = 20;
        messages_.files = {"/a.bmp", "/a.bmp"};
        f.SetBitmapButton_Click();  // answered No
        QCOMPARE(messages_.shown.back().text,
                 std::string("20Bitmaps are Already Selected, Do you want to set it at first "
                             "postion ? 'Yes\\No'"));
        QCOMPARE(messages_.shown.back().title, std::string("Print Bitmap"));
        QCOMPARE(Module().BitmapNumber, LONG(21));
        QVERIFY(fake_->CallsOf("SetBitmap").empty());
        QCOMPARE(f.RichTextBox()->toPlainText(), QString("t"));

        messages_.replies = {CMessageBoxes::Reply::Yes};
        f.SetBitmapButton_Click();
        QCOMPARE(Module().BitmapNumber, LONG(1));
        QCOMPARE(fake_->CallsOf("SetBitmap"),
                 std::vector<std::string>{"SetBitmap(1,2,/a.bmp,-11,-2)"});
        QCOMPARE(f.RichTextBox()->toPlainText(), "t\n" + kEsc + "|1B");

        // A cancelled file choice sets nothing and counts nothing.
        f.SetBitmapButton_Click();
        QCOMPARE(Module().BitmapNumber, LONG(1));
        QCOMPARE(fake_->CallsOf("SetBitmap").size(), size_t(1));
    }

    // The printer stores its bitmaps for a long time: meanwhile the window is painted and
    // the result list says why nothing else happens.
    void setBitmapKeepsTheWindowPaintedWhileThePrinterStores() {
        StartStandIn();
        W().resize(1000, 700);
        W().show();
        QVERIFY(QTest::qWaitForWindowExposed(&W()));
        W().ShowPrintText();
        PrintTextForm& f = Form();
        QApplication::processEvents();
        fake_->numbers["State"] = OPOS_S_IDLE;
        SetText("t");
        messages_.files = {"/a.bmp"};

        // The printer stays busy until the window has been painted with the notice shown
        // while the call waits, or gives up after a generous limit.
        std::promise<void> seen;
        std::future<void> seenFuture = seen.get_future();
        std::atomic<bool> storing{false};
        fake_->onCall = [&](const std::string& method) {
            if (method != "SetBitmap")
                return;
            storing = true;
            (void)seenFuture.wait_for(30s);
            storing = false;
        };
        int paints = 0;
        PaintCounter counter(&paints);
        f.installEventFilter(&counter);
        bool paintedWithNotice = false;
        int paintsAtStart = -1;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            if (!storing || paintedWithNotice)
                return;
            if (paintsAtStart < 0)
                paintsAtStart = paints;
            f.update();
            if (paints > paintsAtStart &&
                extest::ResultLines(W()).contains(QString::fromLatin1(exerciser::kStoringNotice))) {
                paintedWithNotice = true;
                seen.set_value();
            }
        });
        poll.start();
        f.SetBitmapButton_Click();
        poll.stop();
        f.removeEventFilter(&counter);
        fake_->onCall = nullptr;
        QVERIFY(paintedWithNotice);
        QCOMPARE(extest::ResultLines(W()),
                 QStringList({exerciser::kStoringNotice, "SetBitmap : Successful"}));
        QCOMPARE(fake_->CallsOf("SetBitmap"),
                 std::vector<std::string>{"SetBitmap(1,2,/a.bmp,-11,-2)"});
        QCOMPARE(f.RichTextBox()->toPlainText(), "t\n" + kEsc + "|1B");
    }

    void listsSizesAndDeviceSettings() {
        StartStandIn();
        fake_->strings["FontTypefaceList"] = "";
        fake_->strings["CharacterSetList"] = "437,850";
        W().ShowPrintText();
        PrintTextForm& f = Form();
        QCOMPARE(f.FontNameCombo()->count(), 0);
        QCOMPARE(f.FontNameCombo()->currentIndex(), -1);
        QCOMPARE(f.CharCodeCombo()->currentText(), QString("437"));

        // Sizes above 4 need a scale.
        f.FontSizeCombo()->setCurrentIndex(5);
        f.FontSizeCombo_Click();
        QCOMPARE(messages_.shown.back().text,
                 std::string("Worng Value: Only Values from 1 to 4 can be selected..."));
        QCOMPARE(messages_.shown.back().title, std::string("Warning:"));
        QCOMPARE(f.FontSizeCombo()->currentText(), QString("1"));
        f.Option("FSOption2")->setChecked(true);
        f.FontSizeCombo()->setCurrentIndex(5);
        f.FontSizeCombo_Click();
        QCOMPARE(messages_.shown.size(), size_t(1));
        QCOMPARE(f.Logic().format.fontSize, 6);
        f.Option("FSOption1")->setChecked(true);
        QCOMPARE(f.FontSizeCombo()->currentText(), QString("1"));

        f.CharCodeCombo()->setCurrentIndex(1);
        f.CharCodeCombo_LostFocus();
        f.FontNameCombo()->addItem("2 Font B");
        f.FontNameCombo_LostFocus();
        f.MapModeCombo()->setCurrentIndex(3);
        f.cmbMapMode_Click();
        // Leaving the box is what sets the line width.
        W().show();
        QVERIFY(QTest::qWaitForWindowActive(&W()));
        f.CharPerLine()->setFocus();
        f.CharPerLine()->setText("42");
        f.RichTextBox()->setFocus();
        QVERIFY(extest::WaitFor([&] { return !fake_->CallsOf("RecLineChars").empty(); }));
        f.CharPerLine()->setText("4x");
        f.txtCharPerLine_LostFocus();
        QCOMPARE(fake_->CallsOf("CharacterSet"), std::vector<std::string>{"CharacterSet=850"});
        QCOMPARE(fake_->CallsOf("PrintNormal"),
                 std::vector<std::string>{"PrintNormal(2,\x1b|2fT)"});
        QCOMPARE(fake_->CallsOf("MapMode"), std::vector<std::string>{"MapMode=3"});
        // Only the whole number reaches the device; the other text is refused here.
        QCOMPARE(fake_->CallsOf("RecLineChars"), std::vector<std::string>{"RecLineChars=42"});
        QCOMPARE(
            extest::ResultLines(W()),
            QStringList({"Char Table Changed: : Successful", "Font Changed: : Successful",
                         "MapMode Changed to: English : Successful", "Char\\Line Set: : Successful",
                         "Char\\Line Set: \"4x\" is not a number"}));
    }

    void transactionItemIsUncheckedOnAFailure() {
        StartStandIn();
        QAction* item = W().Action("SetTransactionPrinting");
        Trigger("SetTransactionPrinting");
        QVERIFY(item->isChecked());
        fake_->results["TransactionPrint"] = OPOS_E_ILLEGAL;
        Trigger("SetTransactionPrinting");
        QVERIFY(!item->isChecked());
        fake_->results.erase("TransactionPrint");
        Trigger("SetTransactionPrinting");
        QVERIFY(item->isChecked());
        QCOMPARE(fake_->CallsOf("TransactionPrint"),
                 std::vector<std::string>({"TransactionPrint(2,11)", "TransactionPrint(2,12)",
                                           "TransactionPrint(2,11)"}));
    }
};

EXERCISER_TEST_MAIN(PrintTest)
#include "print_test.moc"
