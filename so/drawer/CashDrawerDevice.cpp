// CCashDrawerDevice and CTimedDrawerDevice. Threads and lock order: see CashDrawerDevice.h.
#include "so/drawer/CashDrawerDevice.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "so/core/DeviceConfig.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kDirectIOOpenDrawer = 1;
constexpr LONG kPulseCommand = 1;

// After the pulse the printer reports the open drawer in its next status block; a drawer
// not seen open within this time did not open (or has no switch on pin 3).
constexpr auto kOpenReportLimit = std::chrono::milliseconds(2200);

// One status block; anything more belongs to the monitor.
constexpr LONG kProbeReadSize = 4;

// The printer takes 10 and 13 as other settings, so those on-times become 12.
LONG OnTimeFromText(const std::string& text) {
    LONG value = ParseDecimalText(text);
    return value == 10 || value == 13 ? 12 : value;
}

}  // namespace

// Claims the device for one call when nobody holds it, and gives the claim back at the
// end, unless the call ended because the device was released or closed under it: then
// the claim is already gone (or goes with the close).
class CCashDrawerDevice::TemporaryClaim {
  public:
    explicit TemporaryClaim(CCashDrawerDevice& device) : device_(device) {
        if (device.IsClaimed())
            return;
        result_ = device.Claim(0);
        claimed_ = result_ == OPOS_SUCCESS;
    }
    ~TemporaryClaim() { End(OPOS_SUCCESS); }
    TemporaryClaim(const TemporaryClaim&) = delete;
    TemporaryClaim& operator=(const TemporaryClaim&) = delete;

    // The claim's failure, or 0.
    LONG Result() const { return result_; }
    // outcome: the call's result so far.
    void End(LONG outcome) {
        if (claimed_ && outcome != OPOS_E_CLOSED && outcome != OPOS_E_NOTCLAIMED)
            device_.ReleaseTemporaryClaim();
        claimed_ = false;
    }

  private:
    CCashDrawerDevice& device_;
    LONG result_ = OPOS_SUCCESS;
    bool claimed_ = false;
};

// ---------------------------------------------------------------------------------------
// CCashDrawerDevice

CCashDrawerDevice::CCashDrawerDevice() = default;

CCashDrawerDevice::~CCashDrawerDevice() {
    if (State() != OPOS_S_CLOSED)
        CCashDrawerDevice::Close();
}

std::size_t CCashDrawerDevice::WaiterCount() const {
    thermpos::platform::MutexLock lock(m_DrawerLock);
    return m_Waiters.size();
}

std::size_t CCashDrawerDevice::BlockedCount() const {
    thermpos::platform::MutexLock lock(m_DrawerLock);
    return static_cast<std::size_t>(std::count_if(m_Waiters.begin(), m_Waiters.end(),
                                                  [](const Waiter* w) { return w->blocked; }));
}

void CCashDrawerDevice::WakeWaiters(LONG code) {
    {
        thermpos::platform::MutexLock lock(m_DrawerLock);
        if (m_Closing)
            code = OPOS_E_CLOSED;
        for (Waiter* waiter : m_Waiters) {
            if (waiter->wokenWith == 0 || code < waiter->wokenWith)
                waiter->wokenWith = code;
        }
    }
    m_DrawerChanged.notify_all();
}

template <class Done>
LONG CCashDrawerDevice::WaitUntil(Waiter& me, Done done, const Clock::time_point* deadline) {
    thermpos::platform::UniqueLock lock(m_DrawerLock);
    auto ready = [&]() REQUIRES(m_DrawerLock) { return done() || me.wokenWith != 0; };
    bool inTime = true;
    me.blocked = true;
    if (deadline != nullptr)
        inTime = m_DrawerChanged.wait_until(lock.Std(), *deadline, ready);
    else
        m_DrawerChanged.wait(lock.Std(), ready);
    me.blocked = false;
    if (done())
        return OPOS_SUCCESS;
    if (me.wokenWith != 0)
        return me.wokenWith;
    return inTime ? OPOS_SUCCESS : OPOS_E_FAILURE;
}

