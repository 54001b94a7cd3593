#include "exerciser/MessageBoxes.h"

#include <QApplication>
#include <QEventLoop>
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

namespace {

void Prepare(QMessageBox& box, const std::string& text, const std::string& title,
             CMessageBoxes::Icon icon, CMessageBoxes::Buttons buttons) {
    using Icon = CMessageBoxes::Icon;
    using Buttons = CMessageBoxes::Buttons;
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
}

CMessageBoxes::Reply ReplyOf(int pressed, CMessageBoxes::Buttons buttons) {
    using Reply = CMessageBoxes::Reply;
    switch (pressed) {
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

}  // namespace

CMessageBoxes::Reply CQtMessageBoxes::Show(const std::string& text, const std::string& title,
                                           Icon icon, Buttons buttons) {
    QMessageBox box(QApplication::activeWindow());
    Prepare(box, text, title, icon, buttons);
    return ReplyOf(box.exec(), buttons);
}

CMessageBoxes::Reply CQtMessageBoxes::ShowModeless(const std::string& text,
                                                   const std::string& title, Icon icon,
                                                   Buttons buttons) {
    // A dialog of the active window, so it stays in front of it, but blocking none.
    QMessageBox box(QApplication::activeWindow());
    Prepare(box, text, title, icon, buttons);
    box.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    box.raise();
    box.activateWindow();
    // Also ends when the program quits; no button pressed then is the quiet answer.
    loop.exec();
    return ReplyOf(box.standardButton(box.clickedButton()), buttons);
}

std::string CQtMessageBoxes::OpenFile(const std::string& title, const std::string& filter,
                                      const std::string& fileName, const std::string& folder) {
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(title),
                       QString::fromStdString(folder), QString::fromStdString(filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // The name box starts with the file name given, a pattern such as "*.bmp" too.
    if (!fileName.empty())
        dialog.selectFile(QString::fromStdString(fileName));
    if (dialog.exec() != QDialog::Accepted)
        return fileName;
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() || chosen.front().isEmpty() ? fileName : chosen.front().toStdString();
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
