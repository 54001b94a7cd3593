// CServiceDevice: the base of every device object (printers and drawers).
//
// It keeps the common OPOS properties, the life cycle (open, claim, enable, disable,
// release, close) with its result codes, the claim by a system-wide named mutex, the
// port binding, and the event queue with its delivery thread.
//
// Every thread and lock of the system, and the one lock order: docs/threads.md. Here:
// Threads:
//   - the caller's thread runs every operation called through the automation surface;
//   - the event thread (started by OpenService, joined by Close) takes records off the
//     queue and calls the control object, one at a time, in queue order, holding no lock;
//   - producers on other threads (a port's monitor thread, a printer's output thread)
//     call QueueEvent and FireStatusUpdate.
// Locks:
//   - m_DeviceLock (before the port table's and the port's locks): enabling, disabling,
//     the port binding and every port write of the device. A plain mutex: a derived
//     class that holds it across its own enable steps calls the *Locked forms of the
//     steps (SetDeviceEnabledLocked, StartStatusMonitorLocked), never the public ones,
//     which take it themselves.
//   - m_QueueLock (a leaf): the event queue; never held during a callback.
// The common numeric properties are atomics because the event thread and producers read
// them (Claimed, DeviceEnabled, State, PowerNotify ...) while the caller's thread changes
// them.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "opos/OposConstants.h"
#include "platform/apartment.h"
#include "platform/automation.h"
#include "platform/sync.h"
#include "platform/thread_safety.h"
#include "so/core/PortTable.h"
#include "so/core/QueuedEvent.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

class CServiceDevice {
  public:
    CServiceDevice();
    CServiceDevice(const CServiceDevice&) = delete;
    CServiceDevice& operator=(const CServiceDevice&) = delete;

