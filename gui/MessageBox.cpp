#include "gui/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace thermpos::gui {

MessageReply QuietAnswer(MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::YesNo:
            return MessageReply::No;
        case MessageButtons::RetryCancel:
            return MessageReply::Cancel;
        case MessageButtons::Ok:
            break;
    }
    return MessageReply::Ok;
}

void PrepareMessageBox(QMessageBox& box, const QString& title, const QString& text,
                       MessageIcon icon, MessageButtons buttons) {
    box.setWindowTitle(title);
    box.setText(text);
    switch (icon) {
        case MessageIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case MessageIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MessageIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case MessageIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MessageIcon::None:
            break;
    }
    switch (buttons) {
        case MessageButtons::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageButtons::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case MessageButtons::RetryCancel:
            box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
            break;
    }
}

MessageReply ReplyOf(int pressed, MessageButtons buttons) {
    switch (pressed) {
        case QMessageBox::Ok:
            return MessageReply::Ok;
        case QMessageBox::Yes:
            return MessageReply::Yes;
        case QMessageBox::No:
            return MessageReply::No;
        case QMessageBox::Retry:
            return MessageReply::Retry;
        case QMessageBox::Cancel:
            return MessageReply::Cancel;
        default:
            return QuietAnswer(buttons);
    }
}

MessageReply ShowMessageBox(const QString& title, const QString& text, MessageIcon icon,
                            MessageButtons buttons) {
    QMessageBox box(QApplication::activeWindow());
    PrepareMessageBox(box, title, text, icon, buttons);
    return ReplyOf(box.exec(), buttons);
}

}  // namespace thermpos::gui
