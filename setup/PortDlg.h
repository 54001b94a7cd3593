// Port page: port name, status polling interval and write time-out of the selected
// printer, copied to its drawers, which reach the printer over the same port.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "setup/SetupPage.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace setup {

class CGeneralDlg;
class CMessageBoxes;
class CPortServices;
class CSetupRegistry;

struct PortControls {
    std::vector<std::string> ports;  // sorted alphabetically
    int port = -1;
    std::string statusBackInterval;
    std::string writeTimeout;
};

class PortPage : public CPageLogic {
  public:
    PortPage(CSetupRegistry& registry, CMessageBoxes& messages, CPortServices& services);

    const PortControls& Controls() const { return controls_; }

    // First display: the port list.
    void Initialize();
    // Every time the page becomes current.
    void Activate(const std::string& printer);

    void ChoosePort(int index);
    void SetStatusBackInterval(const std::string& text);
    void SetWriteTimeout(const std::string& text);
    void RestoreDefault();
    void Configure();

    void Save();

  private:
    void CheckWriteTimeout();
    std::string PortText() const;

    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
    CPortServices& services_;
    PortControls controls_;
    std::string printer_;
    std::optional<std::string> port_;
    std::optional<std::string> statusBackInterval_;
    std::optional<std::string> writeTimeout_;
};

class CPortDlg : public CSetupPage {
    Q_OBJECT
  public:
    CPortDlg(CSetupRegistry& registry, CMessageBoxes& messages, CPortServices& services,
             const CGeneralDlg* general, QWidget* parent = nullptr);

    PortPage& Logic() { return logic_; }
    bool IsChanged() const override { return logic_.IsChanged(); }
    void MarkUnchanged() override { logic_.MarkUnchanged(); }

  protected:
    void OnInitDialog() override;
    void OnSetActive() override;
    void OnApply() override { logic_.Save(); }

  private:
    void Refresh();

    PortPage logic_;
    const CGeneralDlg* general_;  // not owned; the sheet owns both pages
    QComboBox* port_;
    QPushButton* configure_;
    QLineEdit* statusBackInterval_;
    QLineEdit* writeTimeout_;
    QPushButton* restoreDefault_;
};

}  // namespace setup
