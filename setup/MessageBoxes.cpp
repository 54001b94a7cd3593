#include "setup/MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace setup {

CMessageBoxes::Reply CQtMessageBoxes::Show(const std::string& text, Icon icon, Buttons buttons) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("SetupSheet"));
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case Icon::Stop:
            box.setIcon(QMessageBox::Critical);
            break;
        case Icon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case Icon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case Icon::Information:
            box.setIcon(QMessageBox::Information);
            break;
    }
    switch (buttons) {
        case Buttons::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case Buttons::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case Buttons::RetryCancel:
            box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Yes:
            return Reply::Yes;
        case QMessageBox::No:
            return Reply::No;
        case QMessageBox::Retry:
            return Reply::Retry;
        case QMessageBox::Cancel:
            return Reply::Cancel;
        default:
            return buttons == Buttons::Ok      ? Reply::Ok
                   : buttons == Buttons::YesNo ? Reply::No
                                               : Reply::Cancel;
    }
}

CMessageBoxes::Reply CLoggedMessageBoxes::Show(const std::string& text, Icon, Buttons buttons) {
    std::fprintf(stderr, "SetupSheet message: %s\n", text.c_str());
    switch (buttons) {
        case Buttons::YesNo:
            return Reply::No;
        case Buttons::RetryCancel:
            return Reply::Cancel;
        case Buttons::Ok:
            break;
    }
    return Reply::Ok;
}

}  // namespace setup
