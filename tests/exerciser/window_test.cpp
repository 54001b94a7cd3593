// The windows of PrnExerciser against stand-in control objects: the printer panel's
// sequence and what it logs, the status window's priming and its updates from events, the
// error event's question and answer, the shared procedures, the menus and View toggles.
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

#include "exerciser/ParentForm.h"
#include "exerciser/WorkbenchDock.h"
#include "opos/OposConstants.h"
#include "tests/exerciser/ExerciserTestSupport.h"
#include "tests/so/TestSupport.h"

using namespace extest;

namespace {

constexpr char kPrinterClassKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\POSPrinter";
constexpr char kDrawerClassKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashDrawer";

// The real message box or dialog of that type on screen, or null.
template <typename T>
T* VisibleTopLevel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(w); found && found->isVisible())
            return found;
    return nullptr;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private:
    // A main window over two stand-ins; the stand-ins stay the test's to inspect.
    struct Program {
        Program(exerciser::CMessageBoxes& messages)
            : printer(extest::ClosedPrinter()), drawer(FakeControl::Create()) {
            drawer->numbers["ResultCode"] = OPOS_SUCCESS;
            window = std::make_unique<ParentForm>(messages, printer, drawer);
        }
        ~Program() {
            window.reset();
            printer->Release();
            drawer->Release();
        }
        FakeControl* printer;
        FakeControl* drawer;
        std::unique_ptr<ParentForm> window;
        exerciser::PrinterTypeForm& Panel() { return *window->PrinterType(); }
        exerciser::StatusForm& Status() { return *window->StatusWindow(); }
    };

  private slots:
    void init() {
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        sotest::WriteDevice("POSPrinter", "RTK410.TALVERN.POSPrinter", {});
        sotest::WriteDevice("POSPrinter", "RTK6100.TALVERN.POSPrinter", {});
        sotest::WriteDevice("CashDrawer", "RTK410.TALVERN.CD1", {});
    }

    void resultTextsCoverEveryCodeAndBothDevices() {
        using exerciser::DrawerResultCodeText;
        using exerciser::ResultCodeText;
        QCOMPARE(ResultCodeText(0), std::string("Successful"));
        QCOMPARE(ResultCodeText(104), std::string("Printer does NOT suppport this Service"));
        QCOMPARE(ResultCodeText(114), std::string("Extended "));
        QCOMPARE(ResultCodeText(999), std::string("Unknown Error Occured"));
        QCOMPARE(ResultCodeText(100), std::string("Unknown Error Occured"));
        QCOMPARE(ResultCodeText(-1), std::string("Unknown Error Occured"));
        QCOMPARE(DrawerResultCodeText(105), std::string("Drawer is Disabled"));
        QCOMPARE(DrawerResultCodeText(110), std::string("Drawer Connected"));
        QCOMPARE(DrawerResultCodeText(114), std::string("Extended "));
        QCOMPARE(DrawerResultCodeText(115), std::string("Unknown Error Occured"));
        for (LONG code = 101; code <= 114; ++code)
            QVERIFY(ResultCodeText(code) != "Unknown Error Occured");
    }

    void statusUpdatesFollowTheirTable() {
        using exerciser::StatusUpdateFor;
        ScriptedMessages messages;
        Program p(messages);
        QVERIFY(!p.window->Events());  // not loaded at start
        for (LONG code : {11, 64, 24, 25, 28, 29, 3, 2002, 1001})
            QCOMPARE(p.printer->FireStatusUpdate(code), S_OK);
        QVERIFY(p.window->Events());
        QCOMPARE(
            p.window->Events()->Lines(),
            QStringList(
                {"Status: Printer Cover open", "Status: Printer Cover open",
                 "Status: Printer is out of paper", "Status: Printer is near to end of paper",
                 "Status: Printer is near to end of paper", "Status: Printer paper OK",
                 "Status: Unknown Status!", "Status: Printer Off", "Status: Printer is Idle"}));
        QCOMPARE(p.window->Events()->EventCodeList()->currentRow(), 8);
        auto& s = p.Status();
        QVERIFY(s.Checked(StatusBox::CoverOpen));
        QVERIFY(s.Checked(StatusBox::RecSensor));
        // 29 after 28 clears the slip and the shared near-end box.
        QVERIFY(!s.Checked(StatusBox::PaperNearEnd));
        QVERIFY(!s.Checked(StatusBox::SlpSensor));
        QVERIFY(!s.Checked(StatusBox::PowerOnline));
        QVERIFY(s.Checked(StatusBox::FlagIdle));
        // Marks change on disabled boxes too, and an unknown code changes none.
        QVERIFY(!s.Box(StatusBox::CoverOpen)->isEnabled());
        QVERIFY(StatusUpdateFor(3).changes.empty());
        QCOMPARE(p.printer->FireStatusUpdate(12), S_OK);
        QVERIFY(!s.Checked(StatusBox::CoverOpen));
        QCOMPARE(p.printer->FireStatusUpdate(2001), S_OK);
        QVERIFY(s.Checked(StatusBox::PowerOnline));
    }

    void errorEventAsksAndAnswersRetryOrClear() {
        ScriptedMessages messages;
        Program p(messages);
        messages.replies = {CMessageBoxes::Reply::Retry, CMessageBoxes::Reply::Cancel,
                            CMessageBoxes::Reply::Retry};
        LONG response = OPOS_ER_CLEAR;
        QCOMPARE(p.printer->FireError(114, 201, 2, &response), S_OK);
        QCOMPARE(response, OPOS_ER_RETRY);
        QCOMPARE(p.printer->FireError(111, 0, 2, &response), S_OK);
        QCOMPARE(response, OPOS_ER_CLEAR);
        QCOMPARE(p.printer->FireError(114, 299, 2, &response), S_OK);
        QCOMPARE(response, OPOS_ER_RETRY);
        QCOMPARE(messages.shown.size(), size_t(3));
        QCOMPARE(messages.shown[0].text,
                 std::string("Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened."));
        QCOMPARE(messages.shown[1].text,
                 std::string("Error 111: Printer is returning Unknown Error"));
        QCOMPARE(messages.shown[2].text, std::string("ResultCode : Error !?"));
        QVERIFY(messages.shown[0].buttons == CMessageBoxes::Buttons::RetryCancel);
        QVERIFY(messages.shown[0].icon == CMessageBoxes::Icon::Question);
        QCOMPARE(exerciser::ErrorEventMessage(112, 0), std::string("Error Timeout:"));
        QCOMPARE(
            exerciser::ErrorEventMessage(114, 203),
            std::string("Error OPOS_EPTR_REC_EMPTY: Cover is open or Printer is out of Paper"));
        // Nothing is logged beyond the text window's start-up choice of map mode, which
        // reaches the device as the program starts.
        QCOMPARE(ResultLines(*p.window), QStringList{"MapMode Changed to: Dots : Successful"});
        QCOMPARE(p.printer->CallsOf("MapMode"), std::vector<std::string>{"MapMode=1"});
    }

    void emptyDeviceListRefusesOpenWithoutCallingTheDevice() {
        sotest::DeleteTree(kPrinterClassKey);
        sotest::SetValue(kPrinterClassKey, "Unrelated", "x");  // the key, without devices
        ScriptedMessages messages;
        Program p(messages);
        QCOMPARE(p.Panel().PrinterCombo()->count(), 0);
        QVERIFY(p.window->Module().SelectedPrinterName.empty());
        p.Panel().OpenPrinterButton_Click();
        QCOMPARE(messages.shown.size(), size_t(1));
        QCOMPARE(messages.shown[0].text,
                 std::string("Select the Printer from 'Select Printer' Menu"));
        QCOMPARE(messages.shown[0].title, std::string("Select Printer"));
        QVERIFY(messages.shown[0].icon == CMessageBoxes::Icon::Critical);
        QVERIFY(p.printer->CallsOf("Open").empty());
        QVERIFY(ResultLines(*p.window).isEmpty());
    }

    void aLongDeviceNameDoesNotHideTheDevicesAfterIt() {
        sotest::DeleteTree(kPrinterClassKey);
        const std::string longName(100, 'L');
        sotest::WriteDevice("POSPrinter", "First", {});
        sotest::WriteDevice("POSPrinter", longName, {});
        sotest::WriteDevice("POSPrinter", "Last", {});
        std::vector<std::string> names;
        QVERIFY(exerciser::ListDevices("POSPrinter", names));
        QCOMPARE(names, (std::vector<std::string>{"First", longName, "Last"}));
    }

    void missingRegistryKeysLeaveTheListsEmptyWithTheMessage() {
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        ScriptedMessages messages;
        Program p(messages);
        QCOMPARE(messages.shown.size(), size_t(2));  // printer panel, then drawer window
        for (const auto& s : messages.shown)
            QCOMPARE(s.text,
                     std::string("Problem with the Windows Registry\r\nUnable to open key"));
        QCOMPARE(p.Panel().PrinterCombo()->count(), 0);
        QCOMPARE(p.window->CashDrawer()->DrawerCombo()->count(), 0);
    }

    void openSelectsTheLastPresentStationAndResetsTheBoxes() {
        ScriptedMessages messages;
        Program p(messages);
        QCOMPARE(p.window->Module().SelectedPrinterName, std::string("RTK410.TALVERN.POSPrinter"));
        p.Panel().PrinterCombo_Click(1);
        p.printer->numbers["CapSlpPresent"] = 1;
        p.Panel().OpenPrinterButton_Click();
        QCOMPARE(p.printer->CallsOf("Open"),
                 std::vector<std::string>{"Open(RTK6100.TALVERN.POSPrinter)"});
        QVERIFY(p.Panel().SlpOption()->isChecked());
        QVERIFY(p.Panel().RecOption()->isEnabled());
        QVERIFY(!p.Panel().JrnOption()->isEnabled());
        QCOMPARE(p.window->Module().CurrentStation, LONG(PTR_S_SLIP));
        QVERIFY(p.Panel().AsyncFlagCheck()->isEnabled());
        QVERIFY(p.Panel().PowerCheck()->isEnabled());
        // Unchecking a box that is already unchecked writes nothing to the device.
        QVERIFY(p.printer->CallsOf("AsyncMode").empty());
        QCOMPARE(ResultLines(*p.window), QStringList{"Open : Successful"});

        // The operator's station choice and the boxes reach the device as 16-bit values.
        QTest::mouseClick(p.Panel().RecOption(), Qt::LeftButton);
        QCOMPARE(p.window->Module().CurrentStation, LONG(PTR_S_RECEIPT));
        QTest::mouseClick(p.Panel().AsyncFlagCheck(), Qt::LeftButton);
        QCOMPARE(p.printer->CallsOf("AsyncMode"), std::vector<std::string>{"AsyncMode=1"});

        // Open again on the open device keeps the list; the check box goes back to 0.
        p.printer->results["Open"] = OPOS_E_ILLEGAL;
        p.window->Module().BitmapNumber = 3;
        p.Panel().OpenPrinterButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList({"Open : Successful", "Open : Illegal Operation"}));
        QCOMPARE(p.Panel().AsyncFlagCheck()->isChecked(), false);
        QCOMPARE(p.printer->CallsOf("AsyncMode"),
                 (std::vector<std::string>{"AsyncMode=1", "AsyncMode=0"}));
        QCOMPARE(p.window->Module().BitmapNumber, LONG(0));

        // Closed again, Open starts a clean list.
        p.printer->numbers["State"] = OPOS_S_CLOSED;
        p.printer->results["Open"] = OPOS_E_NOEXIST;
        p.Panel().OpenPrinterButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList{"Open : File Not Found or not in proper format"});
        QCOMPARE(p.window->Result()->ResultCodeList()->currentRow(), 0);
    }

    void enableFailureLogsOneLineAndLeavesTheStatusWindow() {
        ScriptedMessages messages;
        Program p(messages);
        p.Panel().OpenPrinterButton_Click();
        p.printer->numbers["ResultCode"] = OPOS_E_NOTCLAIMED;
        p.printer->numbers["CoverOpen"] = 1;
        p.Panel().EnablePrinterButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList({"Open : Successful", "DeviceEnable=TRUE : Printer is NOT Claimed"}));
        QVERIFY(!p.Panel().PowerCheck()->isEnabled());
        for (int i = 0; i < exerciser::kStatusBoxCount; ++i)
            QVERIFY(!p.Status().Box(static_cast<StatusBox>(i))->isEnabled());
        QVERIFY(!p.Status().Checked(StatusBox::CoverOpen));
        QVERIFY(p.printer->CallsOf("FlagWhenIdle").empty());
        QCOMPARE(p.printer->CallsOf("DeviceEnabled"), std::vector<std::string>{"DeviceEnabled=1"});

        // Disabling gives the power box back.
        p.Panel().DisablePrinterButton_Click();
        QVERIFY(p.Panel().PowerCheck()->isEnabled());
        QCOMPARE(ResultLines(*p.window).last(),
                 QString("DeviceEnable=FALSE : Printer is NOT Claimed"));
    }

    void enablePrimesTheStatusWindowAndCloseDisablesIt() {
        ScriptedMessages messages;
        Program p(messages);
        p.Panel().OpenPrinterButton_Click();
        p.Panel().ClaimPrinterButton_Click();
        QCOMPARE(p.printer->CallsOf("Claim"), std::vector<std::string>{"ClaimDevice(0)"});
        p.printer->numbers["CoverOpen"] = 1;
        p.printer->numbers["RecNearEnd"] = 1;
        p.printer->numbers["JrnEmpty"] = 1;
        p.Panel().EnablePrinterButton_Click();
        auto& s = p.Status();
        QVERIFY(s.Box(StatusBox::PowerOnline)->isEnabled());
        QVERIFY(s.Box(StatusBox::CoverOpen)->isEnabled());
        QVERIFY(s.Box(StatusBox::RecSensor)->isEnabled());
        QVERIFY(s.Box(StatusBox::PaperNearEnd)->isEnabled());
        QVERIFY(!s.Box(StatusBox::JrnSensor)->isEnabled());  // no journal sensor
        QVERIFY(!s.Box(StatusBox::SlpSensor)->isEnabled());
        QVERIFY(s.Box(StatusBox::FlagIdle)->isEnabled());
        QVERIFY(s.Checked(StatusBox::CoverOpen));
        QVERIFY(!s.Checked(StatusBox::RecSensor));
        // A receipt near its end stays shown although the slip station has no paper news.
        QVERIFY(s.Checked(StatusBox::PaperNearEnd));
        QVERIFY(s.Checked(StatusBox::JrnSensor));
        QCOMPARE(s.Box(StatusBox::JrnSensor)->text(), QString("JrnEmpty"));
        QVERIFY(!s.Checked(StatusBox::FlagIdle));
        QCOMPARE(p.printer->CallsOf("FlagWhenIdle"), std::vector<std::string>{"FlagWhenIdle=1"});

        // A journal near its end is not an empty journal; it shares the near-end box.
        p.printer->numbers["JrnEmpty"] = 0;
        p.printer->numbers["JrnNearEnd"] = 1;
        p.printer->numbers["RecNearEnd"] = 0;
        p.Panel().EnablePrinterButton_Click();
        QVERIFY(!s.Checked(StatusBox::JrnSensor));
        QVERIFY(s.Checked(StatusBox::PaperNearEnd));
        p.printer->numbers["JrnNearEnd"] = 0;
        p.Panel().EnablePrinterButton_Click();
        QVERIFY(!s.Checked(StatusBox::PaperNearEnd));

        p.Panel().ReleasePrinterButton_Click();
        // Closed, the control object answers ResultCode with OPOS_E_CLOSED.
        p.printer->onCall = [&](const std::string& m) {
            if (m == "Close")
                p.printer->numbers["ResultCode"] = OPOS_E_CLOSED;
        };
        p.Panel().ClosePrinterButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList({"Open : Successful", "Claim : Successful",
                              "DeviceEnable=TRUE : Successful", "DeviceEnable=TRUE : Successful",
                              "DeviceEnable=TRUE : Successful", "Release : Successful",
                              "Close : Successful"}));
        for (int i = 0; i < exerciser::kStatusBoxCount; ++i)
            QVERIFY(!s.Box(static_cast<StatusBox>(i))->isEnabled());
        QVERIFY(s.Checked(StatusBox::CoverOpen));  // marks stay as they were
        QVERIFY(!p.Panel().RecOption()->isEnabled());
        QVERIFY(!p.Panel().PowerCheck()->isEnabled());

        // A failed Close leaves everything enabled.
        p.Panel().OpenPrinterButton_Click();
        p.printer->results["Close"] = OPOS_E_ILLEGAL;
        p.Panel().ClosePrinterButton_Click();
        QVERIFY(p.Panel().RecOption()->isEnabled());
        QCOMPARE(ResultLines(*p.window).last(), QString("Close : Illegal Operation"));
    }

    void checkPrinterReadyAsksUntilCancelOrIdle() {
        ScriptedMessages messages;
        Program p(messages);
        auto& module = p.window->Module();
        messages.replies = {CMessageBoxes::Reply::Retry, CMessageBoxes::Reply::Retry};
        QVERIFY(!module.CheckPrinterReady());
        QCOMPARE(messages.shown.size(), size_t(3));
        QCOMPARE(messages.shown[0].text,
                 std::string("State : Printer is Closed\r\nSelect the Printer, Open , Claim and "
                             "then Enable it from Printer Control Panel"));
        QVERIFY(messages.shown[2].buttons == CMessageBoxes::Buttons::RetryCancel);

        // Becoming idle while the question is up ends the loop at the next Retry.
        messages.shown.clear();
        p.printer->numbers["State"] = OPOS_S_BUSY;
        messages.replies = {CMessageBoxes::Reply::Retry};
        messages.onShow = [&](const std::string&) { p.printer->numbers["State"] = OPOS_S_IDLE; };
        QVERIFY(module.CheckPrinterReady());
        QCOMPARE(messages.shown.size(), size_t(1));
        QCOMPARE(messages.shown[0].text,
                 std::string("State : Printer is BUSY\r\nPrinter is Busy, Try After Some Time..."));
        messages.onShow = nullptr;
        p.printer->numbers["State"] = 7;
        QVERIFY(!module.CheckPrinterReady());
        QCOMPARE(messages.shown.back().text, std::string("State : Unknown Error (7)"));
    }

    void selectBitmapFileKeepsTheChosenPathOnly() {
        ScriptedMessages messages;
        Program p(messages);
        auto& module = p.window->Module();
        module.BitmapFileName = "/old.bmp";
        QVERIFY(!module.SelectBitmapFile());  // cancelled: the dialog leaves "*.bmp"
        QVERIFY(module.BitmapFileName.empty());
        QCOMPARE(messages.dialogs.back(),
                 std::string("Select Bitmap Image|Bitmap Files(*.bmp)|*.bmp|/"));
        messages.files = {"  *.bmp ", "/tmp/logo.bmp"};
        QVERIFY(!module.SelectBitmapFile());
        QVERIFY(module.SelectBitmapFile());
        QCOMPARE(module.BitmapFileName, std::string("/tmp/logo.bmp"));
    }

    void automationFailuresAreLinesOfTheirOwn() {
        ScriptedMessages messages;
        Program p(messages);
        p.printer->missing = {"ClaimDevice", "CapJrnPresent"};
        p.Panel().OpenPrinterButton_Click();
        p.Panel().ClaimPrinterButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList({"Open : Successful", "POSPrinter1.CapJrnPresent : no such member",
                              "POSPrinter1.ClaimDevice : no such member",
                              "Claim : Printer does NOT suppport this Service"}));
    }

    void programWithoutControlObjectsKeepsRunning() {
        // Nothing registered: both creations fail, each said once, and every button answers.
        sotest::DeleteTree("SOFTWARE\\Classes\\OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter");
        sotest::DeleteTree("SOFTWARE\\Classes\\OposCashDrawer_1_8_LibCtl.OPOSCashDrawer");
        ScriptedMessages messages;
        ParentForm w(messages);
        const QStringList start = w.Result()->Lines();
        QCOMPARE(start.size(), 2);
        QVERIFY(start[0].startsWith("POSPrinter1 : cannot create OposPOSPrinter_1_8_LibCtl"));
        QVERIFY(start[1].startsWith("CashDrawer1 : cannot create OposCashDrawer_1_8_LibCtl"));
        w.PrinterType()->OpenPrinterButton_Click();
        QVERIFY(w.Result()->Lines().contains("Open : Printer does NOT suppport this Service"));
        w.CashDrawer()->DrawerCombo_Click(0);
        w.CashDrawer()->OpenDrawerButton_Click();
        QVERIFY(w.Result()->Lines().contains("Open : Drawer does NOT suppport this Service"));
    }

    void menusAndViewToggles() {
        ScriptedMessages messages;
        Program p(messages);
        ParentForm& w = *p.window;
        QCOMPARE(w.windowTitle(), QString("POS Printer Testing Application - [Talvern Systems]"));
        QCOMPARE(w.Action("ClearResultCode")->text(), QString("Clear Result Codes "));
        QCOMPARE(w.Action("Exit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QVERIFY(!w.Action("PropertySheet")->isEnabled());
        QVERIFY(!w.Action("MarkFeed")->isEnabled());
        QVERIFY(w.Action("Normal")->isChecked());
        QVERIFY(!w.Action("EventToolbar")->isChecked());
        for (const char* item :
             {"SelectCashDrawer", "ResultToolbar", "StatusToolbar", "PrinterTypeToolbar"})
            QVERIFY2(w.Action(item)->isChecked(), item);

        // A script on a closed device stops at the readiness question; a rotation the
        // device refuses changes no mark.
        w.Action("PrintMethods")->trigger();
        p.printer->results["RotatePrint"] = OPOS_E_ILLEGAL;
        w.Action("Left90")->trigger();
        QCOMPARE(messages.shown.size(), size_t(1));
        QVERIFY(!w.Action("Left90")->isChecked());
        QVERIFY(w.Action("Normal")->isChecked());

        // Toggles hide and show; the event window loads on its first show.
        w.Action("ResultToolbar")->trigger();
        QVERIFY(w.FrameOf(w.Result())->isHidden());
        w.Action("ResultToolbar")->trigger();
        QVERIFY(!w.FrameOf(w.Result())->isHidden());
        w.Action("EventToolbar")->trigger();
        QVERIFY(w.Events() && !w.FrameOf(w.Events())->isHidden());

        // Closing a window unloads it and clears its mark; the drawer's also closes it.
        w.FrameOf(w.CashDrawer())->close();
        QVERIFY(extest::WaitFor([&] { return !w.CashDrawer(); }));
        QVERIFY(!w.Action("SelectCashDrawer")->isChecked());
        QCOMPARE(p.drawer->CallsOf("Close"), std::vector<std::string>{"Close()"});
        w.FrameOf(w.PrinterType())->close();
        QVERIFY(extest::WaitFor([&] { return !w.PrinterType(); }));
        QVERIFY(!w.Action("PrinterTypeToolbar")->isChecked());
        w.Action("SelectPrinter")->trigger();
        QVERIFY(w.PrinterType() && w.Action("PrinterTypeToolbar")->isChecked());

        // Clearing the lists.
        w.AddResultLine("x", true);
        p.printer->FireStatusUpdate(11);
        w.Action("ClearResultCode")->trigger();
        w.Action("ClearEvents")->trigger();
        QCOMPARE(w.Result()->ResultCodeList()->count(), 0);
        QCOMPARE(w.Events()->EventCodeList()->count(), 0);
    }

    void childWindowsArePlacedByTheirRules() {
        ScriptedMessages messages;
        Program p(messages);
        ParentForm& w = *p.window;
        QMdiSubWindow* panel = w.FrameOf(w.PrinterType());
        QMdiSubWindow* results = w.FrameOf(w.Result());
        QCOMPARE(panel->x(), 0);
        QCOMPARE(results->pos(), QPoint(0, 3 + panel->height()));
        QCOMPARE(w.FrameOf(w.CashDrawer())->pos(), QPoint(results->width(), 3 + panel->height()));
        w.LoadEvents();
        QCOMPARE(w.FrameOf(w.Events())->pos(), QPoint(results->width(), 3 + panel->height()));
    }

    // The main window is built at one size and shown at another (the workbench's, with
    // its dock); the status window keeps its corner of the client area it appears in.
    void statusWindowSitsInTheCornerOfTheClientAreaItShowsIn() {
        ScriptedMessages messages;
        Program p(messages);
        ParentForm& w = *p.window;
        auto* dock = new QDockWidget(QStringLiteral("Dock"), &w);
        dock->setWidget(new QLabel(QStringLiteral("a dock as wide as the workbench's")));
        dock->widget()->setMinimumWidth(320);
        w.addDockWidget(Qt::RightDockWidgetArea, dock);
        w.resize(1340, 800);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QSize client = w.findChild<QMdiArea*>()->viewport()->size();
        QVERIFY(client.height() > 700);
        QMdiSubWindow* status = w.FrameOf(w.StatusWindow());
        QCOMPARE(status->pos(), QPoint(client.width() - (status->width() + 3),
                                       client.height() - status->height() * 5 / 4));
        QVERIFY(status->geometry().bottom() < client.height());
    }

    // The file dialog starts with the pattern in its name box, and a cancel answers it back.
    void bitmapFileDialogStartsWithThePatternInItsNameBox() {
        exerciser::CQtMessageBoxes real;
        Program p(real);
        QString nameBox = QStringLiteral("(no dialog)");
        QString title;
        QStringList filters;
        QString folder;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* dialog = VisibleTopLevel<QFileDialog>();
            if (!dialog)
                return;
            poll.stop();
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                nameBox = name->text();
            title = dialog->windowTitle();
            filters = dialog->nameFilters();
            folder = dialog->directory().absolutePath();
            dialog->reject();
        });
        poll.start();
        QVERIFY(!p.window->Module().SelectBitmapFile());
        QCOMPARE(nameBox, QStringLiteral("*.bmp"));
        QCOMPARE(title, QStringLiteral("Select Bitmap Image"));
        QCOMPARE(filters, QStringList{"Bitmap Files(*.bmp)"});
        QCOMPARE(folder, QStringLiteral("/"));
        QVERIFY(p.window->Module().BitmapFileName.empty());
    }

    // While an ErrorEvent's question waits, the child windows and menus wait with it but
    // the workbench's dock does not: its Cover close reaches the printer before Retry.
    void errorQuestionLeavesTheWorkbenchDockUsable() {
        QTemporaryDir dir;
        const QString control = dir.filePath(QStringLiteral("printer.ctl"));
        QLocalServer printerControl;
        QVERIFY(printerControl.listen(control));
        QByteArray received;
        connect(&printerControl, &QLocalServer::newConnection, this, [&] {
            QLocalSocket* peer = printerControl.nextPendingConnection();
            connect(peer, &QLocalSocket::readyRead, this,
                    [&, peer] { received += peer->readAll(); });
        });

        exerciser::CQtMessageBoxes real;
        Program p(real);
        ParentForm& w = *p.window;
        auto* dock = new exerciser::WorkbenchDock(dir.path(), control, &w);
        w.addDockWidget(Qt::RightDockWidgetArea, dock);
        w.resize(1340, 800);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* coverClose = dock->findChild<QPushButton*>(QStringLiteral("CoverCloseButton"));
        QVERIFY(coverClose);

        QString question;
        bool wholeProgramWaited = true;
        bool childrenWaited = false;
        bool menusWaited = false;
        int stage = 0;
        QElapsedTimer sinceClick;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = VisibleTopLevel<QMessageBox>();
            if (!box)
                return;
            if (stage == 0) {
                stage = 1;
                question = box->text();
                wholeProgramWaited = QApplication::activeModalWidget() != nullptr;
                childrenWaited = !w.PrinterType()->isEnabled() && !w.Result()->isEnabled();
                menusWaited = !w.Action("PrintText")->isEnabled() && !w.Action("Exit")->isEnabled();
                // A click where the operator's mouse is, through the window system.
                QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {},
                                  coverClose->mapTo(&w, coverClose->rect().center()));
                sinceClick.start();
            } else if (stage == 1 &&
                       (received.contains("cover close\n") || sinceClick.elapsed() > 20000)) {
                stage = 2;
                poll.stop();
                box->button(QMessageBox::Retry)->click();
            }
        });
        poll.start();
        LONG response = 0;
        QCOMPARE(p.printer->FireError(114, 201, 2, &response), S_OK);
        QCOMPARE(question, QString("Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened."));
        QVERIFY(!wholeProgramWaited);
        QVERIFY(childrenWaited);
        QVERIFY(menusWaited);
        QVERIFY2(received.contains("cover close\n"), received.constData());
        QCOMPARE(response, LONG(OPOS_ER_RETRY));
        // Afterwards everything is as it was, the items disabled at start too.
        QVERIFY(w.PrinterType()->isEnabled() && w.menuBar()->isEnabled());
        QVERIFY(w.Action("PrintText")->isEnabled() && w.Action("Exit")->isEnabled());
        QVERIFY(!w.Action("PropertySheet")->isEnabled() && !w.Action("MarkFeed")->isEnabled());
    }

    void drawerWindowRefusesAnUnchosenDrawerAndLogsWithItsTexts() {
        ScriptedMessages messages;
        Program p(messages);
        exerciser::CashDrawerForm& d = *p.window->CashDrawer();
        QCOMPARE(d.DrawerCombo()->currentText(), QString("RTK410.TALVERN.CD1"));
        d.OpenDrawerButton_Click();  // the name shown is not yet chosen
        QCOMPARE(messages.shown.size(), size_t(1));
        QCOMPARE(messages.shown[0].text,
                 std::string("Select the CashDrawer from 'Select CashDrawer' Menu"));
        QCOMPARE(messages.shown[0].title, std::string("Select CashDrawer"));
        QVERIFY(p.drawer->CallsOf("Open(").empty());

        p.printer->FireStatusUpdate(11);  // a selected line in the list, to see it stays
        p.window->AddResultLine("first", true);
        d.DrawerCombo_Click(0);
        d.OpenDrawerButton_Click();
        p.drawer->results["OpenDrawer"] = OPOS_E_DISABLED;
        d.OpenCashDrawerButton_Click();
        p.drawer->numbers["ResultCode"] = OPOS_E_EXTENDED;
        d.EnableDrawerButton_Click();
        QCOMPARE(ResultLines(*p.window),
                 QStringList({"MapMode Changed to: Dots : Successful", "first", "Open : Successful",
                              "OpenDrawer : Drawer is Disabled", "DeviceEnable=TRUE : Extended "}));
        QCOMPARE(p.window->Result()->ResultCodeList()->currentRow(), 1);
        QCOMPARE(p.drawer->CallsOf("Open("), std::vector<std::string>{"Open(RTK410.TALVERN.CD1)"});
    }

    void aboutDialogTexts() {
        ScriptedMessages messages;
        Program p(messages);
        p.window->Action("AboutUS")->trigger();
        exerciser::AboutForm* about = p.window->About();
        QVERIFY(about && about->isVisible());
        QVERIFY(!about->isModal());
        QCOMPARE(about->windowTitle(), QString("About PrnExerciser"));
        QCOMPARE(about->Title()->text(), QString("PrnExerciser"));
        QCOMPARE(about->Version()->text(), QString("Version 1.8.0"));
        QCOMPARE(about->Description()->text(),
                 QString("Description: This Application can be run on any windows platform to "
                         "test POS Printer Service Objects and Printers functionality."));
        about->cmdSysInfo_Click();  // no tool registered here
        QCOMPARE(messages.shown.back().text,
                 std::string("System Information Is Unavailable At This Time"));
        about->cmdOK_Click();
        QVERIFY(extest::WaitFor([&] { return !p.window->About(); }));
    }

    // One etched line (a dark line on a light one) between the texts and the buttons.
    void aboutDialogHasTwoHorizontalLines() {
        ScriptedMessages messages;
        Program p(messages);
        p.window->Action("AboutUS")->trigger();
        exerciser::AboutForm* about = p.window->About();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        auto* first = about->findChild<QFrame*>(QStringLiteral("Line1"));
        auto* second = about->findChild<QFrame*>(QStringLiteral("Line2"));
        auto* ok = about->findChild<QPushButton*>(QStringLiteral("cmdOK"));
        QVERIFY(first && second && ok);
        // Two lines apart, not one etched line made of two stacked ones: the first between
        // the version and the description, the second across the dialog above the buttons.
        QVERIFY(about->Description()->geometry().top() > first->geometry().bottom());
        QVERIFY(second->y() > about->Description()->geometry().bottom());
        QVERIFY(second->geometry().bottom() < ok->y());
        const QImage picture = about->grab().toImage();
        for (QFrame* line : {first, second}) {
            QCOMPARE(line->height(), 1);
            QVERIFY(line->isVisible());
            QVERIFY(line->width() > about->width() / 2);
            const QPoint middle(line->x() + line->width() / 2, line->y());
            QVERIFY(qGray(picture.pixel(middle)) < qGray(picture.pixel(middle + QPoint(0, 2))));
        }
    }

    void programRendersEveryWindowAndExits() {
        QTemporaryDir dir;
        QProcess program;
        program.start(PRNEXERCISER_PROGRAM, {"--screenshot", dir.path()});
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        for (const char* file :
             {"ParentForm.png", "ParentForm-PrinterTypeForm.png", "ParentForm-ResultForm.png",
              "ParentForm-EventForm.png", "ParentForm-StatusForm.png",
              "ParentForm-CashDrawerForm.png", "ParentForm-PrintTextForm.png", "CashDrawerForm.png",
              "AboutForm.png"}) {
            const QImage image(dir.filePath(file));
            QVERIFY2(!image.isNull() && image.width() > 200 && image.height() > 100, file);
        }
    }
};

EXERCISER_TEST_MAIN(WindowTest)
#include "window_test.moc"
