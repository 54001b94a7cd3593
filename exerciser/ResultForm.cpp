#include "exerciser/ResultForm.h"

#include <QVBoxLayout>

namespace exerciser {

ResultForm::ResultForm(QWidget* parent) : QWidget(parent), list_(new QListWidget(this)) {
    setObjectName(QStringLiteral("ResultForm"));
    setWindowTitle(QStringLiteral("Returned Result Code "));
    list_->setObjectName(QStringLiteral("ResultCodeList"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_);
    resize(340, 210);
}

void ResultForm::AddLine(const QString& line, bool selectLast) {
    list_->addItem(line);
    if (selectLast && list_->count() > 0) {
        list_->setCurrentRow(list_->count() - 1);
        list_->scrollToItem(list_->currentItem());
    }
}

QStringList ResultForm::Lines() const {
    QStringList lines;
    for (int i = 0; i < list_->count(); ++i)
        lines << list_->item(i)->text();
    return lines;
}

}  // namespace exerciser
