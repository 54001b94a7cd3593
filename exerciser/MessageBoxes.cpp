#include "exerciser/MessageBoxes.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace exerciser {

namespace {

void Prepare(QMessageBox& box, const std::string& text, const std::string& title,
             CMessageBoxes::Icon icon, CMessageBoxes::Buttons buttons) {
    thermpos::gui::PrepareMessageBox(
        box, title.empty() ? QApplication::applicationName() : QString::fromStdString(title),
        QString::fromStdString(text), icon, buttons);
}

}  // namespace

CMessageBoxes::Reply CQtMessageBoxes::Show(const std::string& text, const std::string& title,
                                           Icon icon, Buttons buttons) {
    QMessageBox box(QApplication::activeWindow());
    Prepare(box, text, title, icon, buttons);
    return thermpos::gui::ReplyOf(box.exec(), buttons);
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
    return thermpos::gui::ReplyOf(box.standardButton(box.clickedButton()), buttons);
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
