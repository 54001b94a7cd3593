// PrnExerciser with the real control objects, created by ProgID, and ThermSO driving the
// virtual printer on a pty: the status window and the event list following the printer,
// the error event's retry and clear deciding whether a job prints, the drawer window
// against the virtual drawer (its wait off the GUI thread), and one session end to end.
// The printer's output is judged by the receipts it finished, never by port bytes.
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "exerciser/ParentForm.h"
#include "opos/OposConstants.h"
#include "tests/exerciser/ExerciserTestSupport.h"
#include "tests/so/TestSupport.h"
#include "tests/support/virtual_printer.h"

using namespace extest;
namespace vp = thermpos::vprinter;
using namespace std::chrono_literals;

namespace {

// The RT-K410 refuses power notification on serial ports; this model reports power.
constexpr char kPowerPrinter[] = "RTK6100.TALVERN.POSPrinter";

void Click(QWidget* form, const char* button) {
    auto* b = form->findChild<QPushButton*>(QString::fromLatin1(button));
    QVERIFY2(b, button);
    QTest::mouseClick(b, Qt::LeftButton);
}

// On the box itself: a laid-out check box is wider than its indicator and text.
void ClickBox(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

}  // namespace

class DevicesTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<vp::VirtualPrinter> vp_;
    ScriptedMessages* messages_ = nullptr;
    std::unique_ptr<ParentForm> window_;

    ParentForm& W() { return *window_; }
    exerciser::StatusForm& Status() { return *W().StatusWindow(); }
    QStringList Results() { return extest::ResultLines(W()); }
    QStringList Events() { return W().Events() ? W().Events()->Lines() : QStringList(); }

    // Open, Claim and (with power notification asked for) Enable the printer from the panel.
    void StartPrinter(const char* name = kPowerPrinter) {
        exerciser::PrinterTypeForm& panel = *W().PrinterType();
        const int index = panel.PrinterCombo()->findText(name);
        QVERIFY(index >= 0);
        panel.PrinterCombo_Click(index);
        Click(&panel, "OpenPrinterButton");
        Click(&panel, "ClaimPrinterButton");
        ClickBox(panel.PowerCheck());
        Click(&panel, "EnablePrinterButton");
        QCOMPARE(Results(), QStringList({"Open : Successful", "Claim : Successful",
                                         "DeviceEnable=TRUE : Successful"}));
    }

    // Waits until the service object, not just the virtual printer, knows the cover state.
    bool CoverSeen(bool open) {
        return WaitFor([&] { return W().Module().PrinterCO.GetBool("CoverOpen") == open; });
    }

    LONG PrintNormal(const std::string& data) {
        thermpos::platform::com::OutgoingArgs args;
        args.Long(PTR_S_RECEIPT).String(data);
        return W().Module().PrinterCO.Call("PrintNormal", args);
    }