    // Virtual operations in slot order. Printer classes append theirs from slot 29 on
    // (BeginInsertion ... ValidateData), drawer classes OpenDrawer 29, WaitForDrawerClose 30.
    // Each operation that sets ResultCode returns the same value.
    virtual LONG CheckHealth(LONG level);                                // 0
    virtual LONG ClaimDevice(LONG timeout);                              // 1
    virtual LONG Claim(LONG timeout);                                    // 2
    virtual LONG ClearInput();                                           // 3
    virtual LONG ClearOutput();                                          // 4
    virtual LONG CloseDevice() EXCLUDES(m_DeviceLock);                   // 5
    virtual LONG Close() EXCLUDES(m_DeviceLock);                         // 6
    virtual LONG DirectIO(LONG command, LONG* data, std::string* text);  // 7
    virtual LONG ReleaseDevice() EXCLUDES(m_DeviceLock);                 // 8
    virtual LONG Release() EXCLUDES(m_DeviceLock);                       // 9
    virtual LONG ResetStatistics(std::string* buffer);                   // 10
    virtual LONG RetrieveStatistics(std::string* buffer);                // 11
    virtual LONG UpdateStatistics(std::string* buffer);                  // 12
    virtual LONG FreezeEvents(LONG freeze);                              // 13
    virtual LONG GetOpenResult();                                        // 14
    virtual LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                             IDispatch* dispatch);                         // 15
    virtual LONG GetPropertyNumber(LONG index);                            // 16
    virtual std::string GetPropertyString(LONG index);                     // 17
    virtual void SetPropertyNumber(LONG index, LONG value);                // 18
    virtual void SetPropertyString(LONG index, const std::string& value);  // 19
    virtual void ReadConfiguration(const std::string& deviceClass,
                                   const std::string& deviceName);  // 20
    // 21. Closes with the base operations if still open. A derived class whose Close or
    // Release overrides must run (it owns threads or a port) calls Close() in its own
    // destructor; the automation surface always calls Close before it destroys a device.
    virtual ~CServiceDevice();
    virtual LONG SetDeviceEnabled(LONG enable) EXCLUDES(m_DeviceLock);  // 22
    virtual void OnErrorResponse(CQueuedEvent& event);                  // 23
    virtual LONG SetPowerNotify(LONG value);                            // 24
    virtual LONG CheckHealthInternal();                                 // 25
    virtual LONG CheckHealthExternal();                                 // 26
    virtual LONG CheckHealthInteractive();                              // 27
    // 28. Called by status interpreters on a port's monitor thread, under that port's
    // monitor lock: so it must take no device lock, only leaves (the queue lock here, the
    // leaves of docs/threads.md in overrides). Returns 1 when the value was accepted
    // (queued, or a power value recorded with PowerNotify 0 ignored), 0 when the device is
    // not enabled.
    virtual LONG FireStatusUpdate(LONG status);

    // Helpers for the derived classes.

    // The first failing condition of an operation of this level (1 open, 2 also claimed,
    // 3 also enabled): 101, 103, 105, or 0. Sets ResultCodeExtended to 0, not ResultCode.
    LONG CheckState(LONG level);
    // Queues a record for the event thread while DeviceEnabled is 1; otherwise the record
    // is discarded. Returns true when queued. Any thread.
    bool QueueEvent(std::unique_ptr<CQueuedEvent> event);
    // Decodes text by BinaryConversion into out: 0; 106 for a bad length, an unknown
    // conversion or no text; 111 when memory runs out.
    LONG ConvertBinary(const char* text, std::string* out) const;
    LONG ConvertBinary(const std::string& text, std::string* out) const {
        return ConvertBinary(text.c_str(), out);
    }
    // Applies the serial settings (COM ports) and the time-outs (COM, LPT and network
    // ports) to the bound port: 0; 111 without a port name; 112 when the port refuses the
    // time-outs.
    [[nodiscard]] LONG ConfigurePort() REQUIRES(m_DeviceLock);

    // Port I/O on the device's binding (see CPortManager for the results).
    [[nodiscard]] LONG WritePort(const void* data, LONG length, LONG* written = nullptr)
        REQUIRES(m_DeviceLock);
    [[nodiscard]] LONG ReadPort(void* buffer, LONG* length) REQUIRES(m_DeviceLock);
    // Pauses the port's monitor until *pause goes out of scope, which must be before the
    // device releases its port (CPortManager::PauseMonitor).
    [[nodiscard]] LONG PauseMonitor(CMonitorPause* pause) REQUIRES(m_DeviceLock);
    // Asks the printer on the bound port for a status block with the monitor paused and
    // reads what came back after the printer's answer time (at most readSize bytes, up to
    // 64): 0 when anything came back, OPOS_E_NOHARDWARE (107) when nothing did, else the
    // pause's or the port's failure. Blocks for the answer time.
    [[nodiscard]] LONG ProbeStatusReplyLocked(LONG readSize = 64) REQUIRES(m_DeviceLock);

    // Registers the device's status interpreter on its port once it is enabled: gives it
    // the status request and adds it as a listener polled every StatusBackInterval ms.
    // A printer gives its model's monitor profile, a drawer none. The device owns the
    // interpreter until disabling has released the port. Result of AddStatusListener (the
    // interpreter is dropped when that fails).
    [[nodiscard]] LONG StartStatusMonitor(std::unique_ptr<CStatusInterpreter> interpreter,
                                          const MonitorProfile* profile = nullptr)
        EXCLUDES(m_DeviceLock);
    [[nodiscard]] LONG StartStatusMonitorLocked(std::unique_ptr<CStatusInterpreter> interpreter,
                                                const MonitorProfile* profile = nullptr)
        REQUIRES(m_DeviceLock);
    // The registered interpreter, or null; for tests and diagnostics.
    const CStatusInterpreter* StatusInterpreter() const EXCLUDES(m_DeviceLock);

    // What the printer has said since this enable. Called by the status interpreter on
    // the port's monitor thread (they touch an atomic and an event only, so any thread).
    //
    // A status block was decoded and its values applied.
    void StatusBlockReceived() { m_StatusSinceEnable.Set(); }
    // The printer answered before and has stopped answering (true), or answers again.
    // While it lasts output is refused with OPOS_E_OFFLINE, whatever PowerNotify says.
    void SetPrinterSilent(bool silent) { m_PrinterSilent = silent; }
    bool PrinterSilent() const { return m_PrinterSilent.load(); }
    // Before a print or pulse is judged by the printer's state: waits until the first
    // status block of this enable has come, or stop (may be null) is set, at most until
    // kFirstStatusWait after the device's listener was registered; returns at once when
    // none is (a device without a listener, or the enable's own steps before it). True
    // when status has come; without, the state the device has stands.
    bool WaitForFirstStatus(const thermpos::platform::ManualResetEvent* stop = nullptr) const;
    // The claim probe's wait plus a few status intervals is the usual time.
    static constexpr std::chrono::milliseconds kFirstStatusWait{1000};

    // The device lock; derived classes hold it (thermpos::platform::MutexLock) around each port
    // write and probe.
    thermpos::platform::Mutex& DeviceLock() const RETURN_CAPABILITY(m_DeviceLock) {
        return m_DeviceLock;
    }

    // Error response handshake of error events: a producer resets the event, queues an
    // error record, then waits; the event thread stores the application's answer (11 or
    // 12) and sets the event. Close sets it too (with StopRequested() true) so no
    // producer waits for ever.
    thermpos::platform::ManualResetEvent& ErrorResponseEvent() { return m_ErrorResponseEvent; }
    LONG ErrorResponse() const { return m_ErrorResponse.load(); }
    bool StopRequested() const { return m_Stop.load(); }

    // Read access for the surface, the status monitor and tests.
    LONG ResultCode() const { return m_ResultCode.load(); }
    LONG State() const { return m_State.load(); }
    bool IsEnabled() const { return m_DeviceEnabled.load() == 1; }
    bool IsClaimed() const { return m_Claimed.load() == 1; }
    // A copy, read under the device lock: enabling and disabling change it.
    PortBinding Binding() const EXCLUDES(m_DeviceLock);
    LONG SharingKind() const { return m_SharingKind; }
    const std::string& Port() const { return m_Port; }
    const std::string& PhysicalDeviceID() const { return m_PhysicalDeviceID; }
    const std::string& DeviceName() const { return m_DeviceName; }
    LONG StatusBackInterval() const { return m_StatusBackInterval; }
    DWORD WriteTotalConstant() const { return m_WriteTotalConstant; }

  protected:
    // Sets ResultCode and returns it.
    LONG SetResult(LONG code) {
        m_ResultCode = code;
        return code;
    }
    // The base's enable and disable steps, for a derived class that holds the device lock
    // across steps of its own around them. Same results as SetDeviceEnabled.
    LONG SetDeviceEnabledLocked(LONG enable) REQUIRES(m_DeviceLock);
    // The failure of CheckState(level), else code; sets ResultCode to it.
    LONG SetResultAfterCheck(LONG level, LONG code) {
        LONG rc = CheckState(level);
        return SetResult(rc != OPOS_SUCCESS ? rc : code);
    }
    // What an operation the device does not offer answers: the state failure of an
    // enabled device, else OPOS_E_ILLEGAL.
    LONG NotOffered() { return SetResultAfterCheck(3, OPOS_E_ILLEGAL); }
    // The port manager the device uses (the process-wide one unless a test sets another).
    CPortManager& PortManager() { return *m_PortManager; }
    void SetPortManager(CPortManager* manager) { m_PortManager = manager; }

    // Common properties, in declaration order.
    std::atomic<LONG> m_AutoDisable{0};
    std::atomic<LONG> m_BinaryConversion{0};
    std::atomic<LONG> m_CapPowerReporting{0};
    std::atomic<LONG> m_CapStatisticsReporting{0};
    std::atomic<LONG> m_CapUpdateStatistics{0};
    std::string m_CheckHealthText;
    std::atomic<LONG> m_Claimed{0};
    std::atomic<LONG> m_DataCount{0};
    std::atomic<LONG> m_DataEventEnabled{0};
    std::atomic<LONG> m_DeviceEnabled{0};
    std::atomic<LONG> m_FreezeEvents{0};
    std::atomic<LONG> m_OutputID{0};
    std::atomic<LONG> m_PowerNotify{0};
    std::atomic<LONG> m_PowerState{0};
    std::atomic<LONG> m_ResultCode{0};
    std::atomic<LONG> m_ResultCodeExtended{0};
    std::atomic<LONG> m_State{OPOS_S_CLOSED};
    std::string m_ServiceObjectDescription;
    std::atomic<LONG> m_ServiceObjectVersion{0};
    std::string m_DeviceDescription;
    std::string m_DeviceName;

    // Configuration (DeviceConfig.h), read at OpenService.
    LONG m_WriteTimeout = 2000;
    LONG m_StatusBackInterval = 5;
    LONG m_BaudRate = 19200;
    LONG m_Parity = 0;
    LONG m_HandShake = 0;
    LONG m_BitLength = 8;
    std::string m_PhysicalDeviceID;  // printer model classes preset their model key
    std::string m_Port;

    PortBinding m_Binding GUARDED_BY(m_DeviceLock);
    LONG m_SharingKind = PortKindExclusive;  // drawer classes set PortKindSharable
    DWORD m_ReadIntervalTimeout = MAXDWORD;
    DWORD m_ReadTotalMultiplier = 0;
    DWORD m_ReadTotalConstant = 0;
    DWORD m_WriteTotalMultiplier = MAXDWORD;
    DWORD m_WriteTotalConstant = 2000;

    std::atomic<LONG> m_ErrorResponse{OPOS_ER_RETRY};

    // Dropped only after the port is released: until then the monitor thread may call it.
    std::unique_ptr<CStatusInterpreter> m_StatusInterpreter GUARDED_BY(m_DeviceLock);

  private:
    void EventThreadMain();
    void Deliver(CQueuedEvent& event);
    // After a claim: wake the event thread if records wait.
    void WakeEventThreadIfQueued();

    CPortManager* m_PortManager;
    thermpos::platform::NamedMutex m_ClaimMutex;
    CControlCallback m_Callback;

    // Mutable: taken by the const accessors above.
    mutable thermpos::platform::Mutex m_DeviceLock ACQUIRED_BEFORE(m_QueueLock);

    thermpos::platform::Mutex m_QueueLock;
    std::deque<std::unique_ptr<CQueuedEvent>> m_Queue GUARDED_BY(m_QueueLock);
    thermpos::platform::ManualResetEvent m_QueueEvent;        // set while records wait
    thermpos::platform::ManualResetEvent m_FreezeGate{true};  // set while events are not frozen
    thermpos::platform::ManualResetEvent m_ErrorResponseEvent;
    // Waited for by Close; a closing thread of an STA lets the event thread's calls into
    // its apartment through meanwhile (platform/apartment.h).
    thermpos::platform::com::ApartmentEvent m_ThreadExitEvent;
    // Reset when the device enables, set by the first status block after it and by the
    // disable (which ends every wait on it).
    thermpos::platform::ManualResetEvent m_StatusSinceEnable{true};
    // Steady-clock ticks until which a judgment waits for that block; 0 while no listener
    // of this enable is registered.
    std::atomic<std::chrono::steady_clock::rep> m_FirstStatusDeadline{0};
    std::atomic<bool> m_PrinterSilent{false};
    std::atomic<bool> m_Stop{false};
    std::thread m_EventThread;  // owned: started by OpenService, joined by Close
};

}  // namespace thermpos::so
