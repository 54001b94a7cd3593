#include "gui/Widgets.h"

#include <QPushButton>
#include <QString>

namespace thermpos::gui {

QPushButton* NamedButton(const char* name, const char* caption, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

}  // namespace thermpos::gui