  private slots:
    void init() {
        QCOMPARE(sotest::RegisterServer(sotest::ServerPath()), LONG(S_OK));
        QCOMPARE(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), LONG(S_OK));
        vp_ = std::make_unique<vp::VirtualPrinter>();
        std::string error;
        QVERIFY2(!thermpos::testing::StartOnPty(*vp_, kPort, "devices", &error).empty(),
                 error.c_str());
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}});
        sotest::WriteDevice("POSPrinter", kPowerPrinter, {{"Port", kPort}});
        sotest::WriteDevice("CashDrawer", kDrawer, {{"Port", kPort}, {"CapStatus", "001"}});
        messages_ = new ScriptedMessages;
        window_ = std::make_unique<ParentForm>(*messages_);
        window_->show();
    }

    void cleanup() {
        window_.reset();
        delete messages_;
        messages_ = nullptr;
        vp_.reset();
    }

    void statusWindowAndEventsFollowThePrinter() {
        StartPrinter();
        QVERIFY(Status().Box(StatusBox::CoverOpen)->isEnabled());
        QVERIFY(!Status().Checked(StatusBox::CoverOpen));

        vp_->SetCover(true);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::CoverOpen); }));
        QVERIFY(Events().contains("Status: Printer Cover open"));
        vp_->SetCover(false);
        QVERIFY(WaitFor([&] { return !Status().Checked(StatusBox::CoverOpen); }));
        QVERIFY(Events().contains("Status: Printer Cover OK"));

        vp_->SetPaper(vp::PaperState::NearEnd);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::PaperNearEnd); }));
        vp_->SetPaper(vp::PaperState::Out);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::RecSensor); }));
        QVERIFY(Events().contains("Status: Printer is out of paper"));
        vp_->SetPaper(vp::PaperState::Ok);
        QVERIFY(WaitFor([&] {
            return !Status().Checked(StatusBox::RecSensor) &&
                   !Status().Checked(StatusBox::PaperNearEnd);
        }));
        QVERIFY(Events().contains("Status: Printer paper OK"));

        vp_->SetOnline(false);
        QVERIFY(WaitFor([&] { return !Status().Checked(StatusBox::PowerOnline); }));
        QVERIFY(Events().contains("Status: Printer Offline"));
        vp_->SetOnline(true);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::PowerOnline); }));
        QVERIFY(Events().contains("Status: Printer Online"));
        // The event list selects its newest line.
        QCOMPARE(W().Events()->EventCodeList()->currentRow(), Events().size() - 1);
    }

    // The RT-K410 takes power notification only off a COM port: on COM the box and the
    // event list ignore the printer going offline; on a parallel port (the same pty under
    // an LPT name) they follow it.
    void powerFollowsTheRtk410WhereItReportsPower() {
        StartPrinter(kPrinter);  // the box is checked, the printer refuses
        QCOMPARE(W().Module().PrinterCO.GetLong("PowerNotify"), LONG(OPOS_PN_DISABLED));
        vp_->SetOnline(false);
        vp_->SetCover(true);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::CoverOpen); }));
        QVERIFY(Status().Checked(StatusBox::PowerOnline));
        QVERIFY(!Events().contains("Status: Printer Offline"));
        W().PrinterType()->ClosePrinterButton_Click();
        vp_->SetOnline(true);
        vp_->SetCover(false);
        W().Action("ClearEvents")->trigger();

        sotest::SetValue("SOFTWARE\\ThermPOS\\Ports", "LPT23", vp_->DevicePath());
        sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", "LPT23"}});
        StartPrinter(kPrinter);
        QCOMPARE(W().Module().PrinterCO.GetLong("PowerNotify"), LONG(OPOS_PN_ENABLED));
        QVERIFY(Status().Box(StatusBox::PowerOnline)->isEnabled());
        vp_->SetOnline(false);
        QVERIFY(WaitFor([&] { return !Status().Checked(StatusBox::PowerOnline); }));
        QCOMPARE(Events().last(), QString("Status: Printer Offline"));
        vp_->SetOnline(true);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::PowerOnline); }));
        QCOMPARE(Events().last(), QString("Status: Printer Online"));
    }

    void errorEventRetryPrintsTheJobOnce() {
        StartPrinter();
        ClickBox(W().PrinterType()->AsyncFlagCheck());
        vp_->SetCover(true);
        QVERIFY(CoverSeen(true));
        // The operator closes the cover, then answers Retry.
        messages_->replies = {CMessageBoxes::Reply::Retry};
        messages_->onShow = [&](const std::string&) {
            vp_->SetCover(false);
            QVERIFY(CoverSeen(false));
        };
        QCOMPARE(PrintNormal("retried job\n\x1b|P"), LONG(OPOS_SUCCESS));
        QVERIFY(WaitFor([&] { return vp_->ReceiptCount() >= 1; }));
        QCOMPARE(messages_->shown.size(), size_t(1));
        QCOMPARE(messages_->shown[0].text,
                 std::string("Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened."));

        // A job printed after it comes out next: the retried one came out once.
        ClickBox(W().PrinterType()->AsyncFlagCheck());
        QCOMPARE(PrintNormal("marker\n\x1b|P"), LONG(OPOS_SUCCESS));
        QVERIFY(vp_->WaitReceipts(2, 10s));
        QCOMPARE(vp_->ReceiptCount(), 2);
    }

    void errorEventClearDropsTheJob() {
        StartPrinter();
        ClickBox(W().PrinterType()->AsyncFlagCheck());
        vp_->SetCover(true);
        QVERIFY(CoverSeen(true));
        messages_->replies = {CMessageBoxes::Reply::Cancel};
        QCOMPARE(PrintNormal("cleared job\n\x1b|P"), LONG(OPOS_SUCCESS));
        QVERIFY(WaitFor([&] { return messages_->shown.size() == 1; }));
        vp_->SetCover(false);
        QVERIFY(CoverSeen(false));
        ClickBox(W().PrinterType()->AsyncFlagCheck());
        QCOMPARE(PrintNormal("marker\n\x1b|P"), LONG(OPOS_SUCCESS));
        QVERIFY(vp_->WaitReceipts(1, 10s));
        W().PrinterType()->ClosePrinterButton_Click();
        vp_->Stop();  // finishes anything still on the paper
        QCOMPARE(vp_->ReceiptCount(), 1);
    }

    void drawerWindowOpensAndWaitsWithoutFreezing() {
        exerciser::CashDrawerForm& d = *W().CashDrawer();
        d.DrawerCombo_Click(0);
        Click(&d, "OpenDrawerButton");
        Click(&d, "OpenCashDrawerButton");  // not enabled yet
        Click(&d, "EnableDrawerButton");
        Click(&d, "OpenCashDrawerButton");
        QVERIFY(vp_->WaitStatus([](const vp::PrinterStatus& s) { return s.drawerOpen; }, 10s));
        QVERIFY(WaitFor([&] { return W().Module().DrawerCO.GetBool("DrawerOpened"); }));

        bool finished = false;
        connect(&d, &exerciser::CashDrawerForm::WaitFinished, this, [&] { finished = true; });
        Click(&d, "WaitforCloseDrawerButton");
        QVERIFY(d.Waiting());
        // The window keeps working while the drawer is open: timers fire, buttons answer.
        bool ticked = false;
        QTimer::singleShot(50, this, [&] { ticked = true; });
        QVERIFY(WaitFor([&] { return ticked; }));
        QVERIFY(!finished);
        W().AddResultLine("while waiting", false);
        vp_->SetDrawer(false);
        QVERIFY(WaitFor([&] { return finished; }));
        Click(&d, "DisableDrawerButton");
        Click(&d, "CloseDrawerButton");
        QCOMPARE(Results(),
                 QStringList({"MapMode Changed to: Dots : Printer is Closed", "Open : Successful",
                              "OpenDrawer : Drawer is Disabled", "DeviceEnable=TRUE : Successful",
                              "OpenDrawer : Successful", "while waiting",
                              "WaitforCloseDrawer : Successful", "DeviceEnable=FALSE : Successful",
                              "Close : Successful"}));
    }

    void closingTheDrawerWindowEndsAWaitInProgress() {
        exerciser::CashDrawerForm& d = *W().CashDrawer();
        d.DrawerCombo_Click(0);
        Click(&d, "OpenDrawerButton");
        Click(&d, "EnableDrawerButton");
        Click(&d, "OpenCashDrawerButton");
        QVERIFY(WaitFor([&] { return W().Module().DrawerCO.GetBool("DrawerOpened"); }));
        Click(&d, "WaitforCloseDrawerButton");
        QVERIFY(d.Waiting());
        // Unloading closes the device, which ends the wait; nothing hangs.
        W().FrameOf(&d)->close();
        QVERIFY(WaitFor([&] { return !W().CashDrawer(); }));
        QVERIFY(!W().Action("SelectCashDrawer")->isChecked());
    }

    // The session an operator runs first, through the buttons and menus of the window
    // as the program makes it.
    void endToEndSession() {
        exerciser::PrinterTypeForm& panel = *W().PrinterType();
        QComboBox* combo = panel.PrinterCombo();
        const int index = combo->findText(kPrinter);
        QVERIFY(index >= 0);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        Click(&panel, "OpenPrinterButton");
        Click(&panel, "ClaimPrinterButton");
        Click(&panel, "EnablePrinterButton");
        QVERIFY(panel.RecOption()->isChecked());
        QCOMPARE(W().Module().CurrentStation, LONG(PTR_S_RECEIPT));
        // The current text (empty) printed on the chosen station, as the print window does.
        W().Module().LogResult("PrintNormal", PrintNormal(""));
        vp_->SetCover(true);
        QVERIFY(WaitFor([&] { return Status().Checked(StatusBox::CoverOpen); }));
        QCOMPARE(Events().last(), QString("Status: Printer Cover open"));
        Click(&panel, "ClosePrinterButton");
        QCOMPARE(Results(), QStringList({"Open : Successful", "Claim : Successful",
                                         "DeviceEnable=TRUE : Successful",
                                         "PrintNormal : Successful", "Close : Successful"}));
        QVERIFY(!Status().Box(StatusBox::CoverOpen)->isEnabled());
        QCOMPARE(W().Module().PrinterCO.GetLong("State"), LONG(OPOS_S_CLOSED));
    }
};

EXERCISER_TEST_MAIN(DevicesTest)
#include "devices_test.moc"
