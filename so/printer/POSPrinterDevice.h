// CPOSPrinterDevice: every POSPrinter property, the generic method frames, and the single
// output path (SubmitOutput), which holds, queues or writes the bytes of every printer
// method. The queue, the output thread and the transaction buffers are COutputPipeline's.
//
// Threads (the whole map and the one lock order: docs/threads.md):
//   - the caller's thread runs the methods and setters; synchronous and immediate output
//     is written from it;
//   - the output thread (OutputPipeline.h, started by OpenService, joined by Close) writes
//     queued requests and sets State and the error properties;
//   - a port's monitor thread sets CoverOpen, RecEmpty and RecNearEnd through
//     FireStatusUpdate, under that port's monitor lock: it takes only the event queue's
//     lock and the pipeline's retry lock, both leaves.
// Locks: every port write holds the device lock (CServiceDevice::DeviceLock), taken by
// SendToPrinter; nothing that takes it may be called with it held. m_ErrorStringLock
// (ErrorString only) is a leaf. The pipeline's locks are in OutputPipeline.h; none is
// held while bytes are written or events are queued. Fields read by the output thread
// without a lock (AsyncMode, FlagWhenIdle, the paper and cover fields, the error fields)
// are atomics.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "platform/thread_safety.h"
#include "so/core/DeviceClasses.h"
#include "so/printer/OutputPipeline.h"
#include "so/printer/PrintCommands.h"
#include "so/printer/SidewaysData.h"
#include "so/printer/UnitConversion.h"

namespace thermpos::so {

// Published POSPrinter values the shared constants header does not carry; kept in their
// own namespace so a later addition there cannot collide.
namespace ptr {
inline constexpr LONG PTR_RP_NORMAL = 0x0001;
inline constexpr LONG PTR_RP_RIGHT90 = 0x0101;
inline constexpr LONG PTR_RP_LEFT90 = 0x0102;
inline constexpr LONG PTR_RP_ROTATE180 = 0x0103;
inline constexpr LONG PTR_CART_UNKNOWN = 0x10000000;
inline constexpr LONG PTR_COLOR_PRIMARY = 0x00000001;
}  // namespace ptr

class CPOSPrinterDevice : public CPOSPrinterSlots {
  public:
    CPOSPrinterDevice();
    ~CPOSPrinterDevice() override;

    // Replaced slots of CServiceDevice.
    LONG ClearOutput() override;                   // 4
    LONG Close() override EXCLUDES(DeviceLock());  // 6
    LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                     IDispatch* dispatch) override;  // 15
    LONG GetPropertyNumber(LONG index) override;     // 16
    std::string GetPropertyString(LONG index) override;
    void SetPropertyNumber(LONG index, LONG value) override;
    LONG SetDeviceEnabled(LONG enable) override EXCLUDES(DeviceLock());  // 22
    LONG FireStatusUpdate(LONG status) override;                         // 28

    // Slots 29-45 (declared by CPOSPrinterSlots, which the automation surface calls).
    // BeginInsertion, BeginRemoval, ChangePrintSide, EndInsertion, EndRemoval and
    // PrintTwoNormal keep the answer of an operation not offered (the state check, then
    // 106): a receipt printer has no slip to wait for and no second station to print on.
    LONG PrintBarCode(LONG station, const std::string& data, LONG symbology, LONG height,
                      LONG width, LONG alignment, LONG textPosition) override;  // 36
    LONG PrintBitmap(LONG station, const std::string& fileName, LONG width,
                     LONG alignment) override;                            // 37
    LONG PrintImmediate(LONG station, const std::string& data) override;  // 38
    LONG PrintNormal(LONG station, const std::string& data) override;     // 39
    LONG RotatePrint(LONG station, LONG rotation) override;               // 41
    LONG SetBitmap(LONG number, LONG station, const std::string& fileName, LONG width,
                   LONG alignment) override;                            // 42
    LONG SetLogo(LONG location, const std::string& data) override;      // 43
    LONG TransactionPrint(LONG station, LONG control) override;         // 44
    LONG ValidateData(LONG station, const std::string& data) override;  // 45

