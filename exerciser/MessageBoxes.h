// Message boxes and the file-open dialog of PrnExerciser, behind one interface so that the
// window logic runs without widgets and tests answer with scripted replies.
#pragma once

#include <string>

#include "gui/MessageBox.h"

namespace exerciser {

class CMessageBoxes {
  public:
    using Icon = thermpos::gui::MessageIcon;
    using Buttons = thermpos::gui::MessageButtons;
    using Reply = thermpos::gui::MessageReply;

    virtual ~CMessageBoxes() = default;
    // Shows text modally (an empty title means the program's own) and returns the button
    // the operator pressed.
    virtual Reply Show(const std::string& text, const std::string& title, Icon icon,
                       Buttons buttons) = 0;
    // The same question modal to no window: it waits for its answer while the rest of the
    // program stays usable, and the caller disables what the question must keep the
    // operator from meanwhile. As Show where nothing is modal anyway.
    virtual Reply ShowModeless(const std::string& text, const std::string& title, Icon icon,
                               Buttons buttons) {
        return Show(text, title, icon, buttons);
    }
    // The Open dialog: returns the chosen path, or fileName unchanged when the operator
    // cancels (as a common dialog leaves its FileName property).
    virtual std::string OpenFile(const std::string& title, const std::string& filter,
                                 const std::string& fileName, const std::string& folder) = 0;
};

// Real dialogs, parented to the active window.
class CQtMessageBoxes : public CMessageBoxes {
  public:
    Reply Show(const std::string& text, const std::string& title, Icon icon,
               Buttons buttons) override;
    Reply ShowModeless(const std::string& text, const std::string& title, Icon icon,
                       Buttons buttons) override;
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& fileName, const std::string& folder) override;
};

// The button that asks for nothing further (OK, No, Cancel): what an unattended run answers.
using thermpos::gui::QuietAnswer;

// For unattended runs (screenshots): prints the text to stderr and answers with the button
// that asks for nothing further (OK, No, Cancel), so nothing waits for an operator.
class CLoggedMessageBoxes : public CMessageBoxes {
  public:
    Reply Show(const std::string& text, const std::string& title, Icon icon,
               Buttons buttons) override;
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& fileName, const std::string& folder) override;
};

}  // namespace exerciser