// Keeps the calling thread in m_Waiters for the whole of an operation that may block, so
// that Close does not free the device under it; refused (101) while a Close runs.
class CCashDrawerDevice::Inside {
  public:
    explicit Inside(CCashDrawerDevice& device) : device_(device) {
        thermpos::platform::MutexLock lock(device_.m_DrawerLock);
        if (device_.m_Closing)
            return;
        device_.m_Waiters.push_back(&waiter_);
        registered_ = true;
    }
    ~Inside() {
        if (!registered_)
            return;
        {
            thermpos::platform::MutexLock lock(device_.m_DrawerLock);
            auto& list = device_.m_Waiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter_), list.end());
        }
        device_.m_DrawerChanged.notify_all();
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

    bool Refused() const { return !registered_; }
    Waiter& Me() { return waiter_; }

  private:
    CCashDrawerDevice& device_;
    Waiter waiter_;
    bool registered_ = false;
};

LONG CCashDrawerDevice::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                    IDispatch* dispatch) {
    // An OpenService on an open drawer fails in the core and must not reset the state a
    // waiter or the status monitor relies on.
    const bool wasClosed = State() == OPOS_S_CLOSED;
    LONG rc = CCashDrawerSlots::OpenService(deviceClass, deviceName, dispatch);
    if (!wasClosed)
        return rc;
    m_CapStatus = 0;
    m_CapStatusMultiDrawerDetect = 0;
    m_CapPowerReporting = OPOS_PR_NONE;
    {
        thermpos::platform::MutexLock lock(m_DrawerLock);
        m_DrawerOpened = 0;
        m_ClosedSignalValid = true;
        m_ClosedSignal = true;
        m_Closing = false;
    }
    return rc;
}

LONG CCashDrawerDevice::CloseDevice() {
    return Close();
}

LONG CCashDrawerDevice::Close() {
    if (State() == OPOS_S_CLOSED)
        return CCashDrawerSlots::Close();
    {
        // Every caller blocked inside leaves before anything goes; new ones are refused.
        thermpos::platform::UniqueLock lock(m_DrawerLock);
        m_Closing = true;
        for (Waiter* waiter : m_Waiters)
            waiter->wokenWith = OPOS_E_CLOSED;
        m_DrawerChanged.notify_all();
        m_DrawerChanged.wait(lock.Std(),
                             [&]() REQUIRES(m_DrawerLock) { return m_Waiters.empty(); });
    }
    LONG rc = CCashDrawerSlots::Close();
    thermpos::platform::MutexLock lock(m_DrawerLock);
    if (State() == OPOS_S_CLOSED) {
        m_ClosedSignalValid = false;
        m_ClosedSignal = false;
    } else {
        m_Closing = false;  // refused (called from inside a callback)
    }
    return rc;
}

LONG CCashDrawerDevice::Claim(LONG timeout) {
    thermpos::platform::MutexLock lock(m_ClaimLock);
    return CCashDrawerSlots::Claim(timeout);
}

LONG CCashDrawerDevice::Release() {
    thermpos::platform::MutexLock lock(m_ClaimLock);
    if (State() != OPOS_S_CLOSED && IsClaimed())
        WakeWaiters(OPOS_E_NOTCLAIMED);
    return CCashDrawerSlots::Release();
}

void CCashDrawerDevice::ReleaseTemporaryClaim() {
    thermpos::platform::MutexLock lock(m_ClaimLock);
    if (State() == OPOS_S_CLOSED || !IsClaimed())
        return;
    // Neither a wake (other callers may be inside on the strength of this claim) nor a
    // disable: the drawer was enabled unclaimed and stays so.
    m_TemporaryReleaseThread = std::this_thread::get_id();
    (void)CCashDrawerSlots::Release();
    m_TemporaryReleaseThread = std::thread::id();
}

bool CCashDrawerDevice::InTemporaryRelease() const {
    return m_TemporaryReleaseThread == std::this_thread::get_id();
}

LONG CCashDrawerDevice::BuildDrawerCommand(LONG /*kind*/, LONG /*option*/,
                                           std::vector<BYTE>* buffer, LONG* length) {
    if (buffer != nullptr)
        buffer->clear();
    if (length != nullptr)
        *length = 0;
    return OPOS_E_FAILURE;
}

