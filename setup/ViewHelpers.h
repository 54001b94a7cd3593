// Small helpers the page views share to mirror their logic's state into widgets without
// the widgets' signals echoing back into the logic.
#pragma once

#include <QBoxLayout>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <string>
#include <vector>

namespace setup {

inline void FillCombo(QComboBox* combo, const std::vector<std::string>& items, int current) {
    const QSignalBlocker block(combo);
    bool same = combo->count() == static_cast<int>(items.size());
    for (int i = 0; same && i < combo->count(); ++i) {
        same = combo->itemText(i).toStdString() == items[static_cast<std::size_t>(i)];
    }
    if (!same) {
        combo->clear();
        for (const std::string& item : items) {
            combo->addItem(QString::fromStdString(item));
        }
    }
    combo->setCurrentIndex(current);
}

inline void SetRadio(QRadioButton* radio, bool enabled, bool checked) {
    const QSignalBlocker block(radio);
    radio->setEnabled(enabled);
    radio->setChecked(checked);
}

inline void SetEditText(QLineEdit* edit, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (edit->text() != value) {
        const QSignalBlocker block(edit);
        edit->setText(value);
    }
}

// The foot of a page: its "Restore Default" button, at the right.
template <typename OnClick>
QPushButton* AddRestoreDefaultRow(QWidget* page, QBoxLayout* layout, OnClick onClick) {
    auto* button = new QPushButton(QStringLiteral("Restore Default"), page);
    button->setObjectName(QStringLiteral("RestoreDefault"));
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(button);
    layout->addLayout(row);
    QObject::connect(button, &QPushButton::clicked, page, onClick);
    return button;
}

}  // namespace setup
