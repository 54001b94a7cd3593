#include "setup/ConfigurePort.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cctype>

#include "platform/portname.h"
#include "setup/MessageBoxes.h"
#include "setup/SetupRegistry.h"

namespace setup {

std::string PortMapName(const std::string& port) {
    // Upper case so that the entry the dialog writes looks like the names the list shows.
    std::string name(thermpos::platform::portname::MapName(port));
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

std::string DefaultDevicePath(const std::string& mapName) {
    return thermpos::platform::portname::DefaultDevicePath(mapName);
}

bool IsAcceptableDevicePath(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    if (path.size() > 255 || path.front() != '/') {
        return false;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

ParallelPortSettings::ParallelPortSettings(CSetupRegistry& registry, CMessageBoxes& messages,
                                           const std::string& port)
    : registry_(registry), messages_(messages), mapName_(PortMapName(port)) {
    loaded_ = registry_.ReadPortMapping(mapName_);
    devicePath_ = loaded_.value_or(std::string());
}

bool ParallelPortSettings::Ok() {
    if (!IsAcceptableDevicePath(devicePath_)) {
        messages_.Error("The device path must be an absolute path such as /dev/lp0.");
        return false;
    }
    if (devicePath_ == loaded_.value_or(std::string())) {
        return true;
    }
    if (!registry_.WritePortMapping(mapName_, devicePath_)) {
        messages_.Error("The port setting could not be saved.");
        return false;
    }
    loaded_ = devicePath_.empty() ? std::nullopt : std::optional<std::string>(devicePath_);
    return true;
}

CParallelPortDlg::CParallelPortDlg(CSetupRegistry& registry, CMessageBoxes& messages,
                                   const std::string& port, QWidget* parent)
    : QDialog(parent), logic_(registry, messages, port) {
    setWindowTitle(QStringLiteral("Configure LPT Port"));
    path_ = new QLineEdit(QString::fromStdString(logic_.DevicePath()), this);
    path_->setObjectName(QStringLiteral("DevicePath"));
    path_->setMaxLength(255);
    path_->setMinimumWidth(240);
    path_->setPlaceholderText(QString::fromStdString(logic_.DefaultPath()));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Port:"), new QLabel(QString::fromStdString(logic_.MapName())));
    form->addRow(QStringLiteral("Device:"), path_);
    auto* hint = new QLabel(
        QStringLiteral("Leave the device empty to use the port's standard device."), this);
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        logic_.SetDevicePath(path_->text().trimmed().toStdString());
        if (logic_.Ok()) {
            accept();
        }
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

int ConfigurePortA(CSetupRegistry& registry, CMessageBoxes& messages, const std::string& port) {
    CParallelPortDlg dialog(registry, messages, port, QApplication::activeWindow());
    return dialog.exec() == QDialog::Accepted ? 1 : 0;
}

}  // namespace setup
