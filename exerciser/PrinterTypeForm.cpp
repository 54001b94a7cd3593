#include "exerciser/PrinterTypeForm.h"

#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "exerciser/StatusForm.h"
#include "gui/Widgets.h"
#include "opos/OposConstants.h"

namespace exerciser {

using thermpos::gui::NamedButton;

PrinterTypeForm::PrinterTypeForm(CGlobalModule& module, CExerciserWindows& windows, QWidget* parent)
    : QWidget(parent), module_(module), windows_(windows) {
    setObjectName(QStringLiteral("PrinterTypeForm"));
    setWindowTitle(QStringLiteral("Printer Control Panel"));

    auto* label = new QLabel(QStringLiteral("Select POS Printer:"), this);
    label->setObjectName(QStringLiteral("Label1"));
    combo_ = new QComboBox(this);
    combo_->setObjectName(QStringLiteral("PrinterCombo"));
    combo_->setMinimumWidth(230);

    auto* frame3 = new QGroupBox(QStringLiteral("Printer T&ype"), this);
    frame3->setObjectName(QStringLiteral("Frame3"));
    jrn_ = new QRadioButton(QStringLiteral("Journal"), frame3);
    jrn_->setObjectName(QStringLiteral("JrnOption"));
    rec_ = new QRadioButton(QStringLiteral("Receipt"), frame3);
    rec_->setObjectName(QStringLiteral("RecOption"));
    slp_ = new QRadioButton(QStringLiteral("Slip"), frame3);
    slp_->setObjectName(QStringLiteral("SlpOption"));
    auto* stations = new QVBoxLayout(frame3);
    for (QRadioButton* o : {jrn_, rec_, slp_}) {
        o->setEnabled(false);
        stations->addWidget(o);
    }
    jrn_->setChecked(true);

    auto* frame1 = new QGroupBox(this);
    frame1->setObjectName(QStringLiteral("Frame1"));
    QPushButton* open = NamedButton("OpenPrinterButton", "&Open", frame1);
    QPushButton* claim = NamedButton("ClaimPrinterButton", "&Claim ", frame1);
    QPushButton* enable = NamedButton("EnablePrinterButton", "Device&Enabled (True)", frame1);
    QPushButton* print = NamedButton("PrintCurrentTextButton", "Print &Text", frame1);
    QFont bold = print->font();
    bold.setBold(true);
    print->setFont(bold);
    QPushButton* disable = NamedButton("DisablePrinterButton", "&DeviceEnabled (False)", frame1);
    QPushButton* release = NamedButton("ReleasePrinterButton", "Re&lease", frame1);
    QPushButton* close = NamedButton("ClosePrinterButton", "&Close", frame1);
    power_ = new QCheckBox(QStringLiteral("Power Notify"), frame1);
    power_->setObjectName(QStringLiteral("PowerCheck"));
    async_ = new QCheckBox(QStringLiteral("Async Flag"), frame1);
    async_->setObjectName(QStringLiteral("AsyncFlagCheck"));
    power_->setEnabled(false);
    async_->setEnabled(false);

    auto* grid = new QGridLayout(frame1);
    grid->addWidget(open, 0, 0);
    grid->addWidget(claim, 0, 1);
    grid->addWidget(enable, 0, 2);
    grid->addWidget(print, 0, 3);
    grid->addWidget(disable, 1, 0, 1, 2);
    grid->addWidget(release, 1, 2);
    grid->addWidget(close, 1, 3);
    grid->addWidget(power_, 2, 0, 1, 2);
    grid->addWidget(async_, 2, 2, 1, 2);

    auto* top = new QHBoxLayout;
    top->addWidget(label);
    top->addWidget(combo_, 1);
    auto* body = new QHBoxLayout;
    body->addWidget(frame3);
    body->addWidget(frame1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(body);

    connect(combo_, &QComboBox::activated, this, &PrinterTypeForm::PrinterCombo_Click);
    connect(jrn_, &QRadioButton::clicked, this, &PrinterTypeForm::JrnOption_Click);
    connect(rec_, &QRadioButton::clicked, this, &PrinterTypeForm::RecOption_Click);
    connect(slp_, &QRadioButton::clicked, this, &PrinterTypeForm::SlpOption_Click);
    connect(open, &QPushButton::clicked, this, &PrinterTypeForm::OpenPrinterButton_Click);
    connect(claim, &QPushButton::clicked, this, &PrinterTypeForm::ClaimPrinterButton_Click);
    connect(enable, &QPushButton::clicked, this, &PrinterTypeForm::EnablePrinterButton_Click);
    connect(disable, &QPushButton::clicked, this, &PrinterTypeForm::DisablePrinterButton_Click);
    connect(release, &QPushButton::clicked, this, &PrinterTypeForm::ReleasePrinterButton_Click);
    connect(close, &QPushButton::clicked, this, &PrinterTypeForm::ClosePrinterButton_Click);
    connect(print, &QPushButton::clicked, this, &PrinterTypeForm::PrintCurrentTextButton_Click);
    connect(async_, &QCheckBox::clicked, this, &PrinterTypeForm::AsyncFlagCheck_Click);
    connect(power_, &QCheckBox::clicked, this, &PrinterTypeForm::PowerCheck_Click);

    LoadDevices();
    resize(560, 190);
}

void PrinterTypeForm::LoadDevices() {
    std::vector<std::string> names;
    if (!ListDevices("POSPrinter", names)) {
        module_.Messages().Show(kRegistryProblem, "", CMessageBoxes::Icon::None,
                                CMessageBoxes::Buttons::Ok);
        return;
    }
    for (const std::string& name : names)
        combo_->addItem(QString::fromStdString(name));
    module_.SelectedPrinterName = names.empty() ? std::string() : names.front();
}

void PrinterTypeForm::PrinterCombo_Click(int index) {
    if (index >= 0 && index < combo_->count())
        module_.SelectedPrinterName = combo_->itemText(index).toStdString();
}

void PrinterTypeForm::JrnOption_Click() {
    module_.CurrentStation = PTR_S_JOURNAL;
}

void PrinterTypeForm::RecOption_Click() {
    module_.CurrentStation = PTR_S_RECEIPT;
}

void PrinterTypeForm::SlpOption_Click() {
    module_.CurrentStation = PTR_S_SLIP;
}

void PrinterTypeForm::OpenPrinterButton_Click() {
    COposObject& printer = module_.PrinterCO;
    // A fresh device starts with a clean result list.
    if (printer.GetLong("State") == OPOS_S_CLOSED)
        module_.Results().ClearResults();
    if (module_.SelectedPrinterName.empty()) {
        module_.Messages().Show("Select the Printer from 'Select Printer' Menu", "Select Printer",
                                CMessageBoxes::Icon::Critical, CMessageBoxes::Buttons::Ok);
        return;
    }
    thermpos::platform::com::OutgoingArgs args;
    args.String(module_.SelectedPrinterName);
    module_.LogResult("Open", printer.Call("Open", args));

    // The last present station wins: slip before receipt before journal.
    if (printer.GetBool("CapJrnPresent")) {
        jrn_->setEnabled(true);
        jrn_->setChecked(true);
        module_.CurrentStation = PTR_S_JOURNAL;
    }
    if (printer.GetBool("CapRecPresent")) {
        rec_->setEnabled(true);
        rec_->setChecked(true);
        module_.CurrentStation = PTR_S_RECEIPT;
    }
    if (printer.GetBool("CapSlpPresent")) {
        slp_->setEnabled(true);
        slp_->setChecked(true);
        module_.CurrentStation = PTR_S_SLIP;
    }
    async_->setEnabled(true);
    power_->setEnabled(true);
    SetBox(async_, false);
    SetBox(power_, false);
    module_.BitmapNumber = 0;
}

void PrinterTypeForm::ClaimPrinterButton_Click() {
    thermpos::platform::com::OutgoingArgs args;
    args.Long(0);
    module_.LogResult("Claim", module_.PrinterCO.Call("ClaimDevice", args));
}

void PrinterTypeForm::EnablePrinterButton_Click() {
    COposObject& printer = module_.PrinterCO;
    printer.SetBool("DeviceEnabled", true);
    // PowerNotify may only change while the device is disabled.
    power_->setEnabled(false);
    const LONG rc = printer.GetLong("ResultCode");
    module_.LogResult("DeviceEnable=TRUE", rc);
    if (rc != OPOS_SUCCESS)
        return;
    windows_.Status().Apply(ReadStatusPrime(printer));
    printer.SetBool("FlagWhenIdle", true);
}

void PrinterTypeForm::DisablePrinterButton_Click() {
    module_.PrinterCO.SetBool("DeviceEnabled", false);
    power_->setEnabled(true);
    module_.LogResult("DeviceEnable=FALSE", module_.PrinterCO.GetLong("ResultCode"));
}

void PrinterTypeForm::ReleasePrinterButton_Click() {
    module_.LogResult("Release", module_.PrinterCO.Call("ReleaseDevice"));
}

void PrinterTypeForm::ClosePrinterButton_Click() {
    const LONG rc = module_.PrinterCO.Call("Close");
    module_.LogResult("Close", rc);
    // Close's own result: once closed, a control object answers OPOS_E_CLOSED for
    // ResultCode, which would keep the windows enabled after every successful Close.
    if (rc != OPOS_SUCCESS)
        return;
    windows_.Status().DisableAll();
    for (QWidget* w : std::initializer_list<QWidget*>{jrn_, rec_, slp_, async_, power_})
        w->setEnabled(false);
}

void PrinterTypeForm::PrintCurrentTextButton_Click() {
    windows_.ShowPrintText();
}

void PrinterTypeForm::AsyncFlagCheck_Click() {
    if (module_.PrinterCO.Exists())
        module_.PrinterCO.SetShort("AsyncMode", async_->isChecked() ? 1 : 0);
}

void PrinterTypeForm::PowerCheck_Click() {
    if (module_.PrinterCO.Exists())
        module_.PrinterCO.SetShort("PowerNotify", power_->isChecked() ? 1 : 0);
}

void PrinterTypeForm::SetBox(QCheckBox* box, bool checked) {
    if (box->isChecked() == checked)
        return;
    box->setChecked(checked);
    if (box == async_)
        AsyncFlagCheck_Click();
    else
        PowerCheck_Click();
}

}  // namespace exerciser
