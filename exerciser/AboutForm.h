// The About dialog: title, version, description, and the system information tool.
#pragma once

#include <QDialog>
#include <QLabel>
#include <string>

#include "exerciser/MessageBoxes.h"

namespace exerciser {

// Where the system information tool is found: the registry values that name it, read the
// way the dialog reads them. Empty when it cannot be found.
std::string SystemInfoProgram();

class AboutForm : public QDialog {
    Q_OBJECT
  public:
    explicit AboutForm(CMessageBoxes& messages, QWidget* parent = nullptr);

    void cmdOK_Click();
    void cmdSysInfo_Click();
    QLabel* Title() const { return title_; }
    QLabel* Version() const { return version_; }
    QLabel* Description() const { return description_; }

  private:
    CMessageBoxes& messages_;
    QLabel* title_;
    QLabel* version_;
    QLabel* description_;
};

}  // namespace exerciser
