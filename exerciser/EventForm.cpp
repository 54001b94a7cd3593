#include "exerciser/EventForm.h"

#include <QVBoxLayout>

namespace exerciser {

EventForm::EventForm(QWidget* parent) : QWidget(parent), list_(new QListWidget(this)) {
    setObjectName(QStringLiteral("EventForm"));
    // The same caption as the result window, as operators know it.
    setWindowTitle(QStringLiteral("Returned Result Code "));
    list_->setObjectName(QStringLiteral("EventCodeList"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_);
    resize(300, 210);
}

void EventForm::AddLine(const QString& line) {
    list_->addItem(line);
    list_->setCurrentRow(list_->count() - 1);
    list_->scrollToItem(list_->currentItem());
}

QStringList EventForm::Lines() const {
    QStringList lines;
    for (int i = 0; i < list_->count(); ++i)
        lines << list_->item(i)->text();
    return lines;
}

}  // namespace exerciser
