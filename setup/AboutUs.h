// About Us page: program version and the printer the sheet is editing.
#pragma once

#include "setup/SetupPage.h"

class QLabel;

namespace setup {

class CGeneralDlg;

inline constexpr char kVersionLine[] = "Configuration Utility Version 1.8";

class CAboutUs : public CSetupPage {
    Q_OBJECT
  public:
    explicit CAboutUs(const CGeneralDlg* general, QWidget* parent = nullptr);

    QString PrinterNameText() const;
    QString PrinterModelText() const;

    bool IsChanged() const override { return false; }
    void MarkUnchanged() override {}

  protected:
    void OnSetActive() override;

  private:
    const CGeneralDlg* general_;  // not owned; the sheet owns both pages
    QLabel* printerName_;
    QLabel* printerModel_;
};

}  // namespace setup
