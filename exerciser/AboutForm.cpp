#include "exerciser/AboutForm.h"

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVersionNumber>
#include <cstdio>

#include "platform/registry.h"
#include "platform/regkey.h"

namespace exerciser {

namespace {

// A REG_SZ value as text (cut at its terminating zero); a REG_DWORD as its hexadecimal
// number. Empty when the key or the value cannot be read.
std::string ReadValue(const char* keyPath, const char* name) {
    thermpos::platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return {};
    DWORD type = 0;
    BYTE data[1024];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key.Get(), name, nullptr, &type, data, &size) != ERROR_SUCCESS)
        return {};
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::string text(reinterpret_cast<const char*>(data), size);
        return text.substr(0, text.find('\0'));
    }
    if (type == REG_DWORD && size >= 4) {
        DWORD value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | data[i];
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(value));
        return hex;
    }
    return {};
}

// The picture beside the texts: a printer with a receipt, drawn so no data file is needed.
QPixmap PrinterPicture() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(250, 250, 245));
    p.drawRect(20, 4, 24, 30);  // the receipt
    for (int y = 12; y < 30; y += 5)
        p.drawLine(25, y, 39, y);
    p.setBrush(QColor(90, 110, 140));
    p.drawRoundedRect(6, 30, 52, 26, 5, 5);  // the printer
    p.setBrush(QColor(40, 40, 40));
    p.drawRect(16, 34, 32, 4);  // the paper exit
    p.setBrush(QColor(120, 220, 120));
    p.drawEllipse(46, 46, 6, 6);  // the power lamp
    return pixmap;
}

// A horizontal line one pixel high, as wide as its layout makes it.
QFrame* Line(QWidget* parent, const char* name) {
    auto* line = new QFrame(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setLineWidth(1);
    line->setFixedHeight(1);
    line->setForegroundRole(QPalette::Dark);
    return line;
}

}  // namespace

std::string SystemInfoProgram() {
    std::string path = ReadValue("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH");
    if (!path.empty())
        return path;
    const std::string folder = ReadValue("SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO");
    if (folder.empty())
        return {};
    // The folder's program, with the separator of this system.
    const std::string program = folder + "/MSINFO32.EXE";
    return QFileInfo::exists(QString::fromStdString(program)) ? program : std::string();
}

AboutForm::AboutForm(CMessageBoxes& messages, QWidget* parent)
    : QDialog(parent), messages_(messages) {
    setObjectName(QStringLiteral("AboutForm"));
    const QString title = QApplication::applicationName();
    setWindowTitle(QStringLiteral("About ") + title);

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setPixmap(PrinterPicture());
    image->setAlignment(Qt::AlignTop);

    title_ = new QLabel(title, this);
    title_->setObjectName(QStringLiteral("lblTitle"));
    QFont big = title_->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title_->setFont(big);

    const QVersionNumber v = QVersionNumber::fromString(QApplication::applicationVersion());
    version_ = new QLabel(QStringLiteral("Version %1.%2.%3")
                              .arg(v.majorVersion())
                              .arg(v.minorVersion())
                              .arg(v.microVersion()),
                          this);
    version_->setObjectName(QStringLiteral("lblVersion"));

    description_ = new QLabel(
        QStringLiteral("Description: This Application can be run on any windows platform to test "
                       "POS Printer Service Objects and Printers functionality."),
        this);
    description_->setObjectName(QStringLiteral("lblDescription"));
    description_->setWordWrap(true);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    auto* sysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
    sysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    connect(ok, &QPushButton::clicked, this, &AboutForm::cmdOK_Click);
    connect(sysInfo, &QPushButton::clicked, this, &AboutForm::cmdSysInfo_Click);

    auto* texts = new QVBoxLayout;
    texts->addWidget(title_);
    texts->addWidget(version_);
    texts->addWidget(Line(this, "Line1"));
    texts->addWidget(description_);
    texts->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addWidget(image);
    top->addLayout(texts, 1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(sysInfo);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    // The two horizontal lines: under the title, and above the buttons.
    layout->addWidget(Line(this, "Line2"));
    layout->addLayout(bottom);
    resize(420, 230);
}

// Escape, the dialog's cancel key, closes it the same way.
void AboutForm::cmdOK_Click() {
    close();
}

void AboutForm::cmdSysInfo_Click() {
    const std::string program = SystemInfoProgram();
    if (program.empty() || !QProcess::startDetached(QString::fromStdString(program), {})) {
        messages_.Show("System Information Is Unavailable At This Time", "",
                       CMessageBoxes::Icon::None, CMessageBoxes::Buttons::Ok);
    }
}

}  // namespace exerciser