    // Slots 46-67: property setters, each setting ResultCode.
    virtual void SetAsyncMode(LONG value);            // 46
    virtual void SetCartridgeNotify(LONG value);      // 47
    virtual void SetCharacterSet(LONG value);         // 48
    virtual void SetFlagWhenIdle(LONG value);         // 49
    virtual void SetJrnLetterQuality(LONG value);     // 50
    virtual void SetJrnLineChars(LONG value);         // 51
    virtual void SetJrnLineHeight(LONG value);        // 52
    virtual void SetJrnLineSpacing(LONG value);       // 53
    virtual void SetJrnCurrentCartridge(LONG value);  // 54
    virtual void SetMapMode(LONG value);              // 55
    virtual void SetMapCharacterSet(LONG value);      // 56
    virtual void SetRecLetterQuality(LONG value);     // 57
    virtual void SetRecLineChars(LONG value);         // 58
    virtual void SetRecLineHeight(LONG value);        // 59
    virtual void SetRecLineSpacing(LONG value);       // 60
    virtual void SetRecCurrentCartridge(LONG value);  // 61
    virtual void SetRotateSpecial(LONG value);        // 62
    virtual void SetSlpLetterQuality(LONG value);     // 63
    virtual void SetSlpLineChars(LONG value);         // 64
    virtual void SetSlpLineHeight(LONG value);        // 65
    virtual void SetSlpLineSpacing(LONG value);       // 66
    virtual void SetSlpCurrentCartridge(LONG value);  // 67

    // Slots 68-75: translation and bitmap internals.
    virtual LONG TranslateCommand(LONG code, LONG number, std::string* out, bool validate);  // 68
    virtual LONG PrintDataPrefix(std::string* out);                                          // 69
    virtual LONG PrintDataSuffix(std::string* out);                                          // 70
    virtual LONG NormalizeLineEnds(std::string* text);                                       // 71
    // The whole file, or nothing (*error 0 when it could not be opened, else the result
    // code with ResultCodeExtended set).
    virtual bool ReadBitmapFile(const std::string& fileName, std::string* file,
                                LONG* error) = 0;  // 72
    // Top-down 1-bit rows, 1 = black, each ((width + 31) / 32) * 4 bytes; false when the
    // file cannot be rendered.
    virtual bool RenderBitmap(const std::string& file, LONG* width, LONG* height, std::string* rows,
                              LONG requestedWidth) = 0;  // 73
    // Inverts a 1-bit image whose set bits are white into one whose set bits print.
    virtual std::string ExtractBitmapBits(std::string_view whiteRows);  // 74
    // Breaks the lines of translated data gathered for a sideways print and measures its
    // widest line (SidewaysData.h); startFont is the font selected when the data begins.
    virtual LONG MeasureSidewaysData(std::string_view bytes, int startFont, LONG* widest,
                                     std::string* out);  // 75

    // The output path.
    // Buffers, queues or writes bytes for a station; the result for ResultCode (114 with
    // ResultCodeExtended for printer conditions).
    LONG SubmitOutput(LONG station, std::string_view bytes, bool immediate) EXCLUDES(DeviceLock());
    // 0, an extended printer code 201-216, 107 or 108, from the last reported status.
    LONG CheckPrinterCondition(LONG station);
    // Writes under the device lock: the port result, 106 without bytes or without a port.
    LONG SendToPrinter(const COutputRequest& request) EXCLUDES(DeviceLock());

    // Parses print data (after BinaryConversion) into printer bytes; nothing is produced
    // when validating. Returns the largest result met.
    LONG TranslatePrintData(LONG station, std::string_view data, std::string* out, bool validate);
    // MapMode conversion at this printer's resolution.
    LONG ConvertUnits(LONG from, LONG to, LONG value) const {
        return so::ConvertUnits(m_Resolution, from, to, value);
    }

    // Whether the printer was put in page mode (by DirectIO or the PrinterMode setting);
    // bitmaps cannot be printed or stored then. Caller's thread.
    bool InPageMode() const { return m_PageModeFlag != 0; }

    // For tests and diagnostics.
    std::size_t QueuedRequestCount() { return m_Output.QueuedCount(); }
    const FormattingState& Formatting() const { return m_Formatting; }

  protected:
    // Settings the command tables read, borrowed for one translation.
    ThermalCommandSettings CommandSettings() const;
    // Wakes the output thread when requests wait (after the device is enabled again).
    void WakeOutputThreadIfQueued() { m_Output.WakeIfQueued(); }
    // Sets every property to its value after OpenService.
    void ResetPrinterProperties();

