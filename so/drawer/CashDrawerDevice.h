// The cash drawer hung on the drawer kick connector of a receipt printer.
//
// The drawer has no port of its own: it is opened by a pulse command written to the
// printer's port, and it learns whether it is open from the printer's automatic status
// blocks, which echo pin 3 of the kick connector. Everything it shares with the printer
// (life cycle, claim, port table, status monitor, events) is the device core.
//
//   CCashDrawerSlots (the core plus the drawer's two method slots)
//     CCashDrawerDevice: drawer properties, drawer-closed signal, OpenDrawer,
//                        WaitForDrawerClose, DirectIO, external health check, status
//                        handling; builds no command itself
//       CTimedDrawerDevice: the pulse time and status monitoring while enabled
//         CCashDrawer1 / CCashDrawer2 (CashDrawers.h): connector pin 2 / pin 5
//
// Threads: the drawer starts none. Methods run on the caller's thread; FireStatusUpdate
// runs on the port's monitor thread; events go out on the core's event thread.
// Locks, in the order they may be taken (their place in the system's order:
// docs/threads.md):
//   1. m_ClaimLock: one Claim or Release at a time, so a caller taking or giving back its
//      temporary claim and the application claiming, releasing or closing do not run the
//      core's claim steps together
//   2. the core's device lock, then the port table's and the port's locks
//   3. m_DrawerLock: DrawerOpened together with the drawer-closed signal, and the list of
//      callers waiting inside OpenDrawer or WaitForDrawerClose. A leaf: nothing is
//      called while it is held, so the monitor thread may take it under the monitor lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "platform/thread_safety.h"
#include "so/core/DeviceClasses.h"

namespace thermpos::so {

class CCashDrawerDevice : public CCashDrawerSlots {
  public:
    CCashDrawerDevice();
    ~CCashDrawerDevice() override;

    LONG CloseDevice() override;                                          // 5
    LONG Close() override;                                                // 6
    LONG DirectIO(LONG command, LONG* data, std::string* text) override;  // 7
    LONG Claim(LONG timeout) override EXCLUDES(m_ClaimLock);              // 2
    LONG Release() override EXCLUDES(m_ClaimLock, DeviceLock());          // 9
    LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                     IDispatch* dispatch) override;  // 15
    LONG GetPropertyNumber(LONG index) override;     // 16
    LONG CheckHealthExternal() override;             // 26
    LONG FireStatusUpdate(LONG status) override;     // 28
    LONG OpenDrawer() override;                      // 29
    LONG WaitForDrawerClose(LONG beepTimeout, LONG beepFrequency, LONG beepDuration,
                            LONG beepDelay) override;  // 30

    // Kind 1 is the drawer kick pulse: *buffer gets its bytes, *length their count, 0 is
    // returned. Any other kind, and a class that knows no connector, give an empty buffer,
    // length 0 and OPOS_E_FAILURE. option is unused.
    virtual LONG BuildDrawerCommand(LONG kind, LONG option, std::vector<BYTE>* buffer,
                                    LONG* length);  // 31

    // For tests and diagnostics.
    bool PrinterNotReady() const { return m_PrinterNotReady.load() != 0; }
    LONG DirectIOEventCounter() const { return m_DirectIOEventCounter.load(); }
    // Callers inside OpenDrawer or WaitForDrawerClose right now, and those of them that
    // are blocked waiting for the drawer or a wake.
    std::size_t WaiterCount() const EXCLUDES(m_DrawerLock);
    std::size_t BlockedCount() const EXCLUDES(m_DrawerLock);

  protected:
    // Wakes every caller blocked in OpenDrawer or WaitForDrawerClose; each returns code
    // (or, when woken more than once before it ran, the lowest of the codes: closed 101
    // before not claimed 103 before disabled 105). While a Close runs every wake says 101.
    void WakeWaiters(LONG code) EXCLUDES(m_DrawerLock);
    // True on the thread that is giving back a temporary claim: the core's release then
    // asks to disable, which the drawer must not do.
    bool InTemporaryRelease() const;

    std::atomic<LONG> m_CapStatus{0};
    std::atomic<LONG> m_CapStatusMultiDrawerDetect{0};
    std::atomic<LONG> m_DrawerOpened{0};  // written under m_DrawerLock
    // Set by a cover-open or paper-end report on a port that is not serial; OpenDrawer
    // refuses while it is set. Written by the monitor thread and by enabling.
    std::atomic<LONG> m_PrinterNotReady{0};
    std::atomic<LONG> m_DirectIOEventCounter{0};

  private:
    // One blocked caller; lives on its stack while it is in m_Waiters. Its fields are
    // guarded by m_DrawerLock (which the analysis cannot name from here).
    struct Waiter {
        LONG wokenWith = 0;    // 0 while not woken
        bool blocked = false;  // inside WaitUntil's wait
    };
    class TemporaryClaim;
    class Inside;

    // What a drawer method checks first: the call is inside an open device, the state
    // allows it, the device is enabled. OPOS_SUCCESS, or the code to answer.
    LONG CheckCallable(const Inside& inside);

    // Gives back a claim taken for one call, without disabling and without waking.
    void ReleaseTemporaryClaim() EXCLUDES(m_ClaimLock, DeviceLock());
    // Builds the pulse and writes it under the device lock: the port's result, or
    // OPOS_E_FAILURE with no command or no attached port. *built (may be null) tells
    // whether there was a command to write.
    LONG SendDrawerCommand(bool* built = nullptr) EXCLUDES(DeviceLock());
    // Blocks the registered caller `me` until done() holds (called with m_DrawerLock held,
    // so a lambda given here says REQUIRES(m_DrawerLock)) or a wake; deadline null means
    // no limit. 0 when done() held, the wake's code, or OPOS_E_FAILURE at the deadline.
    template <class Done>
    LONG WaitUntil(Waiter& me, Done done, const std::chrono::steady_clock::time_point* deadline)
        EXCLUDES(m_DrawerLock);

    thermpos::platform::Mutex m_ClaimLock;
    mutable thermpos::platform::Mutex m_DrawerLock;
    std::condition_variable m_DrawerChanged;  // drawer state, wakes, waiters leaving
    // The signal exists.
    bool m_ClosedSignalValid GUARDED_BY(m_DrawerLock) = false;
    // Set while the drawer is closed.
    bool m_ClosedSignal GUARDED_BY(m_DrawerLock) = false;
    // A Close is running.
    bool m_Closing GUARDED_BY(m_DrawerLock) = false;
    std::vector<Waiter*> m_Waiters GUARDED_BY(m_DrawerLock);
    // The thread inside ReleaseTemporaryClaim; written under m_ClaimLock, compared by
    // that thread only.
    std::atomic<std::thread::id> m_TemporaryReleaseThread{};
};

class CTimedDrawerDevice : public CCashDrawerDevice {
  public:
    LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                     IDispatch* dispatch) override;  // 15
    void ReadConfiguration(const std::string& deviceClass,
                           const std::string& deviceName) override;      // 20
    LONG SetDeviceEnabled(LONG enable) override EXCLUDES(DeviceLock());  // 22

    LONG OnTime() const { return m_OnTime; }

  protected:
    // Writes the status request and expects at least one byte back within the printer's
    // answering time: 0, OPOS_E_NOHARDWARE for silence, or the port's failure.
    LONG ProbePrinterLocked() REQUIRES(DeviceLock());

    // Pulse time in 100 ms units; the command carries its low byte.
    LONG m_OnTime = 10;
};

}  // namespace thermpos::so
