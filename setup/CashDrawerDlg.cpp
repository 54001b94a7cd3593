#include "setup/CashDrawerDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "setup/MessageBoxes.h"
#include "setup/SetupRegistry.h"
#include "setup/ViewHelpers.h"

namespace setup {

CashDrawerPage::CashDrawerPage(CSetupRegistry& registry, CMessageBoxes& messages)
    : registry_(registry), messages_(messages) {}

void CashDrawerPage::Activate(const std::string& printer) {
    if (!registry_.CanOpenRoot(kDrawerRoot)) {
        messages_.Error(kError1311);
        return;
    }
    controls_.drawers = registry_.EnumerateDevices(kDrawerRoot, "PrinterID", printer).names;
    if (printer.empty()) {
        controls_.drawers.clear();
    }
    if (HasDrawerAt(position_)) {
        controls_.drawer = static_cast<int>(position_);
        Load(controls_.drawers[position_]);
        Show();
    } else {
        // The position stays remembered: it may hold a drawer again for the next printer.
        controls_.drawer = -1;
        controls_.signalTime.clear();
        controls_.pin3 = false;
        controls_.high = false;
        controls_.low = false;
    }
    MarkUnchanged();
}

void CashDrawerPage::Load(const std::string& drawer) {
    const std::string key = DrawerKey(drawer);
    pin3_.Load(registry_, "Pin3", key);
    capStatus_.Load(registry_, "CapStatus", key);
    onTime_.Load(registry_, "OnTime", key);
}

void CashDrawerPage::Show() {
    controls_.high = capStatus_.value != 0;
    controls_.low = !controls_.high;
    controls_.signalTime = std::to_string(onTime_.value);
    controls_.pin3 = pin3_.value != 0;
}

void CashDrawerPage::ChooseDrawer(int index) {
    if (index < 0 || !HasDrawerAt(static_cast<std::size_t>(index))) {
        return;
    }
    position_ = static_cast<std::size_t>(index);
    controls_.drawer = index;
    Load(controls_.drawers[position_]);
    Show();
}

void CashDrawerPage::SetSignalTime(const std::string& text) {
    MarkChanged();
    onTime_.edited = true;
    controls_.signalTime = Truncate(text, kEditLimit);
}

void CashDrawerPage::SetPin3(bool connected) {
    MarkChanged();
    pin3_.edited = true;
    controls_.pin3 = connected;
}

void CashDrawerPage::ChooseCapStatus(bool high) {
    MarkChanged();
    capStatus_.edited = true;
    controls_.high = high;
    controls_.low = !high;
}

void CashDrawerPage::RestoreDefault() {
    controls_.high = true;
    controls_.low = false;
    controls_.pin3 = true;
    pin3_.edited = true;
    capStatus_.edited = true;
    // Setting the box's text is a change of the box like any other.
    SetSignalTime("5");
}

void CashDrawerPage::Save() {
    // The remembered position may lie past the end of this printer's list; then there is
    // no drawer to write to.
    if (!HasDrawerAt(position_) || controls_.drawer < 0) {
        return;
    }
    const std::string key = DrawerKey(controls_.drawers[position_]);
    auto save = [&](const char* name, unsigned value, LoadedNumber& loaded) {
        if (!loaded.NeedsWrite(value)) {
            return;
        }
        if (registry_.WriteValue(name, FormatCode(value), key)) {
            loaded = {value, true};
        }
    };
    save("Pin3", controls_.pin3 ? 1 : 0, pin3_);
    save("CapStatus", controls_.high ? 1 : 0, capStatus_);
    save("OnTime", ParseDecimal(Truncate(controls_.signalTime, kEditLimit)), onTime_);
}

// ---------------------------------------------------------------------------------------

CCashDrawerDlg::CCashDrawerDlg(CSetupRegistry& registry, CMessageBoxes& messages,
                               const CGeneralDlg* general, QWidget* parent)
    : CSetupPage(QStringLiteral("Cash Drawer"), parent),
      logic_(registry, messages),
      general_(general) {
    logic_.onChanged = [this] { emit changed(); };

    drawers_ = new QComboBox(this);
    drawers_->setObjectName(QStringLiteral("CashDrawers"));
    drawers_->setMinimumContentsLength(30);
    signalTime_ = new QLineEdit(this);
    signalTime_->setObjectName(QStringLiteral("SignalTime"));
    signalTime_->setMaxLength(static_cast<int>(kEditLimit));
    signalTime_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
    signalTime_->setMaximumWidth(80);
    pin3_ = new QCheckBox(QStringLiteral("Pin3 Connected"), this);
    pin3_->setObjectName(QStringLiteral("Pin3Connected"));

    auto* statusBox = new QGroupBox(QStringLiteral("Pin3 Status of Drawer Opened"), this);
    high_ = new QRadioButton(QStringLiteral("High"), statusBox);
    high_->setObjectName(QStringLiteral("High"));
    low_ = new QRadioButton(QStringLiteral("Low"), statusBox);
    low_->setObjectName(QStringLiteral("Low"));
    // Both may be clear (no drawer shown), which auto-exclusive radios would not allow.
    high_->setAutoExclusive(false);
    low_->setAutoExclusive(false);
    auto* statusLayout = new QHBoxLayout(statusBox);
    statusLayout->addWidget(high_);
    statusLayout->addWidget(low_);
    statusLayout->addStretch();

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("CashDrawers"), this), 0, 0);
    grid->addWidget(drawers_, 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Signal Time"), this), 1, 0);
    grid->addWidget(signalTime_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("( x 100) msec."), this), 1, 2);
    grid->addWidget(pin3_, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(statusBox);
    layout->addStretch();
    restoreDefault_ = AddRestoreDefaultRow(this, layout, [this] {
        logic_.RestoreDefault();
        Refresh();
    });

    connect(drawers_, &QComboBox::activated, this, [this](int index) {
        logic_.ChooseDrawer(index);
        Refresh();
    });
    connect(signalTime_, &QLineEdit::textEdited, this,
            [this](const QString& text) { logic_.SetSignalTime(text.toStdString()); });
    connect(pin3_, &QCheckBox::clicked, this, [this](bool on) { logic_.SetPin3(on); });
    connect(high_, &QRadioButton::clicked, this, [this] {
        logic_.ChooseCapStatus(true);
        Refresh();
    });
    connect(low_, &QRadioButton::clicked, this, [this] {
        logic_.ChooseCapStatus(false);
        Refresh();
    });
}

void CCashDrawerDlg::OnSetActive() {
    logic_.Activate(general_ != nullptr ? general_->SelectedPrinterName() : std::string());
    Refresh();
}

void CCashDrawerDlg::Refresh() {
    const CashDrawerControls& c = logic_.Controls();
    FillCombo(drawers_, c.drawers, c.drawer);
    SetEditText(signalTime_, c.signalTime);
    {
        const QSignalBlocker block(pin3_);
        pin3_->setChecked(c.pin3);
    }
    SetRadio(high_, true, c.high);
    SetRadio(low_, true, c.low);
}

}  // namespace setup
