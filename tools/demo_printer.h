// The printer `thermpos demo` prints on: the virtual printer started inside the demo, or
// a port the user names, where a printer (or a virtual printer run elsewhere, such as one
// on the Linux side of a Windows machine's COM mapping) answers.
//
// Thread safety: SetCover may be called from an event thread while the main thread waits
// in WaitReceipts; everything else from the main thread.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace thermpos::tool {

class DemoPrinter {
  public:
    virtual ~DemoPrinter() = default;
    // The port name the logical devices are installed on ("COM9").
    virtual std::string PortName() const = 0;
    // One line on where the printer is and where its receipts go.
    virtual std::string Description() const = 0;
    // Whether the demo can open and close the cover itself.
    virtual bool ControlsCover() const = 0;
    virtual void SetCover(bool open) = 0;
    // Waits until `count` receipts are finished; a printer that cannot tell says so with
    // true at once.
    virtual bool WaitReceipts(int count, std::chrono::seconds limit) = 0;
    virtual void Stop() = 0;
    // Lines for the end of the demo: the receipt files, or where to find them.
    virtual std::vector<std::string> Summary() const = 0;
};

// The virtual printer, mapped as portName, writing its receipts into outDir; its drawer
// falls shut drawerAutoCloseMs after a kick. Null with *error where it cannot start, or
// where there is no virtual printer in this build.
std::unique_ptr<DemoPrinter> StartVirtualPrinter(const std::string& portName,
                                                 const std::string& outDir, int drawerAutoCloseMs,
                                                 std::string* error);

// A printer behind a port the demo does not control.
std::unique_ptr<DemoPrinter> UseNamedPort(const std::string& portName);

}  // namespace thermpos::tool
