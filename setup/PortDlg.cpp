#include "setup/PortDlg.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/nocase.h"
#include "platform/portname.h"
#include "setup/GeneralDlg.h"
#include "setup/MessageBoxes.h"
#include "setup/PortServices.h"
#include "setup/SetupRegistry.h"
#include "setup/ViewHelpers.h"
#include "so/core/PortNameKind.h"

namespace setup {
namespace {

constexpr unsigned kMinWriteTimeout = 2000;

}  // namespace

PortPage::PortPage(CSetupRegistry& registry, CMessageBoxes& messages, CPortServices& services)
    : registry_(registry), messages_(messages), services_(services) {}

void PortPage::Initialize() {
    std::vector<std::string> ports;
    if (!services_.EnumeratePorts(ports)) {
        ports = {"COM1:", "COM2:", "LPT1:", "LPT2:", "USB001", "USB002"};
    }
    // The drop-down sorts its entries the way people read port names, without regard to case.
    std::stable_sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        return thermpos::platform::CompareNoCase(a, b) < 0;
    });
    controls_.ports = std::move(ports);
}

void PortPage::Activate(const std::string& printer) {
    printer_ = printer;
    const std::string key = PrinterKey(printer_);
    port_ = registry_.ReadValue("Port", key);
    statusBackInterval_ = registry_.ReadValue("StatusBackInterval", key);
    writeTimeout_ = registry_.ReadValue("WriteTimeout", key);

    controls_.port = -1;
    for (std::size_t i = 0; port_ && i < controls_.ports.size(); ++i) {
        if (thermpos::platform::portname::EqualNoCase(controls_.ports[i], *port_)) {
            controls_.port = static_cast<int>(i);
            break;
        }
    }
    controls_.statusBackInterval = Truncate(statusBackInterval_.value_or(""), kEditLimit);
    controls_.writeTimeout = Truncate(writeTimeout_.value_or(""), kEditLimit);
    // A stored time-out below the minimum is pointed out as soon as the page shows it.
    if (writeTimeout_) {
        CheckWriteTimeout();
    }
    MarkUnchanged();
}

std::string PortPage::PortText() const {
    if (controls_.port < 0 || controls_.port >= static_cast<int>(controls_.ports.size())) {
        return {};
    }
    return controls_.ports[static_cast<std::size_t>(controls_.port)];
}

void PortPage::ChoosePort(int index) {
    MarkChanged();
    controls_.port = index;
}

void PortPage::SetStatusBackInterval(const std::string& text) {
    MarkChanged();
    controls_.statusBackInterval = Truncate(text, kEditLimit);
}

void PortPage::SetWriteTimeout(const std::string& text) {
    MarkChanged();
    controls_.writeTimeout = Truncate(text, kEditLimit);
    CheckWriteTimeout();
}

void PortPage::CheckWriteTimeout() {
    // A warning only: the value is still saved as typed.
    if (ParseDecimal(controls_.writeTimeout) < kMinWriteTimeout) {
        messages_.Error(kError9173);
    }
}

void PortPage::RestoreDefault() {
    SetStatusBackInterval("200");
    SetWriteTimeout("2000");
}

void PortPage::Configure() {
    const std::string port = PortText();
    // Classified as the status monitor classifies the stored Port value.
    using thermpos::platform::portname::PortKind;
    switch (thermpos::so::KindFoundIn(port)) {
        case PortKind::Serial:
            services_.RunSerialSettings(printer_);
            break;
        case PortKind::Parallel:
            services_.ConfigureParallelPort(port);
            break;
        case PortKind::Usb:
            messages_.Error(kError4822);
            break;
        default:
            break;
    }
}

