// Cash Drawer page: edits pulse time and open-sensor settings of one drawer of the
// selected printer.
#pragma once

#include <string>
#include <vector>

#include "setup/GeneralDlg.h"
#include "setup/SetupPage.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace setup {

class CMessageBoxes;
class CSetupRegistry;

struct CashDrawerControls {
    std::vector<std::string> drawers;
    int drawer = -1;
    std::string signalTime;
    bool pin3 = false;
    bool high = false;
    bool low = false;
};

class CashDrawerPage : public CPageLogic {
  public:
    CashDrawerPage(CSetupRegistry& registry, CMessageBoxes& messages);

    const CashDrawerControls& Controls() const { return controls_; }

    // Every time the page becomes current, for the printer the General page has selected.
    void Activate(const std::string& printer);

    void ChooseDrawer(int index);
    void SetSignalTime(const std::string& text);
    void SetPin3(bool connected);
    void ChooseCapStatus(bool high);
    void RestoreDefault();

    void Save();

  private:
    void Load(const std::string& drawer);
    void Show();
    bool HasDrawerAt(std::size_t position) const { return position < controls_.drawers.size(); }

    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
    CashDrawerControls controls_;
    std::size_t position_ = 0;  // the drawer edited, kept across printers
    LoadedNumber pin3_;
    LoadedNumber capStatus_;
    LoadedNumber onTime_;
};

class CCashDrawerDlg : public CSetupPage {
    Q_OBJECT
  public:
    CCashDrawerDlg(CSetupRegistry& registry, CMessageBoxes& messages, const CGeneralDlg* general,
                   QWidget* parent = nullptr);

    CashDrawerPage& Logic() { return logic_; }
    bool IsChanged() const override { return logic_.IsChanged(); }
    void MarkUnchanged() override { logic_.MarkUnchanged(); }

  protected:
    void OnSetActive() override;
    void OnApply() override { logic_.Save(); }

  private:
    void Refresh();

    CashDrawerPage logic_;
    const CGeneralDlg* general_;  // not owned; the sheet owns both pages
    QComboBox* drawers_;
    QLineEdit* signalTime_;
    QCheckBox* pin3_;
    QRadioButton* high_;
    QRadioButton* low_;
    QPushButton* restoreDefault_;
};

}  // namespace setup
