// What the Port page needs from outside the registry: the machine's port list, the
// parallel port settings dialog and the serial settings dialog. Tests replace it.
#pragma once

#include <string>
#include <vector>

namespace setup {

class CMessageBoxes;
class CSetupRegistry;

class CPortServices {
  public:
    virtual ~CPortServices() = default;
    // The printer ports of the machine; false when they cannot be listed.
    virtual bool EnumeratePorts(std::vector<std::string>& ports) = 0;
    // The settings dialog of a parallel port ("LPT1:"); returns when it closes.
    virtual void ConfigureParallelPort(const std::string& port) = 0;
    // CComPropertiesDlg for the printer; returns when it closes.
    virtual void RunSerialSettings(const std::string& printer) = 0;
};

// The real thing: the port library's list and our modal dialogs.
class CSystemPortServices : public CPortServices {
  public:
    CSystemPortServices(CSetupRegistry& registry, CMessageBoxes& messages)
        : registry_(registry), messages_(messages) {}

    bool EnumeratePorts(std::vector<std::string>& ports) override;
    void ConfigureParallelPort(const std::string& port) override;
    void RunSerialSettings(const std::string& printer) override;

  private:
    CSetupRegistry& registry_;
    CMessageBoxes& messages_;
};

}  // namespace setup
