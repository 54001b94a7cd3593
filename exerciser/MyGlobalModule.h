// The program-wide state and the procedures every window shares: result texts, the result
// log, the readiness question, the bitmap file choice, the device lists from the registry,
// and the rules that turn printer events and sensor readings into the status window's
// check marks and the event list's lines. Nothing here touches a widget; the windows
// apply what these procedures decide.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "exerciser/MessageBoxes.h"
#include "exerciser/OposObject.h"

namespace exerciser {

inline constexpr char kCrLf[] = "\r\n";
inline constexpr char kProgId_PosPrinter[] = "OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter";
inline constexpr char kProgId_CashDrawer[] = "OposCashDrawer_1_8_LibCtl.OPOSCashDrawer";
inline constexpr char kRegistryProblem[] =
    "Problem with the Windows Registry\r\nUnable to open key";

// Text of an OPOS result code as the printer windows log it, and as the drawer window does.
std::string ResultCodeText(LONG code);
std::string DrawerResultCodeText(LONG code);

// Names of the logical devices of a class ("POSPrinter", "CashDrawer"), in registry order.
// False when the class key cannot be opened (the list is then empty).
[[nodiscard]] bool ListDevices(const char* deviceClass, std::vector<std::string>& names);

// Where result lines go: the result window's list (loaded when it is not).
class CResultList {
  public:
    virtual ~CResultList() = default;
    virtual void AddResultLine(const std::string& line, bool selectLast) = 0;
    virtual void ClearResults() = 0;
};

class CGlobalModule {
  public:
    CGlobalModule(COposObject& printer, COposObject& drawer, CMessageBoxes& messages,
                  CResultList& results);

    COposObject& PrinterCO;
    COposObject& DrawerCO;
    std::string SelectedPrinterName;
    LONG CurrentStation = 0;
    LONG BitmapNumber = 0;
    std::string BitmapFileName;

    CMessageBoxes& Messages() { return messages_; }
    CResultList& Results() { return results_; }

    // "<operation> : <text>", the newest line selected.
    void LogResult(const std::string& operation, LONG code);
    // The drawer's texts; the selection stays where it was.
    void ViewResultCodeforDrawer(const std::string& operation, LONG code);
    // A line of its own for a failed automation call.
    void LogAutomationFailure(const std::string& line);
    // A line of its own that tells the operator what is going on, the newest selected.
    void LogNotice(const std::string& line);

    // True when the printer is idle; otherwise asks Retry/Cancel until it is or Cancel.
    [[nodiscard]] bool CheckPrinterReady();
    // Asks for a bitmap file; true with BitmapFileName set when one was chosen.
    [[nodiscard]] bool SelectBitmapFile();

  private:
    CMessageBoxes& messages_;
    CResultList& results_;
};

// The status window's seven boxes.
enum class StatusBox {
    PowerOnline,
    FlagIdle,
    CoverOpen,
    PaperNearEnd,
    JrnSensor,
    RecSensor,
    SlpSensor,
};
inline constexpr int kStatusBoxCount = 7;

struct StatusChange {
    StatusBox box;
    bool checked;
};

// What a StatusUpdateEvent adds to the event list and changes in the status window.
struct StatusUpdateRule {
    std::string text;
    std::vector<StatusChange> changes;
};
StatusUpdateRule StatusUpdateFor(LONG data);

// The question an ErrorEvent puts to the operator.
std::string ErrorEventMessage(LONG resultCode, LONG resultCodeExtended);

// The status window as a successful enable leaves it, read from the device: which boxes
// become enabled, which check marks are set, and whether the journal box is renamed.
struct StatusPrime {
    std::array<bool, kStatusBoxCount> enable{};
    std::array<std::optional<bool>, kStatusBoxCount> check{};
    bool journalEmptyCaption = false;
};
StatusPrime ReadStatusPrime(COposObject& printer);

}  // namespace exerciser
