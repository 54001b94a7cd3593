// The scripted print demonstrations of PrnExerciser: the character set table and the method
// walk-through, and the pieces they share with the property report and the escape
// sequence sheet (printing on the current station with its result logged, the feed and
// cut, the slip hand-off, and re-arming the idle flag). Every device call goes through
// the printer control object by name; no call stops a script, its result goes to the
// result list and the script goes on.
#pragma once

#include <string>
#include <vector>

#include "exerciser/ExerciserWindows.h"
#include "exerciser/MyGlobalModule.h"
#include "exerciser/PrintExercises.h"

namespace exerciser {

inline constexpr char kEsc[] = "\x1b";
inline constexpr char kLogoFileName[] = "PelkoLogo.bmp";
// The blank yields of the scripts: long enough for the windows to repaint after SetBitmap.
inline constexpr int kScriptYields = 10001;

// OPOS name of a result code ("OPOS_E_TIMEOUT"); empty for a code outside 0 and 101..114.
std::string OposResultName(LONG code);

// The table rows the character set table prints for one character set, each with its
// CR LF: code page 932 shows its single-byte katakana (4 rows from 160), any other set the
// printable codes from 32 (14 rows).
std::vector<std::string> CharacterTableRows(LONG characterSet);

// Entries of a CharacterSetList, in order: the leading digits of each comma-separated item
// (0 when it has none). An empty list has no entries.
std::vector<LONG> CharacterSetEntries(const std::string& list);

// The walk-through's line for a bitmap or logo the device refused ("SetLogo Printing Not
// Support !?, ResultCode Returned:OPOS_E_FAILURE"), naming the code it answered.
std::string NotSupportedLine(const std::string& what, LONG code);

class CPrintScript {
  public:
    CPrintScript(CGlobalModule& module, CExerciserWindows& windows);
    virtual ~CPrintScript() = default;

    // PelkoLogo.bmp in the folder of the running program.
    static std::string LogoPath();

  protected:
    // How a script leaves the slip: the scripts end their transaction with it; the escape
    // sheet, which starts none, only hands the slip out and treats any answer but
    // OPOS_E_FAILURE as an inserted slip.
    enum class SlipHandOffKind { EndTransaction, RemovalOnly };

    CGlobalModule& Module() { return module_; }
    COposObject& Printer() { return module_.PrinterCO; }
    LONG Station() const { return module_.CurrentStation; }
    void Log(const std::string& operation, LONG code) { module_.LogResult(operation, code); }

    // PrintNormal on the current station, logged "PrintNormal".
    LONG Print(const std::string& data);
    LONG Call(const char* method, thermpos::platform::com::OutgoingArgs& args);
    // A method on the current station with one number (RotatePrint, TransactionPrint).
    LONG CallStation(const char* method, LONG value);
    LONG ValidateData(const std::string& data);
    LONG SetBitmapLogo();
    LONG SetLogo(LONG location, const std::string& data);

    // On the receipt the paper is fed up to the knife first; every station gets the cut.
    void FeedAndCut();
    void SlipHandOff(SlipHandOffKind kind);
    // The slip hands off; any other station ends its transaction.
    void FinishTransaction();
    // The next PTR_SUE_IDLE checks "Flag When Idle" again.
    void WatchForIdle();
    static void YieldToUi();

  private:
    CGlobalModule& module_;
    CExerciserWindows& windows_;
};

class CScriptedDemos : public CPrintScript {
  public:
    using CPrintScript::CPrintScript;

    // Printers > Print > "Characterset".
    void PrintCharacterSets();
    // Printers > Print > "POS Printer Methods".
    void PrintMethods();

  private:
    void PrintBitmapAndLogos();
    void PrintStoredLogo(LONG location, const char* logoText, const char* sequence,
                         const char* caption);
};

}  // namespace exerciser
