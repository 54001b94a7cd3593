#include "setup/ComPropertiesDlg.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "setup/MessageBoxes.h"
#include "setup/SetupRegistry.h"
#include "setup/ViewHelpers.h"

namespace setup {
namespace {

int IndexOf(const std::vector<std::string>& items, const std::string& text) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i] == text) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const std::string* ItemAt(const std::vector<std::string>& items, int index) {
    return index >= 0 && index < static_cast<int>(items.size())
               ? &items[static_cast<std::size_t>(index)]
               : nullptr;
}

}  // namespace

ComProperties::ComProperties(CSetupRegistry& registry, CMessageBoxes& messages, std::string printer)
    : registry_(registry), messages_(messages), printer_(std::move(printer)) {
    controls_.baudRates = {"2400", "4800", "19200", "38400"};
    controls_.parities = {"None", "Odd", "Even"};
    controls_.handShakes = {"DTR/DSR", "XON/OFF"};
    controls_.bitLengths = {"7", "8"};

    const std::string key = PrinterKey(printer_);
    baudRate_ = registry_.ReadValue("BaudRate", key);
    bitLength_ = registry_.ReadValue("BitLength", key);
    auto load = [&](const char* name, LoadedNumber& number) {
        std::optional<std::string> text = registry_.ReadValue(name, key);
        number = {text ? ParseDecimal(*text) : 0u, text.has_value()};
    };
    load("Parity", parity_);
    load("HandShake", handShake_);

    controls_.baudRate = IndexOf(controls_.baudRates, baudRate_.value_or("19200"));
    controls_.bitLength = IndexOf(controls_.bitLengths, bitLength_.value_or("8"));
    controls_.parity =
        parity_.value < controls_.parities.size() ? static_cast<int>(parity_.value) : -1;
    controls_.handShake =
        handShake_.value < controls_.handShakes.size() ? static_cast<int>(handShake_.value) : -1;
}

bool ComProperties::Ok() {
    if (!registry_.CanOpenRoot(kDrawerRoot)) {
        messages_.Error(kError1311);
        return false;
    }
    if (printer_.empty()) {
        return true;
    }
    std::vector<std::string> keys = {PrinterKey(printer_)};
    std::vector<std::string> drawers =
        registry_.EnumerateDevices(kDrawerRoot, "PrinterID", printer_).names;
    // More than two drawers on one printer: only the first two share its port settings.
    for (std::size_t i = 0; i < drawers.size() && i < 2; ++i) {
        keys.push_back(DrawerKey(drawers[i]));
    }
    struct Pending {
        const char* name;
        std::string text;
    };
    std::vector<Pending> writes;
    // A list without a selection (a stored entry the list does not offer) stores nothing:
    // an empty baud rate or a "no selection" position would break the port's settings.
    if (const std::string* text = ItemAt(controls_.baudRates, controls_.baudRate)) {
        const std::string value = Truncate(*text, kEditLimit);
        if (!baudRate_ || *baudRate_ != value) {
            writes.push_back({"BaudRate", value});
        }
    }
    if (const std::string* text = ItemAt(controls_.bitLengths, controls_.bitLength)) {
        const std::string value = Truncate(*text, kEditLimit);
        if (!bitLength_ || *bitLength_ != value) {
            writes.push_back({"BitLength", value});
        }
    }
    if (controls_.parity >= 0) {
        const auto value = static_cast<unsigned>(controls_.parity);
        if (!parity_.present || parity_.value != value) {
            writes.push_back({"Parity", FormatCode(value)});
        }
    }
    if (controls_.handShake >= 0) {
        const auto value = static_cast<unsigned>(controls_.handShake);
        if (!handShake_.present || handShake_.value != value) {
            writes.push_back({"HandShake", FormatCode(value)});
        }
    }
    for (const std::string& key : keys) {
        for (const Pending& write : writes) {
            registry_.WriteValue(write.name, write.text, key);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------

CComPropertiesDlg::CComPropertiesDlg(CSetupRegistry& registry, CMessageBoxes& messages,
                                     const std::string& printer, QWidget* parent)
    : QDialog(parent), logic_(registry, messages, printer) {
    setWindowTitle(QStringLiteral("COM Properties"));
    setObjectName(QStringLiteral("ComProperties"));
    const ComControls& c = logic_.Controls();
    auto combo = [this](const char* name, const std::vector<std::string>& items, int current) {
        auto* box = new QComboBox(this);
        box->setObjectName(QString::fromLatin1(name));
        FillCombo(box, items, current);
        box->setMinimumContentsLength(10);
        return box;
    };
    baudRate_ = combo("BaudRate", c.baudRates, c.baudRate);
    parity_ = combo("Parity", c.parities, c.parity);
    handShake_ = combo("HandShake", c.handShakes, c.handShake);
    bitLength_ = combo("BitLength", c.bitLengths, c.bitLength);

    auto* settings = new QGroupBox(QStringLiteral("Port Settings"), this);
    auto* form = new QFormLayout(settings);
    form->addRow(QStringLiteral("Baud Rate (bps)"), baudRate_);
    form->addRow(QStringLiteral("Parity Selection"), parity_);
    form->addRow(QStringLiteral("Hand Shake"), handShake_);
    form->addRow(QStringLiteral("Bit Length"), bitLength_);

    ok_ = new QPushButton(QStringLiteral("&Ok"), this);
    ok_->setObjectName(QStringLiteral("Ok"));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel_->setObjectName(QStringLiteral("Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(settings);
    layout->addLayout(buttons);

    connect(baudRate_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseBaudRate(index); });
    connect(parity_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseParity(index); });
    connect(handShake_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseHandShake(index); });
    connect(bitLength_, &QComboBox::activated, this,
            [this](int index) { logic_.ChooseBitLength(index); });
    connect(ok_, &QPushButton::clicked, this, [this] {
        if (logic_.Ok()) {
            accept();
        }
    });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

}  // namespace setup
