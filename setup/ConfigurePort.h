// Settings dialog of a parallel port: the spooler's port configuration stands in as an
// edit of the Ports map entry that names the device behind the port ("LPT1" -> /dev/lp0).
#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QLineEdit;
class QLabel;

namespace setup {

class CMessageBoxes;
class CSetupRegistry;

// "LPT1:", "\\.\LPT1" and "lpt1" all name the map entry "LPT1" (the device layer's
// MapName, in upper case).
std::string PortMapName(const std::string& port);
// Where an unmapped port leads: LPTn is /dev/lp(n-1), COMn /dev/ttyS(n-1); empty otherwise.
std::string DefaultDevicePath(const std::string& mapName);
// An absolute path of printable characters, at most 255 long; empty means "no entry".
bool IsAcceptableDevicePath(const std::string& path);

class ParallelPortSettings {
  public:
    ParallelPortSettings(CSetupRegistry& registry, CMessageBoxes& messages,
                         const std::string& port);

    const std::string& MapName() const { return mapName_; }
    const std::string& DevicePath() const { return devicePath_; }
    std::string DefaultPath() const { return DefaultDevicePath(mapName_); }

    void SetDevicePath(const std::string& path) { devicePath_ = path; }
    // Writes the entry when it changed; false (after saying why) keeps the dialog open.
    bool Ok();

  private:
    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
    std::string mapName_;
    std::optional<std::string> loaded_;
    std::string devicePath_;
};

class CParallelPortDlg : public QDialog {
    Q_OBJECT
  public:
    CParallelPortDlg(CSetupRegistry& registry, CMessageBoxes& messages, const std::string& port,
                     QWidget* parent = nullptr);

    ParallelPortSettings& Logic() { return logic_; }

  private:
    ParallelPortSettings logic_;
    QLineEdit* path_;
};

// The port configuration call of the Port page's "Configure" for an LPT port. Result
// not used by the page: 1 when the dialog was accepted.
int ConfigurePortA(CSetupRegistry& registry, CMessageBoxes& messages, const std::string& port);

}  // namespace setup
