#include "exerciser/MessageBoxes.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace exerciser {

CMessageBoxes::Reply QuietAnswer(CMessageBoxes::Buttons buttons) {
    switch (buttons) {
        case CMessageBoxes::Buttons::YesNo:
            return CMessageBoxes::Reply::No;
        case CMessageBoxes::Buttons::RetryCancel:
            return CMessageBoxes::Reply::Cancel;
        default:
            return CMessageBoxes::Reply::Ok;
    }
}

CMessageBoxes::Reply CQtMessageBoxes::Show(const std::string& text, const std::string& title,
                                           Icon icon, Buttons buttons) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title.empty() ? QApplication::applicationName()
                                     : QString::fromStdString(title));
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case Icon::Critical:
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
        case Icon::None:
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
        case QMessageBox::Ok:
            return Reply::Ok;
        case QMessageBox::Yes:
            return Reply::Yes;
        case QMessageBox::No:
            return Reply::No;
        case QMessageBox::Retry:
            return Reply::Retry;
        case QMessageBox::Cancel:
            return Reply::Cancel;
        default:
            return QuietAnswer(buttons);
    }
}

std::string CQtMessageBoxes::OpenFile(const std::string& title, const std::string& filter,
                                      const std::string& fileName, const std::string& folder) {
    const QString chosen = QFileDialog::getOpenFileName(
        QApplication::activeWindow(), QString::fromStdString(title), QString::fromStdString(folder),
        QString::fromStdString(filter));
    return chosen.isEmpty() ? fileName : chosen.toStdString();
}

CMessageBoxes::Reply CLoggedMessageBoxes::Show(const std::string& text, const std::string&, Icon,
                                               Buttons buttons) {
    std::fprintf(stderr, "PrnExerciser message: %s\n", text.c_str());
    return QuietAnswer(buttons);
}

std::string CLoggedMessageBoxes::OpenFile(const std::string&, const std::string&,
                                          const std::string& fileName, const std::string&) {
    return fileName;
}

}  // namespace exerciser
