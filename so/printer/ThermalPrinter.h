// CThermalPrinter: the thermal receipt printer family. It fixes the capabilities, reads the
// printer's configuration, probes the printer at claim, initialises it at enable, and turns
// methods and setters into printer command bytes. The model classes (PrinterModels.h) give
// it their profile (ModelProfile.h): fonts, code pages, line layouts, the model key and the
// commands the model sends instead of the family's.
//
// No thread of its own; see POSPrinterDevice.h for the output thread and the lock order.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "so/printer/ModelProfile.h"
#include "so/printer/POSPrinterDevice.h"
#include "so/printer/PrinterBitmaps.h"

namespace thermpos::so {

class CThermalPrinter : public CPOSPrinterDevice {
  public:
    explicit CThermalPrinter(const ModelProfile& profile);

    LONG Claim(LONG timeout) override;  // 2
    LONG Close() override;              // 6
    // Page-mode and user-defined-character commands (PrinterDirectIO.cpp).
    LONG DirectIO(LONG command, LONG* data, std::string* text) override;  // 7
    LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                     IDispatch* dispatch) override;  // 15
    void ReadConfiguration(const std::string& deviceClass,
                           const std::string& deviceName) override;  // 20
    LONG SetDeviceEnabled(LONG enable) override;                     // 22
    LONG CheckHealthExternal() override;                             // 26
    void SetCharacterSet(LONG value) override;                       // 48
    void SetRecLineChars(LONG value) override;                       // 58
    void SetRecLineHeight(LONG value) override;                      // 59
    void SetRecLineSpacing(LONG value) override;                     // 60
    // The model's table over the family's.
    LONG TranslateCommand(LONG code, LONG number, std::string* out,
                          bool validate) override;       // 68
    LONG PrintDataSuffix(std::string* out) override;     // 70
    LONG NormalizeLineEnds(std::string* text) override;  // 71

    // Bitmaps (PrinterBitmaps.cpp).
    LONG PrintBitmap(LONG station, const std::string& fileName, LONG width,
                     LONG alignment) override;  // 37
    LONG SetBitmap(LONG number, LONG station, const std::string& fileName, LONG width,
                   LONG alignment) override;  // 42
    // No data gives *error 109 when the file cannot be opened, is empty or is 4 GiB or
    // more; 114 with ResultCodeExtended 207 when it is not a bitmap file of its length;
    // 106 when it is larger than any picture the printer is sent.
    bool ReadBitmapFile(const std::string& fileName, std::string* file,
                        LONG* error) override;  // 72
    bool RenderBitmap(const std::string& file, LONG* width, LONG* height, std::string* rows,
                      LONG requestedWidth) override;  // 73
    // Bytes of column data the printer's NV memory holds: the stored list's share.
    std::size_t NvBitmapTotal() const;

    // Bar codes (PrinterBarCode.cpp).
    LONG PrintBarCode(LONG station, const std::string& data, LONG symbology, LONG height,
                      LONG width, LONG alignment, LONG textPosition) override;  // 36

    // Cutting, feeding and rotation (PrinterRotation.cpp).
    LONG CutPaper(LONG percentage) override;                 // 32
    LONG MarkFeed(LONG type) override;                       // 35
    LONG RotatePrint(LONG station, LONG rotation) override;  // 41
    LONG MeasureSidewaysData(std::string_view bytes, int startFont, LONG* widest,
                             std::string* out) override;  // 75

    const ModelProfile& Profile() const { return profile_; }
    // The printer code table for a CharacterSet value, or -1 when the family has none.
    static int CodeTableFor(LONG characterSet);
    // How the port's status monitor keeps the status request going for the printer with
    // this model key (PhysicalDeviceID): the profile of the model registered under that key
    // (compared without regard to case), the defaults for a key no model has.
    static MonitorProfile StatusMonitorProfile(const std::string& modelKey);

  protected:
    // Sends ESC 't' table and stores the CharacterSet on success.
    void SelectCodeTable(LONG characterSet, int table);
    // The cell of the current font.
    FontCell CurrentCell() const;
    // Model destructors call this first, so that no thread runs while the object shrinks.
    void CloseBeforeDestruction();
    // CutPaper with the cut kind decided: GS V m to the receipt station.
    LONG SendCut(char mode);

    // Blocks while the printer stores an NV download (it answers nothing meanwhile).
    virtual void WaitForNvWrite(std::chrono::milliseconds time);

  private:
    // Prints the gathered sideways data as one page-mode page; keeps it when that fails.
    LONG PrintSidewaysPage(LONG station);
    // Reads and renders a bitmap file to black rows: 0, or the result code (109, 114 with
    // ResultCodeExtended 207, 106 when it cannot be rendered, 111).
    LONG LoadBitmap(const std::string& fileName, LONG width, MonochromeBitmap* black);
    // Writes an NV definition straight to the port with the status monitor paused and no
    // time-outs, then waits while the printer stores it. The write's result.
    LONG DownloadNvBitmaps(std::string_view download);

    const ModelProfile& profile_;
    // Numbers the DirectIO events of this object, from 0 on; wraps as the unsigned number
    // it is.
    std::uint32_t m_DirectIOEventCount = 0;
};

}  // namespace thermpos::so
