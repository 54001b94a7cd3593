// The printing commands of the Methods menu and the bar code demonstration: single calls
// on the printer control object, each result logged. The menu's check marks are the main
// window's; these procedures only say what they should become.
#pragma once

#include <QString>
#include <string>

#include "exerciser/MyGlobalModule.h"

namespace exerciser {

// RotatePrint's rotations (PTR_RP_NORMAL, PTR_RP_RIGHT90, PTR_RP_LEFT90, PTR_RP_ROTATE180).
inline constexpr LONG kRotateNormal = 1;
inline constexpr LONG kRotateRight90 = 257;
inline constexpr LONG kRotateLeft90 = 258;
inline constexpr LONG kRotate180 = 259;

// Text for a string argument: the automation surface takes UTF-16, so text typed by the
// operator reaches the control object unchanged whatever the system code page is.
void AddText(thermpos::platform::com::OutgoingArgs& args, const QString& text);

// PrintNormal / PrintImmediate / ValidateData (method) of text on the current station.
[[nodiscard]] LONG PrintOnStation(CGlobalModule& module, const char* method, const QString& data);

class CPrintExercises {
  public:
    explicit CPrintExercises(CGlobalModule& module) : module_(module) {}

    // "Print Bitmap": the chosen file, after the readiness check and the operator's Yes.
    void PrintBitmap();
    // "Normal" / "90 Left" / "90 Right" / "180 Rotation" (PTR_RP_*): true when the device
    // took it, so that the item becomes the checked one.
    [[nodiscard]] bool RotatePrint(LONG rotation);
    // "Set Transaction Printing": ends the transaction when the item is checked, else
    // starts one; returns the item's new check mark.
    [[nodiscard]] bool TransactionPrint(bool checked);
    void FeedLine();
    void PaperPartialCut();
    void PaperFullCut();
    void PaperFeedAndCut();
    // Printers > Print > "Test BarCode Printing".
    void BarCodeDemo();

  private:
    CGlobalModule& module_;
};

}  // namespace exerciser
