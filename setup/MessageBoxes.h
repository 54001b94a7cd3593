// Message boxes of SetupSheet, behind one small interface so that page logic stays free of
// widgets and tests answer with scripted replies.
#pragma once

#include <string>

#include "gui/MessageBox.h"

namespace setup {

// The three error texts of the utility, exactly as users and their support know them.
inline constexpr char kError1311[] =
    "TALVERN Westmar - Error 1311. \nThis program will run as a component of TALVERN Thermal "
    "POSPrinter service object(s) only";
inline constexpr char kError9173[] =
    "TALVERN Westmar - Error 9173 \n WriteTimeOut doesnot less than 2000.";
inline constexpr char kError4822[] =
    "TALVERN Westmar - Error 4822 \n Configuration properties for this port is not available.";

class CMessageBoxes {
  public:
    using Icon = thermpos::gui::MessageIcon;
    using Buttons = thermpos::gui::MessageButtons;
    using Reply = thermpos::gui::MessageReply;

    virtual ~CMessageBoxes() = default;
    // Shows text modally and returns the button the user pressed.
    virtual Reply Show(const std::string& text, Icon icon, Buttons buttons) = 0;

    void Error(const std::string& text) { Show(text, Icon::Critical, Buttons::Ok); }
};

// Real message boxes, parented to the active window.
class CQtMessageBoxes : public CMessageBoxes {
  public:
    Reply Show(const std::string& text, Icon icon, Buttons buttons) override;
};

// For unattended runs (screenshots): prints the text to stderr and answers with the
// button that asks for nothing further (OK, No, Cancel), so nothing waits for a user.
class CLoggedMessageBoxes : public CMessageBoxes {
  public:
    Reply Show(const std::string& text, Icon icon, Buttons buttons) override;
};

}  // namespace setup
