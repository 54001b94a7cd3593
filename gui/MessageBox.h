// The message box both GUI programs show: its icons, buttons and replies, and the answer
// given when nobody pressed a button. GUI thread only.
#pragma once

#include <QString>

class QMessageBox;

namespace thermpos::gui {

enum class MessageIcon { None, Critical, Question, Exclamation, Information };
enum class MessageButtons { Ok, YesNo, RetryCancel };
enum class MessageReply { Ok, Yes, No, Retry, Cancel };

// The reply when no button was pressed (the box closed another way, or no box could be
// shown): the harmless one of the buttons offered.
[[nodiscard]] MessageReply QuietAnswer(MessageButtons buttons);

// Sets the box's title, text, icon and buttons.
void PrepareMessageBox(QMessageBox& box, const QString& title, const QString& text,
                       MessageIcon icon, MessageButtons buttons);

// The reply for the standard button that closed the box (QMessageBox::exec's result, or
// the standard button of clickedButton); anything else is the quiet answer.
[[nodiscard]] MessageReply ReplyOf(int pressed, MessageButtons buttons);

// Shows a prepared-from-arguments box modally over the active window.
MessageReply ShowMessageBox(const QString& title, const QString& text, MessageIcon icon,
                            MessageButtons buttons);

}  // namespace thermpos::gui
