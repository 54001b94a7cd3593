// General page: chooses the printer every page edits and edits its print settings. What
// differs between printer models (the paper widths, the 58 mm columns, the printer the page
// opens on) comes from the models' profiles (so/printer/ModelProfile.h).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "setup/SetupPage.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace setup {

class CMessageBoxes;
class CSetupRegistry;

inline constexpr char kPictureFile[] = "Default Printer.bmp";

enum PaperWidth { kWidth58, kWidth60, kWidth80, kWidth83, kWidthCount };
// Column radios in the order "30", "32", "36", "42", "48", "53".
enum ColumnRadio { kCol30, kCol32, kCol36, kCol42, kCol48, kCol53, kColumnCount };

// What the General page's controls show; the view mirrors it, the logic edits it.
struct GeneralControls {
    std::vector<std::string> printers;
    int printer = -1;
    std::vector<std::string> languages;
    int language = -1;
    std::vector<std::string> bitmapModes;
    int bitmapMode = -1;
    bool mapResolution = false;
    bool paperEnd = false;
    bool paperNearEnd = false;
    std::array<bool, kWidthCount> widthEnabled{true, true, true, true};
    std::array<bool, kWidthCount> widthChecked{};
    std::array<bool, kColumnCount> columnEnabled{true, true, true, true, true, true};
    std::array<bool, kColumnCount> columnChecked{};
    bool showPicture = false;
};

// A number read from the device key; `present` is false when this device had no such
// value (the number then still holds what the page showed before). `edited`: the user has
// set the control since the device was loaded.
struct LoadedNumber {
    unsigned value = 0;
    bool present = false;
    bool edited = false;

    // Whether saving the control's value `shown` writes it: a loaded value when it differs;
    // an absent one only when the user set it, since until then the control shows what
    // another device held.
    bool NeedsWrite(unsigned shown) const { return present ? shown != value : edited; }
    // Reads the value `name` of the device key: present or not, not edited. An absent
    // value keeps the number of the device shown before.
    void Load(CSetupRegistry& registry, const char* name, const std::string& key);
};

class GeneralPage : public CPageLogic {
  public:
    GeneralPage(CSetupRegistry& registry, CMessageBoxes& messages);

    const GeneralControls& Controls() const { return controls_; }

    // First display: lists the printers, selects one, loads and shows it.
    void Initialize();

    // User actions.
    void ChoosePrinter(int index);
    void ChooseLanguage(int index);
    void ChooseBitmapMode(int index);
    void SetMapResolution(bool on);
    void ChoosePaperSensor(bool nearEnd);
    void ChooseWidth(PaperWidth width);
    void ChooseColumn(ColumnRadio column);
    void RestoreDefault();

    // Apply / OK.
    void Save();

    // For the other pages.
    std::string SelectedPrinter() const;
    std::string LanguageText() const;

  private:
    void Load();
    void Show();
    void SetColumnsForWidth(PaperWidth width, unsigned column);
    void SaveNumber(const char* valueName, unsigned value, LoadedNumber& loaded);

    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
    GeneralControls controls_;

    LoadedNumber bitmapMode_;
    LoadedNumber languageModel_;
    LoadedNumber paperSensor_;
    LoadedNumber mapResolution_;
    LoadedNumber paperModel_;
    LoadedNumber column_;
    std::string printerName_;  // the PrinterName value: decides which widths are offered
};

class CGeneralDlg : public CSetupPage {
    Q_OBJECT
  public:
    CGeneralDlg(CSetupRegistry& registry, CMessageBoxes& messages, QWidget* parent = nullptr);

    GeneralPage& Logic() { return logic_; }
    // The selected printer's logical device name and the "Language Model" text.
    std::string SelectedPrinterName() const { return logic_.SelectedPrinter(); }
    std::string LanguageModelText() const { return logic_.LanguageText(); }

    bool IsChanged() const override { return logic_.IsChanged(); }
    void MarkUnchanged() override { logic_.MarkUnchanged(); }

  protected:
    void OnInitDialog() override;
    void OnApply() override { logic_.Save(); }

  private:
    void Refresh();

    GeneralPage logic_;
    QLabel* picture_;
    QComboBox* printerName_;
    QComboBox* languageModel_;
    QCheckBox* mapResolution_;
    QRadioButton* paperEnd_;
    QRadioButton* paperNearEnd_;
    QComboBox* bitmapMode_;
    std::array<QRadioButton*, kWidthCount> widths_;
    std::array<QRadioButton*, kColumnCount> columns_;
    QPushButton* restoreDefault_;
};

}  // namespace setup
