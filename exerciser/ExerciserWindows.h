// What a child window may ask of the main window: the other windows, loaded on demand.
#pragma once

namespace exerciser {

class StatusForm;

class CExerciserWindows {
  public:
    virtual ~CExerciserWindows() = default;
    // The status window, loaded when it is not.
    virtual StatusForm& Status() = 0;
    // Printers > Print > "Formated Text and Bitmap".
    virtual void ShowPrintText() = 0;
};

}  // namespace exerciser