LONG CCashDrawerDevice::SendDrawerCommand(bool* built) {
    std::vector<BYTE> command;
    LONG length = 0;
    LONG rc = BuildDrawerCommand(kPulseCommand, 0, &command, &length);
    const bool haveCommand =
        rc == OPOS_SUCCESS && length > 0 && static_cast<std::size_t>(length) <= command.size();
    if (built != nullptr)
        *built = haveCommand;
    if (!haveCommand)
        return OPOS_E_FAILURE;
    // The printer that gives the pulse stopped answering.
    if (PrinterSilent())
        return OPOS_E_OFFLINE;
    thermpos::platform::MutexLock lock(DeviceLock());
    if (m_Binding.IsBad())
        return OPOS_E_FAILURE;
    return WritePort(command.data(), length);
}

LONG CCashDrawerDevice::CheckCallable(const Inside& inside) {
    if (inside.Refused())
        return OPOS_E_CLOSED;
    if (LONG rc = CheckState(1); rc != OPOS_SUCCESS)
        return rc;
    return IsEnabled() ? OPOS_SUCCESS : OPOS_E_DISABLED;
}

LONG CCashDrawerDevice::OpenDrawer() {
    Inside inside(*this);
    if (LONG rc = CheckCallable(inside); rc != OPOS_SUCCESS)
        return SetResult(rc);
    TemporaryClaim claim(*this);
    if (claim.Result() != OPOS_SUCCESS)
        return SetResult(claim.Result());

    LONG rc = OPOS_SUCCESS;
    // Judged by what the printer reported since the enable, not by the starting state.
    (void)WaitForFirstStatus();
    if (PrinterSilent()) {
        rc = OPOS_E_OFFLINE;
    } else if (m_PrinterNotReady.load() != 0) {
        rc = OPOS_E_FAILURE;
    } else {
        rc = SendDrawerCommand();
        if (rc == OPOS_SUCCESS && m_CapStatus.load() != 0) {
            const auto deadline = Clock::now() + kOpenReportLimit;
            rc = WaitUntil(
                inside.Me(), [&]() REQUIRES(m_DrawerLock) { return m_DrawerOpened.load() == 1; },
                &deadline);
        }
    }
    claim.End(rc);
    return SetResult(rc);
}

LONG CCashDrawerDevice::WaitForDrawerClose(LONG /*beepTimeout*/, LONG /*beepFrequency*/,
                                           LONG /*beepDuration*/, LONG /*beepDelay*/) {
    // The drawer makes no sound; the beep arguments are accepted and unused.
    Inside inside(*this);
    if (LONG rc = CheckCallable(inside); rc != OPOS_SUCCESS)
        return SetResult(rc);
    if (m_CapStatus.load() == 0)
        return SetResult(OPOS_E_ILLEGAL);
    switch (m_PowerState.load()) {
        case OPOS_PS_UNKNOWN:
        case OPOS_PS_ONLINE:
            break;
        case OPOS_PS_OFF:
            return SetResult(OPOS_E_NOHARDWARE);
        case OPOS_PS_OFFLINE:
            return SetResult(OPOS_E_OFFLINE);
        default:
            return SetResult(OPOS_E_FAILURE);
    }
    TemporaryClaim claim(*this);
    if (claim.Result() != OPOS_SUCCESS)
        return SetResult(claim.Result());
    // No time limit: the drawer may stay open as long as the cashier likes. A disable,
    // release or close wakes the wait with its own result.
    LONG rc = WaitUntil(
        inside.Me(),
        [&]() REQUIRES(m_DrawerLock) {
            return !m_ClosedSignalValid || m_DrawerOpened.load() != 1 || m_ClosedSignal;
        },
        nullptr);
    claim.End(rc);
    return SetResult(rc);
}

LONG CCashDrawerDevice::DirectIO(LONG command, LONG* data, std::string* text) {
    if (LONG rc = CheckState(3); rc != OPOS_SUCCESS)
        return SetResult(rc);
    if (command != kDirectIOOpenDrawer)
        return SetResult(OPOS_E_ILLEGAL);
    LONG rc = SendDrawerCommand();
    if (rc != OPOS_SUCCESS)
        return SetResult(rc);
    auto event = std::make_unique<CQueuedEvent>(EventKindDirectIO, m_DirectIOEventCounter++,
                                                data != nullptr ? *data : 0);
    if (text != nullptr)
        event->text = *text;
    QueueEvent(std::move(event));
    return SetResult(OPOS_SUCCESS);
}