    // Properties (8001-8045).
    std::atomic<LONG> m_AsyncMode{0};
    LONG m_CharacterSet = 0;
    std::atomic<LONG> m_CoverOpen{0};
    std::atomic<LONG> m_ErrorStation{0};
    std::atomic<LONG> m_FlagWhenIdle{0};
    std::atomic<LONG> m_JrnEmpty{0};
    LONG m_JrnLineWidth = 0;
    LONG m_JrnLineHeight = 0;
    LONG m_JrnLineSpacing = 0;
    std::atomic<LONG> m_JrnNearEnd{0};
    LONG m_MapMode = PTR_MM_DOTS;
    std::atomic<LONG> m_RecEmpty{0};
    LONG m_RecLineChars = 48;
    LONG m_RecLineHeight = 24;
    LONG m_RecLineSpacing = 34;
    LONG m_RecLinesToPaperCut = 3;
    LONG m_RecLineWidth = 576;
    std::atomic<LONG> m_RecNearEnd{0};
    LONG m_RecSidewaysMaxChars = 76;
    LONG m_RecSidewaysMaxLines = 17;
    std::atomic<LONG> m_SlpEmpty{0};
    LONG m_SlpLineHeight = 0;
    LONG m_SlpLineSpacing = 0;
    LONG m_SlpLineWidth = 0;
    std::atomic<LONG> m_ErrorLevel{PTR_EL_NONE};
    LONG m_RotateSpecial = ptr::PTR_RP_NORMAL;
    LONG m_RecCartridgeState = ptr::PTR_CART_UNKNOWN;
    LONG m_SlpCartridgeState = ptr::PTR_CART_UNKNOWN;
    LONG m_MapCharacterSet = 1;

    // Capabilities that the family or the model decide.
    LONG m_CapRec2Color = 0;
    LONG m_CapRecColor = ptr::PTR_COLOR_PRIMARY;
    LONG m_CapMapCharacterSet = 1;

    // Text properties (1008001-1008010). ErrorString is written by the output thread.
    std::string m_CharacterSetList;
    std::string m_RecLineCharsList;
    std::string m_FontTypefaceList;
    std::string m_RecBarCodeRotationList;
    std::string m_RecBitmapRotationList;
    thermpos::platform::Mutex m_ErrorStringLock;  // a leaf
    std::string m_ErrorString GUARDED_BY(m_ErrorStringLock);

    // Configuration (read by the thermal class).
    const double m_Resolution = kPrinterResolution;
    LONG m_BitmapMode = 0;
    LONG m_PrinterLanguageModel = 0;
    LONG m_PaperSensor = 0;
    LONG m_PageModeFlag = 0;
    LONG m_MapResolution = 0;
    LONG m_UseNVRAM = 1;
    LONG m_PaperWidth = 0;
    LONG m_ColumnSetting = 0;

    // Translation state, caller's thread only.
    FormattingState m_Formatting;
    LONG m_FontCount = 3;
    // 0, then the last rotation RotatePrint accepted; while it is PTR_RP_RIGHT90 or
    // PTR_RP_LEFT90, PrintNormal gathers its data in m_SidewaysBlocks instead of printing.
    LONG m_SidewaysMode = 0;
    // Kept until a sideways print succeeds, ClearOutput or Close.
    std::vector<CSidewaysBlock> m_SidewaysBlocks;
    std::string m_TopLogo;
    std::string m_BottomLogo;
    std::vector<StoredBitmap> m_StoredBitmaps;

  private:
    friend class COutputPipeline;

    // Property tables (PrinterProperties.cpp): one row per index the printer answers.
    struct NumberProperty {
        LONG index;
        LONG (*get)(CPOSPrinterDevice&);
    };
    struct StringProperty {
        LONG index;
        std::string (*get)(CPOSPrinterDevice&);
    };
    struct SettableProperty {
        LONG index;
        LONG level;  // of the state test: 1 open, 3 enabled
        void (CPOSPrinterDevice::*set)(LONG);
    };
    static const NumberProperty* FindNumberProperty(LONG index);
    static const StringProperty* FindStringProperty(LONG index);
    static const SettableProperty* FindSettableProperty(LONG index);

    enum class PrintUse { kNormal, kImmediate, kValidate };
    // PrintNormal, PrintImmediate and ValidateData: the state check, BinaryConversion,
    // then translation; the bytes are submitted, or only checked when validating.
    LONG HandlePrintData(LONG station, const std::string& data, PrintUse use);
    void SetErrorString(const std::string& text);

    // Declared last: destroyed first, so its thread is gone before the fields it uses.
    COutputPipeline m_Output{*this};
};

}  // namespace thermpos::so
