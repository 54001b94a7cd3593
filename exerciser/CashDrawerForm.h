// The cash drawer window: open a logical drawer, enable it, fire it, wait for it to be
// closed, close it; each result logged with the drawer's texts.
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <string>

#include "exerciser/MyGlobalModule.h"

namespace exerciser {

class CDrawerWaiter;

class CashDrawerForm : public QWidget {
    Q_OBJECT
  public:
    explicit CashDrawerForm(CGlobalModule& module, QWidget* parent = nullptr);
    ~CashDrawerForm() override;

    void DrawerCombo_Click(int index);
    void OpenDrawerButton_Click();
    void EnableDrawerButton_Click();
    void DisableDrawerButton_Click();
    void CloseDrawerButton_Click();
    void OpenCashDrawerButton_Click();
    // Starts the wait and returns; the result is logged when the drawer closes.
    void WaitforCloseDrawerButton_Click();
    bool Waiting() const;

    // The window's unload: the drawer device is closed with it. Runs once.
    void Unload();

    QComboBox* DrawerCombo() const { return combo_; }
    const std::string& SelectedDrawerName() const { return selected_; }

  signals:
    // Emitted on the GUI thread when a wait for the drawer has been logged.
    void WaitFinished(LONG result);

  private:
    void OnWaitDone(LONG result);

    CGlobalModule& module_;
    QComboBox* combo_;
    QPushButton* wait_;
    std::string selected_;
    std::unique_ptr<CDrawerWaiter> waiter_;
    bool waiting_ = false;
    bool unloaded_ = false;
};

}  // namespace exerciser