LONG CCashDrawerDevice::CheckHealthExternal() {
    if (LONG rc = CheckState(3); rc != OPOS_SUCCESS)
        return rc;
    bool built = false;
    LONG rc = SendDrawerCommand(&built);
    if (!built)
        return OPOS_E_FAILURE;
    m_CheckHealthText =
        rc == OPOS_SUCCESS ? "External HCheck: Successful" : "External HCheck: Not Responding";
    return rc;
}

LONG CCashDrawerDevice::GetPropertyNumber(LONG index) {
    switch (index) {
        case PIDXCash_DrawerOpened:
            return m_DrawerOpened.load();
        case PIDXCash_CapStatus:
            return m_CapStatus.load();
        case PIDXCash_CapStatusMultiDrawerDetect:
            return 0;
        default:
            return CCashDrawerSlots::GetPropertyNumber(index);
    }
}

LONG CCashDrawerDevice::FireStatusUpdate(LONG status) {
    if (status == CASH_SUE_DRAWEROPEN || status == CASH_SUE_DRAWERCLOSED) {
        if (m_CapStatus.load() == 1) {
            {
                thermpos::platform::MutexLock lock(m_DrawerLock);
                const bool open = status == CASH_SUE_DRAWEROPEN;
                m_DrawerOpened = open ? 1 : 0;
                m_ClosedSignal = !open;
            }
            m_DrawerChanged.notify_all();
        }
        return CCashDrawerSlots::FireStatusUpdate(status);
    }
    // A serial printer still takes the pulse with its cover open or its paper out.
    if (IsSerialPortName(Port()))
        return 1;
    switch (status) {
        case kDrawerSuePaperEnd:
        case kDrawerSueCoverOpen:
            m_PrinterNotReady = 1;
            break;
        case kDrawerSuePaperOk:
        case kDrawerSueCoverClosed:
            m_PrinterNotReady = 0;
            break;
        default:
            break;  // power: the drawer reports none
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// CTimedDrawerDevice

LONG CTimedDrawerDevice::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                     IDispatch* dispatch) {
    return CCashDrawerDevice::OpenService(deviceClass, deviceName, dispatch);
}

void CTimedDrawerDevice::ReadConfiguration(const std::string& deviceClass,
                                           const std::string& deviceName) {
    CCashDrawerDevice::ReadConfiguration(deviceClass, deviceName);
    // Read-only access, like every configuration value (DeviceConfig.h).
    auto text = ReadDeviceValue("OnTime", deviceClass, deviceName);
    m_OnTime = text ? OnTimeFromText(*text) : 10;
}

LONG CTimedDrawerDevice::ProbePrinterLocked() {
    return ProbeStatusReplyLocked(kProbeReadSize);
}

LONG CTimedDrawerDevice::SetDeviceEnabled(LONG enable) {
    if (enable == 0 && InTemporaryRelease())
        return OPOS_SUCCESS;
    // Held across the whole enable: a pulse from another thread waits until the port is
    // acquired, probed and listened to (or given back), never going out half-way.
    thermpos::platform::MutexLock lock(DeviceLock());
    LONG rc = SetDeviceEnabledLocked(enable);
    if (rc != OPOS_SUCCESS || ResultCode() != OPOS_SUCCESS)
        return ResultCode();
    if (enable == 0) {
        // The core dropped the interpreter with the port.
        WakeWaiters(OPOS_E_DISABLED);
        return rc;
    }
    rc = ProbePrinterLocked();
    if (rc != OPOS_SUCCESS) {
        SetDeviceEnabledLocked(0);
        return SetResult(rc);
    }
    std::unique_ptr<CDrawerStatusInterpreter> interpreter;
    try {
        interpreter = std::make_unique<CDrawerStatusInterpreter>(
            this, CDrawerStatusInterpreter::ReadPin3(DeviceName()));
    } catch (const std::bad_alloc&) {
        SetDeviceEnabledLocked(0);
        return SetResult(OPOS_E_FAILURE);
    }
    // Cleared before the listener starts: its first report is this enable's news, and
    // must not be overwritten.
    m_PrinterNotReady = 0;
    // Without a listener the drawer still opens; it just never hears its state.
    (void)StartStatusMonitorLocked(std::move(interpreter));
    return SetResult(OPOS_SUCCESS);
}

}  // namespace thermpos::so
