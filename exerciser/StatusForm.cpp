#include "exerciser/StatusForm.h"

#include <QGroupBox>
#include <QVBoxLayout>

namespace exerciser {

namespace {

struct BoxText {
    StatusBox box;
    const char* objectName;
    const char* caption;
};

constexpr BoxText kBoxes[] = {
    {StatusBox::PowerOnline, "PowerOnlineCheckBox", "Printer Online"},
    {StatusBox::FlagIdle, "FlagIdleCheckBox", "Flag When Idle"},
    {StatusBox::CoverOpen, "CoverOpenCheckBox", "Cover Open"},
    {StatusBox::PaperNearEnd, "PaperNearEndCheckBox", "Paper Near to End"},
    {StatusBox::JrnSensor, "JrnSensorCheckBox", "Jrn Paper Empty"},
    {StatusBox::RecSensor, "RecSensorCheckBox", "Receipt Paper Empty"},
    {StatusBox::SlpSensor, "SlpSensorCheckBox", "Slip Paper Empty"},
};

}  // namespace

StatusForm::StatusForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("StatusForm"));
    setWindowTitle(QStringLiteral("Printer Status"));
    auto* frame = new QGroupBox(QStringLiteral("Status Flags"), this);
    frame->setObjectName(QStringLiteral("Frame2"));
    auto* inner = new QVBoxLayout(frame);
    for (const BoxText& b : kBoxes) {
        auto* box = new QCheckBox(QString::fromLatin1(b.caption), frame);
        box->setObjectName(QString::fromLatin1(b.objectName));
        box->setEnabled(false);
        // Indicators: clicks must not change what the printer reported.
        box->setAttribute(Qt::WA_TransparentForMouseEvents);
        box->setFocusPolicy(Qt::NoFocus);
        inner->addWidget(box);
        boxes_[static_cast<size_t>(b.box)] = box;
    }
    Box(StatusBox::PowerOnline)->setChecked(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    resize(200, 250);
}

void StatusForm::Apply(const StatusUpdateRule& rule) {
    for (const StatusChange& c : rule.changes)
        SetChecked(c.box, c.checked);
}

void StatusForm::Apply(const StatusPrime& prime) {
    for (size_t i = 0; i < boxes_.size(); ++i) {
        if (prime.enable[i])
            boxes_[i]->setEnabled(true);
        if (prime.check[i])
            boxes_[i]->setChecked(*prime.check[i]);
    }
    if (prime.journalEmptyCaption)
        Box(StatusBox::JrnSensor)->setText(QStringLiteral("JrnEmpty"));
}

void StatusForm::DisableAll() {
    for (QCheckBox* box : boxes_)
        box->setEnabled(false);
}

}  // namespace exerciser
