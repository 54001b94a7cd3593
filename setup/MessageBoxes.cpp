#include "setup/MessageBoxes.h"

#include <QString>
#include <cstdio>

namespace setup {

CMessageBoxes::Reply CQtMessageBoxes::Show(const std::string& text, Icon icon, Buttons buttons) {
    return thermpos::gui::ShowMessageBox(QStringLiteral("SetupSheet"), QString::fromStdString(text),
                                         icon, buttons);
}

CMessageBoxes::Reply CLoggedMessageBoxes::Show(const std::string& text, Icon, Buttons buttons) {
    std::fprintf(stderr, "SetupSheet message: %s\n", text.c_str());
    return thermpos::gui::QuietAnswer(buttons);
}

}  // namespace setup