void PortPage::Save() {
    // The drawers must follow the printer to its port; when they cannot be reached the
    // printer is not moved either.
    if (!registry_.CanOpenRoot(kDrawerRoot)) {
        messages_.Error(kError1311);
        return;
    }
    if (printer_.empty()) {
        return;
    }
    struct Pending {
        const char* name;
        std::string text;
        std::optional<std::string>* loaded;
    };
    const Pending candidates[] = {
        {"Port", Truncate(PortText(), kEditLimit), &port_},
        {"StatusBackInterval", Truncate(controls_.statusBackInterval, kEditLimit),
         &statusBackInterval_},
        {"WriteTimeout", Truncate(controls_.writeTimeout, kEditLimit), &writeTimeout_},
    };
    std::vector<Pending> writes;
    for (const Pending& candidate : candidates) {
        // A drop-down list cannot be emptied by the user: no selection means the stored
        // port is not in today's list (a device unplugged), and it must survive the save.
        if (candidate.loaded == &port_ && controls_.port < 0) {
            continue;
        }
        const std::optional<std::string>& loaded = *candidate.loaded;
        // An empty control over an absent value changes nothing: storing "" would turn the
        // service object's defaults (2000 ms write time-out, 5 ms polling) into zeros.
        if (loaded ? *loaded != candidate.text : !candidate.text.empty()) {
            writes.push_back(candidate);
        }
    }
    if (writes.empty()) {
        return;
    }
    std::vector<std::string> keys = {PrinterKey(printer_)};
    std::vector<std::string> drawers =
        registry_.EnumerateDevices(kDrawerRoot, "PrinterID", printer_).names;
    for (std::size_t i = 0; i < drawers.size() && i < 2; ++i) {
        keys.push_back(DrawerKey(drawers[i]));
    }
    for (const std::string& key : keys) {
        for (const Pending& write : writes) {
            registry_.WriteValue(write.name, write.text, key);
        }
    }
    for (const Pending& write : writes) {
        *write.loaded = write.text;
    }
}

// ---------------------------------------------------------------------------------------

CPortDlg::CPortDlg(CSetupRegistry& registry, CMessageBoxes& messages, CPortServices& services,
                   const CGeneralDlg* general, QWidget* parent)
    : CSetupPage(QStringLiteral("Port"), parent),
      logic_(registry, messages, services),
      general_(general) {
    logic_.onChanged = [this] { emit changed(); };

    port_ = new QComboBox(this);
    port_->setObjectName(QStringLiteral("SelectPort"));
    port_->setMinimumContentsLength(12);
    configure_ = new QPushButton(QStringLiteral("Configure"), this);
    configure_->setObjectName(QStringLiteral("Configure"));
    auto digits = [this](const char* name) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setMaxLength(static_cast<int>(kEditLimit));
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        edit->setMaximumWidth(90);
        return edit;
    };
    statusBackInterval_ = digits("StatusBackInterval");
    writeTimeout_ = digits("WriteTimeout");

    auto* portBox = new QGroupBox(QStringLiteral("Connection"), this);
    auto* portLayout = new QGridLayout(portBox);
    portLayout->addWidget(new QLabel(QStringLiteral("Select Port"), portBox), 0, 0);
    portLayout->addWidget(port_, 0, 1);
    portLayout->addWidget(configure_, 0, 2);
    portLayout->setColumnStretch(3, 1);

    auto* timingBox = new QGroupBox(QStringLiteral("Timing"), this);
    auto* timing = new QGridLayout(timingBox);
    timing->addWidget(new QLabel(QStringLiteral("Status Back Interval"), timingBox), 0, 0);
    timing->addWidget(statusBackInterval_, 0, 1);
    timing->addWidget(new QLabel(QStringLiteral("msec."), timingBox), 0, 2);
    timing->addWidget(new QLabel(QStringLiteral("Write Timeout"), timingBox), 1, 0);
    timing->addWidget(writeTimeout_, 1, 1);
    timing->addWidget(new QLabel(QStringLiteral("msec."), timingBox), 1, 2);
    timing->setColumnStretch(3, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(portBox);
    layout->addWidget(timingBox);
    layout->addStretch();
    restoreDefault_ = AddRestoreDefaultRow(this, layout, [this] {
        logic_.RestoreDefault();
        Refresh();
    });

    connect(port_, &QComboBox::activated, this, [this](int index) { logic_.ChoosePort(index); });
    connect(statusBackInterval_, &QLineEdit::textEdited, this,
            [this](const QString& text) { logic_.SetStatusBackInterval(text.toStdString()); });
    connect(writeTimeout_, &QLineEdit::textEdited, this,
            [this](const QString& text) { logic_.SetWriteTimeout(text.toStdString()); });
    connect(configure_, &QPushButton::clicked, this, [this] { logic_.Configure(); });
}

void CPortDlg::OnInitDialog() {
    logic_.Initialize();
    Refresh();
}

void CPortDlg::OnSetActive() {
    logic_.Activate(general_ != nullptr ? general_->SelectedPrinterName() : std::string());
    Refresh();
}

void CPortDlg::Refresh() {
    const PortControls& c = logic_.Controls();
    FillCombo(port_, c.ports, c.port);
    SetEditText(statusBackInterval_, c.statusBackInterval);
    SetEditText(writeTimeout_, c.writeTimeout);
}

}  // namespace setup
