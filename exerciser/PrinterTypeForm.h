// The printer control panel: the device list, the station choice and the buttons that walk
// a printer through Open, Claim, Enable, Disable, Release and Close, each result logged.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include "exerciser/ExerciserWindows.h"
#include "exerciser/MyGlobalModule.h"

namespace exerciser {

class PrinterTypeForm : public QWidget {
    Q_OBJECT
  public:
    PrinterTypeForm(CGlobalModule& module, CExerciserWindows& windows, QWidget* parent = nullptr);

    // The handlers, named after their controls; tests call them as the buttons do.
    void PrinterCombo_Click(int index);
    void JrnOption_Click();
    void RecOption_Click();
    void SlpOption_Click();
    void OpenPrinterButton_Click();
    void ClaimPrinterButton_Click();
    void EnablePrinterButton_Click();
    void DisablePrinterButton_Click();
    void ReleasePrinterButton_Click();
    void ClosePrinterButton_Click();
    void PrintCurrentTextButton_Click();
    void AsyncFlagCheck_Click();
    void PowerCheck_Click();

    QComboBox* PrinterCombo() const { return combo_; }
    QRadioButton* JrnOption() const { return jrn_; }
    QRadioButton* RecOption() const { return rec_; }
    QRadioButton* SlpOption() const { return slp_; }
    QCheckBox* PowerCheck() const { return power_; }
    QCheckBox* AsyncFlagCheck() const { return async_; }

  private:
    void LoadDevices();
    // Sets a box as code would, running its click handling only when the value changes.
    void SetBox(QCheckBox* box, bool checked);

    CGlobalModule& module_;
    CExerciserWindows& windows_;
    QComboBox* combo_;
    QRadioButton* jrn_;
    QRadioButton* rec_;
    QRadioButton* slp_;
    QCheckBox* power_;
    QCheckBox* async_;
};

}  // namespace exerciser
