// Status interpreters: decoders of the printer's 4-byte automatic status blocks that a
// device registers on its port with CPortManager::AddStatusListener.
//
// Interpret and Notify run on the port's monitor thread, under the port's monitor lock but
// never under its I/O lock or a device lock. They report through the owning device's
// FireStatusUpdate, which may take leaf locks only (the device's queue lock, a printer's
// retry lock, a drawer's drawer lock) and never a device lock: a thread holding a device
// lock may be waiting for this monitor lock or for this thread to end (docs/threads.md).
// A value is remembered only when the device accepted it, so a value raised while the
// device could not take it is raised again by the next block. The last values are touched
// by the monitor thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace thermpos::so {

class CServiceDevice;

// What the monitor tells the listeners when the port itself reports a condition.
enum StatusNotification : LONG {
    kNotifyPaperEmpty = 8,  // the port reported out of paper (system error 28)
    kNotifyOffline = 592,   // the port reported not ready (21)
    kNotifyPowerOff = 768,  // the port is gone or timed out (1, 1167, a failed reopen)
    // The printer answered before and then sent nothing for the monitor's silence time
    // although the request was written (MonitorSchedule.h).
    kNotifySilent = 2004,
};

// Drawer's view of the printer state (its own status codes).
enum DrawerPrinterStatus : LONG {
    kDrawerSuePaperEnd = 2590,
    kDrawerSuePaperOk = 2591,
    kDrawerSueCoverOpen = 2592,
    kDrawerSueCoverClosed = 2593,
};

// The status request both device classes register: automatic status back for the
// drawer-kick connector, online/offline, errors and the paper sensors.
inline constexpr BYTE kStatusBackRequest[] = {0x1D, 0x61, 0x0F};

class CStatusInterpreter {
  public:
    explicit CStatusInterpreter(CServiceDevice* device);
    virtual ~CStatusInterpreter() = default;
    CStatusInterpreter(const CStatusInterpreter&) = delete;
    CStatusInterpreter& operator=(const CStatusInterpreter&) = delete;

    // `length` bytes of status blocks gathered since the last call (whole blocks only;
    // anything else is not handled). The blocks are decoded one after the other in the
    // order they came, so a change that came and went between two dispatches (a drawer
    // opened and shut) is still reported, and the values end in the state of the last
    // block. *resend becomes true when the request should be written again (a block
    // showed the printer offline), else is left alone. Returns false for "not handled",
    // which ends the dispatch to the listeners after this one.
    [[nodiscard]] virtual bool Interpret(const BYTE* data, LONG length, bool* resend);
    // A condition the port reported; *resend and the result as for Interpret. The base
    // handles offline, power off and silence.
    //
    // Silence is judged only by an interpreter that has had a block since it was made (at
    // the device's enable): the device is told that its printer does not answer
    // (CServiceDevice::SetPrinterSilent, which refuses output) and, when the power was
    // online, OPOS_SUE_POWER_OFF_OFFLINE is reported. The next block ends it: the device is
    // told first, then OPOS_SUE_POWER_ONLINE is reported, then the block is decoded.
    [[nodiscard]] virtual bool Notify(StatusNotification code, bool* resend);

    CServiceDevice* Device() const { return device_; }
    const std::string& Command() const { return command_; }
    void SetCommand(const void* bytes, std::size_t length) {
        command_.assign(static_cast<const char*>(bytes), length);
    }
    LONG BindingId() const { return bindingId_; }
    void SetBindingId(LONG id) { bindingId_ = id; }
    // True: the request is not written again while its reply is awaited.
    bool Repeat() const { return repeat_; }

    // The last value delivered per condition (0 is the power state); for tests.
    LONG LastValue(std::size_t index) const {
        return index < lastValues_.size() ? lastValues_[index] : -1;
    }

  protected:
    // Raises v on the device and keeps it as condition `index`'s last value when the
    // device accepted it.
    void Report(std::size_t index, LONG v);
    // The power decoding shared by both interpreters (b0 bit 3 means offline).
    void InterpretPower(BYTE b0, bool* resend);
    // Around the blocks of one Interpret call: the first ends a silence; the last tells
    // the device that status has come since its enable, after its values are applied.
    void BeginBlocks();
    void EndBlocks();

    std::vector<LONG> lastValues_;  // [0] power; the rest per class

  private:
    CServiceDevice* device_;
    bool answered_ = false;  // a block came since the interpreter was made
    bool silent_ = false;    // the printer is taken as silent
    std::string command_;
    LONG bindingId_ = -1;
    bool repeat_ = true;
};

class CPrinterStatusInterpreter : public CStatusInterpreter {
  public:
    enum : std::size_t { kPower, kCover, kPaper };
    explicit CPrinterStatusInterpreter(CServiceDevice* device);
    bool Interpret(const BYTE* data, LONG length, bool* resend) override;
    bool Notify(StatusNotification code, bool* resend) override;

  private:
    // Receipt paper from b2: 24 (empty) when an end bit is set, else 25 (near empty) when
    // a near-end bit is set, else 26 (paper ok).
    void InterpretPaper(BYTE b2);
    // Reports paper when it is worse than the last value, or paper ok after any other.
    void ReportPaper(LONG paper);
};

class CDrawerStatusInterpreter : public CStatusInterpreter {
  public:
    enum : std::size_t { kPower, kDrawer, kCover, kPaper };
    // pin3: the drawer's "Pin3" setting, 1 when the drawer is open while pin 3 is high.
    CDrawerStatusInterpreter(CServiceDevice* device, LONG pin3);
    // Reads "Pin3" from the drawer's own logical device key (1 when missing).
    static LONG ReadPin3(const std::string& deviceName);
    bool Interpret(const BYTE* data, LONG length, bool* resend) override;
    LONG Pin3() const { return pin3_; }

  private:
    LONG pin3_;
};

}  // namespace thermpos::so
