// The virtual printer's entry in the registry's Ports map (HKLM\SOFTWARE\ThermPOS\Ports),
// so that hosts can open it by a device name ("COM9") while it runs.
//
// Thread safety: none inside; VirtualPrinter calls it under its mutex_.
#pragma once

#include <string>

namespace thermpos::vprinter {

class PortsEntry {
  public:
    // Maps name to value, unless this entry already did. False with *error.
    [[nodiscard]] bool Publish(const std::string& name, const std::string& value,
                               std::string* error);
    // Removes the entry this object made, if it still holds what was written: another
    // program may have mapped the name since. Best effort (a stale entry names a device
    // that is gone, and the next start under that name replaces it).
    void Withdraw();

  private:
    std::string name_;
    std::string value_;  // empty: nothing published
};

}  // namespace thermpos::vprinter
