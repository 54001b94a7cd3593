// The property sheet: General, Cash Drawer, Port and About Us pages with OK, Cancel and
// Apply. Every page edits the printer chosen on the General page.
#pragma once

#include <QDialog>
#include <QString>
#include <array>

class QDialogButtonBox;
class QPushButton;
class QTabWidget;

namespace setup {

class CAboutUs;
class CCashDrawerDlg;
class CGeneralDlg;
class CMessageBoxes;
class CPortDlg;
class CPortServices;
class CSetupPage;
class CSetupRegistry;

inline constexpr char kSheetCaption[] = "Talvern Systems Configuration Utility";

class CQMXSetupSheet : public QDialog {
    Q_OBJECT
  public:
    CQMXSetupSheet(CSetupRegistry& registry, CMessageBoxes& messages, CPortServices& services,
                   QWidget* parent = nullptr);
    ~CQMXSetupSheet() override;

    CGeneralDlg& General() { return *general_; }
    CCashDrawerDlg& CashDrawer() { return *cashDrawer_; }
    CPortDlg& Port() { return *port_; }
    CAboutUs& About() { return *about_; }
    QTabWidget& Tabs() { return *tabs_; }
    QPushButton* OkButton() const;
    QPushButton* CancelButton() const;
    QPushButton* ApplyButton() const;

    // Makes page `index` current (activating it), as a click on its tab does.
    void SetActivePage(int index);

    // Renders every page and the serial settings dialog to PNG files in dir.
    // False when a file cannot be written.
    bool SaveScreenshots(const QString& dir, CSetupRegistry& registry, CMessageBoxes& messages);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void ApplyAll();
    void UpdateApply();

    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    // Owned by the tab widget; kept typed here for the pages' cross references.
    CGeneralDlg* general_;
    CCashDrawerDlg* cashDrawer_;
    CPortDlg* port_;
    CAboutUs* about_;
    std::array<CSetupPage*, 4> pages_;
};

}  // namespace setup
