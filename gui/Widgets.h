// Small widget makers both Qt programs use. GUI thread only.
#pragma once

class QPushButton;
class QWidget;

namespace thermpos::gui {

// A push button with its caption (Latin-1, & marking the mnemonic) and the object name
// tests and scripts find it by.
QPushButton* NamedButton(const char* name, const char* caption, QWidget* parent);

}  // namespace thermpos::gui
