#include "setup/AboutUs.h"

#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include "setup/GeneralDlg.h"

namespace setup {

CAboutUs::CAboutUs(const CGeneralDlg* general, QWidget* parent)
    : CSetupPage(QStringLiteral("About Us"), parent), general_(general) {
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/setup/printer.bmp")));
    auto* version = new QLabel(QString::fromLatin1(kVersionLine), this);
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    auto* head = new QHBoxLayout;
    head->addWidget(icon, 0, Qt::AlignTop);
    head->addSpacing(12);
    head->addWidget(version, 1, Qt::AlignVCenter);

    printerName_ = new QLabel(this);
    printerName_->setObjectName(QStringLiteral("AboutPrinterName"));
    printerName_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    printerModel_ = new QLabel(this);
    printerModel_->setObjectName(QStringLiteral("AboutPrinterModel"));
    printerModel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Printer Name:"), printerName_);
    fields->addRow(QStringLiteral("Printer Model:"), printerModel_);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);

    auto* maker = new QLabel(QStringLiteral("Talvern Systems"), this);
    maker->setFont(bold);
    auto* address = new QLabel(QStringLiteral("14 Foundry Lane, Westmar WM3 7QT"), this);
    auto* web = new QLabel(QStringLiteral("www.talvern.example"), this);
    auto* notice = new QLabel(
        QStringLiteral("This utility edits the settings that the thermal printer and cash "
                       "drawer service objects read when a point-of-sale application opens "
                       "them. Changes take effect the next time a device is opened."),
        this);
    notice->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addSpacing(8);
    layout->addLayout(fields);
    layout->addSpacing(8);
    layout->addWidget(rule);
    layout->addWidget(maker);
    layout->addWidget(address);
    layout->addWidget(web);
    layout->addSpacing(8);
    layout->addWidget(notice);
    layout->addStretch();
}

void CAboutUs::OnSetActive() {
    printerName_->setText(
        QString::fromStdString(general_ != nullptr ? general_->SelectedPrinterName() : ""));
    // The field has always shown the character set the General page shows.
    printerModel_->setText(
        QString::fromStdString(general_ != nullptr ? general_->LanguageModelText() : ""));
}

QString CAboutUs::PrinterNameText() const {
    return printerName_->text();
}
QString CAboutUs::PrinterModelText() const {
    return printerModel_->text();
}

}  // namespace setup
