// Serial settings dialog ("COM Properties"): baud rate, parity, handshake and bit length
// of the selected printer's serial port, copied to its drawers at once.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "setup/GeneralDlg.h"

class QComboBox;
class QPushButton;

namespace setup {

class CMessageBoxes;
class CSetupRegistry;

struct ComControls {
    std::vector<std::string> baudRates;
    int baudRate = -1;
    std::vector<std::string> parities;
    int parity = -1;
    std::vector<std::string> handShakes;
    int handShake = -1;
    std::vector<std::string> bitLengths;
    int bitLength = -1;
};

class ComProperties {
  public:
    ComProperties(CSetupRegistry& registry, CMessageBoxes& messages, std::string printer);

    const ComControls& Controls() const { return controls_; }

    void ChooseBaudRate(int index) { controls_.baudRate = index; }
    void ChooseParity(int index) { controls_.parity = index; }
    void ChooseHandShake(int index) { controls_.handShake = index; }
    void ChooseBitLength(int index) { controls_.bitLength = index; }

    // "&Ok": writes into the printer and its first two drawers. False when the dialog
    // must stay open (the drawer root is missing; nothing was written).
    bool Ok();

  private:
    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
    std::string printer_;
    ComControls controls_;
    std::optional<std::string> baudRate_;
    std::optional<std::string> bitLength_;
    LoadedNumber parity_;
    LoadedNumber handShake_;
};

class CComPropertiesDlg : public QDialog {
    Q_OBJECT
  public:
    CComPropertiesDlg(CSetupRegistry& registry, CMessageBoxes& messages, const std::string& printer,
                      QWidget* parent = nullptr);

    ComProperties& Logic() { return logic_; }

  private:
    ComProperties logic_;
    QComboBox* baudRate_;
    QComboBox* parity_;
    QComboBox* handShake_;
    QComboBox* bitLength_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace setup
