// CServiceDevice. Threads and locks: ServiceDevice.h and docs/threads.md. The event thread
// is the only thread this file starts; it touches the queue (under m_QueueLock), the
// events, Claimed, State, the error response and the control callback, nothing else.
#include "so/core/ServiceDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <system_error>
#include <thread>

#include "platform/comm.h"
#include "platform/devfile.h"
#include "so/core/DeviceConfig.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

using thermpos::platform::ManualResetEvent;
using thermpos::platform::WaitForEvents;

namespace {

constexpr LONG kServiceObjectVersion = 1008000;
constexpr const char kErrorText[] = "[Error]";
constexpr const char kNotSupported[] = "Not Supported";

bool IsPowerStatus(LONG status) {
    return status >= OPOS_SUE_POWER_ONLINE && status <= OPOS_SUE_POWER_OFF_OFFLINE;
}

}  // namespace

CServiceDevice::CServiceDevice() : m_PortManager(&CPortManager::Instance()) {}

CServiceDevice::~CServiceDevice() {
    if (m_State.load() != OPOS_S_CLOSED)
        CServiceDevice::Close();
    if (m_EventThread.joinable()) {
        // Only reachable when Close ran on the event thread itself and could not join.
        m_Stop = true;
        m_QueueEvent.Set();
        m_FreezeGate.Set();
        if (m_EventThread.get_id() == std::this_thread::get_id())
            m_EventThread.detach();
        else
            m_EventThread.join();
    }
}

// ---------------------------------------------------------------------------------------
// Helpers

LONG CServiceDevice::CheckState(LONG level) {
    m_ResultCodeExtended = 0;
    if (level >= 1 && m_State.load() == OPOS_S_CLOSED)
        return OPOS_E_CLOSED;
    if (level >= 2 && m_Claimed.load() != 1)
        return OPOS_E_NOTCLAIMED;
    if (level >= 3 && m_DeviceEnabled.load() != 1)
        return OPOS_E_DISABLED;
    return OPOS_SUCCESS;
}

LONG CServiceDevice::ConvertBinary(const char* text, std::string* out) const {
    if (text == nullptr || out == nullptr)
        return OPOS_E_ILLEGAL;
    std::string_view in(text);
    try {
        switch (m_BinaryConversion.load()) {
            case OPOS_BC_NONE:
                out->assign(in);
                return OPOS_SUCCESS;
            case OPOS_BC_NIBBLE: {
                if (in.size() % 2 != 0)
                    return OPOS_E_ILLEGAL;
                std::string bytes;
                bytes.reserve(in.size() / 2);
                // Each character gives four bits: one outside '0'..'?' must not spill
                // into the other half of the byte.
                for (size_t i = 0; i < in.size(); i += 2) {
                    unsigned high = (static_cast<unsigned char>(in[i]) - 0x30u) & 0xFu;
                    unsigned low = (static_cast<unsigned char>(in[i + 1]) - 0x30u) & 0xFu;
                    bytes.push_back(static_cast<char>((high << 4) | low));
                }
                *out = std::move(bytes);
                return OPOS_SUCCESS;
            }
            case OPOS_BC_DECIMAL: {
                if (in.size() % 3 != 0)
                    return OPOS_E_ILLEGAL;
                std::string bytes;
                bytes.reserve(in.size() / 3);
                auto digit = [](char c) -> unsigned {
                    return c == ' ' ? 0u : static_cast<unsigned char>(c) - 0x30u;
                };
                for (size_t i = 0; i < in.size(); i += 3) {
                    unsigned number =
                        digit(in[i]) * 100u + digit(in[i + 1]) * 10u + digit(in[i + 2]);
                    bytes.push_back(static_cast<char>(number & 0xFFu));
                }
                *out = std::move(bytes);
                return OPOS_SUCCESS;
            }
            default:
                return OPOS_E_ILLEGAL;
        }
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
}

LONG CServiceDevice::ConfigurePort() {
    if (m_Port.empty())
        return OPOS_E_FAILURE;
    if (IsSerialPortName(m_Port)) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        // Results are deliberately not tested: a port that cannot take the settings (a
        // pseudo-terminal's modem lines) still works with the ones it has.
        (void)PortManager().GetPortProperties(m_Binding, &dcb);
        dcb.BaudRate = static_cast<DWORD>(m_BaudRate);
        dcb.fBinary = 1;
        dcb.fParity = m_Parity != 0 ? 1 : 0;
        dcb.fOutxDsrFlow = m_HandShake == 0 ? 1 : 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fTXContinueOnXoff = 0;
        dcb.fOutX = dcb.fInX = (m_HandShake & 1) ? 1 : 0;
        dcb.fNull = 0;
        dcb.fAbortOnError = 1;
        dcb.ByteSize = static_cast<BYTE>(m_BitLength & 0xFF);
        dcb.Parity = static_cast<BYTE>(m_Parity & 0xFF);
        dcb.StopBits = ONESTOPBIT;
        (void)PortManager().SetPortProperties(m_Binding, dcb);
    } else if (!IsParallelPortName(m_Port) && !thermpos::platform::devfile::IsNetworkPort(m_Port)) {
        // USB and IrDA ports keep what the port library set. A network port takes the
        // time-outs below like a serial or parallel one: without them a printer that stops
        // taking bytes (a zero receive window) would hold every write for ever.
        return OPOS_SUCCESS;
    }
    const LONG rc = PortManager().SetPortTimeouts(m_Binding, m_ReadIntervalTimeout,
                                                  m_ReadTotalMultiplier, m_ReadTotalConstant,
                                                  m_WriteTotalMultiplier, m_WriteTotalConstant);
    // The table's 111 here means the port refused the time-outs (it is in the table: the
    // enable just acquired it). Without them no write of the device is bounded, so the
    // enable fails as a time-out, not as a general failure.
    return rc == OPOS_E_FAILURE ? OPOS_E_TIMEOUT : OPOS_SUCCESS;
}

LONG CServiceDevice::WritePort(const void* data, LONG length, LONG* written) {
    return PortManager().WritePort(m_Binding, data, length, written);
}
LONG CServiceDevice::ReadPort(void* buffer, LONG* length) {
    return PortManager().ReadPort(m_Binding, buffer, length);
}
LONG CServiceDevice::PauseMonitor(CMonitorPause* pause) {
    return PortManager().PauseMonitor(m_Binding, pause);
}

PortBinding CServiceDevice::Binding() const {
    thermpos::platform::MutexLock lock(m_DeviceLock);
    return m_Binding;
}

const CStatusInterpreter* CServiceDevice::StatusInterpreter() const {
    thermpos::platform::MutexLock lock(m_DeviceLock);
    return m_StatusInterpreter.get();
}

namespace {

// A printer answers a status request within 100 ms; the port is read once its first bytes
// arrived or when that time is up. Tests whose printer is a thread of a slow (sanitizer)
// build on a loaded machine lengthen it with THERMPOS_PROBE_WAIT_MS, which costs them
// nothing while the printer answers; it is never shortened, and never beyond ten seconds.
// A port that cannot be waited on is read after the 100 ms whatever the setting.
constexpr unsigned long kDefaultMs = 100;

std::chrono::milliseconds ProbeReplyWait() {
    constexpr unsigned long kLongestMs = 10000;
    const char* text = std::getenv("THERMPOS_PROBE_WAIT_MS");
    if (text == nullptr || *text < '0' || *text > '9')
        return std::chrono::milliseconds(kDefaultMs);
    char* end = nullptr;
    const unsigned long ms = std::strtoul(text, &end, 10);
    if (*end != '\0')
        return std::chrono::milliseconds(kDefaultMs);
    return std::chrono::milliseconds(std::clamp(ms, kDefaultMs, kLongestMs));
}

}  // namespace

LONG CServiceDevice::ProbeStatusReplyLocked(LONG readSize) {
    CMonitorPause pause;
    LONG r = PauseMonitor(&pause);
    if (r != OPOS_SUCCESS)
        return r;
    r = WritePort(kStatusBackRequest, sizeof kStatusBackRequest);
    if (r != OPOS_SUCCESS)
        return r;
    PortManager().WaitForInput(m_Binding, static_cast<DWORD>(ProbeReplyWait().count()), kDefaultMs);
    char reply[64];
    LONG length = std::clamp<LONG>(readSize, 1, sizeof reply);
    r = ReadPort(reply, &length);
    if (r == OPOS_SUCCESS && length == 0)
        r = OPOS_E_NOHARDWARE;
    return r;
}

LONG CServiceDevice::StartStatusMonitor(std::unique_ptr<CStatusInterpreter> interpreter,
                                        const MonitorProfile* profile) {
    thermpos::platform::MutexLock lock(m_DeviceLock);
    return StartStatusMonitorLocked(std::move(interpreter), profile);
}

LONG CServiceDevice::StartStatusMonitorLocked(std::unique_ptr<CStatusInterpreter> interpreter,
                                              const MonitorProfile* profile) {
    if (!interpreter)
        return OPOS_E_FAILURE;
    if (m_StatusInterpreter)
        return OPOS_E_ILLEGAL;
    interpreter->SetCommand(kStatusBackRequest, sizeof kStatusBackRequest);
    LONG rc = PortManager().AddStatusListener(m_Binding, interpreter.get(), m_StatusBackInterval,
                                              profile);
    if (rc == OPOS_SUCCESS) {
        m_StatusInterpreter = std::move(interpreter);
        m_FirstStatusDeadline =
            (std::chrono::steady_clock::now() + kFirstStatusWait).time_since_epoch().count();
    }
    return rc;
}

bool CServiceDevice::WaitForFirstStatus(const thermpos::platform::ManualResetEvent* stop) const {
    if (m_StatusSinceEnable.IsSet())
        return true;
    const auto deadline = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(m_FirstStatusDeadline.load()));
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (m_FirstStatusDeadline.load() == 0 || left <= 0)
        return false;
    const DWORD ms = static_cast<DWORD>(std::min<long long>(left, kFirstStatusWait.count()));
    if (stop != nullptr)
        (void)platform::WaitForEvents({&m_StatusSinceEnable, stop}, false, ms);
    else
        (void)m_StatusSinceEnable.Wait(ms);
    return m_StatusSinceEnable.IsSet();
}

// ---------------------------------------------------------------------------------------
// Life cycle

LONG CServiceDevice::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                 IDispatch* dispatch) {
    if (m_State.load() != OPOS_S_CLOSED)
        return SetResult(OPOS_OR_ALREADYOPEN);
    if (!DeviceKeyExists(deviceClass, deviceName))
        return SetResult(OPOS_OR_REGBADNAME);

    m_Callback.Attach(dispatch);

    m_AutoDisable = 0;
    m_BinaryConversion = OPOS_BC_NONE;
    m_CapPowerReporting = OPOS_PR_STANDARD;
    m_CapStatisticsReporting = 0;
    m_CapUpdateStatistics = 0;
    m_CheckHealthText.clear();
    m_Claimed = 0;
    m_DataCount = 0;
    m_DataEventEnabled = 0;
    m_DeviceEnabled = 0;
    m_FreezeEvents = 0;
    m_OutputID = 0;
    m_PowerNotify = OPOS_PN_DISABLED;
    m_PowerState = OPOS_PS_UNKNOWN;
    m_ResultCode = OPOS_SUCCESS;
    m_ResultCodeExtended = 0;
    m_State = OPOS_S_IDLE;
    m_ServiceObjectDescription = kErrorText;
    m_ServiceObjectVersion = kServiceObjectVersion;
    m_DeviceDescription = kErrorText;
    m_DeviceName = deviceName;

    ReadConfiguration(deviceClass, deviceName);

    m_WriteTotalConstant = std::max<DWORD>(static_cast<DWORD>(m_WriteTimeout), 1000);

    m_Stop = false;
    {
        thermpos::platform::MutexLock lock(m_QueueLock);
        m_Queue.clear();
    }
    m_QueueEvent.Reset();
    m_FreezeGate.Set();
    m_ErrorResponseEvent.Reset();
    m_ThreadExitEvent.Reset();
    try {
        m_EventThread = std::thread(&CServiceDevice::EventThreadMain, this);
    } catch (const std::system_error&) {
        m_Callback.Detach();
        m_State = OPOS_S_CLOSED;
        return SetResult(OPOS_E_FAILURE);
    }
    return SetResult(OPOS_SUCCESS);
}

void CServiceDevice::ReadConfiguration(const std::string& deviceClass,
                                       const std::string& deviceName) {
    auto text = [&](const char* name) { return ReadDeviceValue(name, deviceClass, deviceName); };
    auto number = [&](const char* name, LONG fallback) {
        return ReadDeviceNumber(name, deviceClass, deviceName, fallback);
    };
    // A value removed from the registry takes its default at the next open.
    if (auto v = text("ServiceObjectDescription"))
        m_ServiceObjectDescription = *v;
    m_ServiceObjectVersion = number("Version", kServiceObjectVersion);
    if (auto v = text("DeviceDescription"))
        m_DeviceDescription = *v;
    if (auto v = text("PhysicalDeviceID"))
        m_PhysicalDeviceID = *v;
    m_Port = text("Port").value_or("");
    m_WriteTimeout = number("WriteTimeout", 2000);
    m_StatusBackInterval = number("StatusBackInterval", 5);
    m_BaudRate = 19200;
    m_Parity = 0;
    m_HandShake = 0;
    m_BitLength = 8;
    if (IsSerialPortName(m_Port)) {
        m_BaudRate = number("BaudRate", 19200);
        m_Parity = number("Parity", 0);
        m_HandShake = number("HandShake", 0);
        m_BitLength = number("BitLength", 8);
    }
}

LONG CServiceDevice::ClaimDevice(LONG timeout) {
    return Claim(timeout);
}

LONG CServiceDevice::Claim(LONG /*timeout: a claim never waits*/) {
    m_ResultCodeExtended = 0;
    if (m_State.load() == OPOS_S_CLOSED)
        return SetResult(OPOS_E_CLOSED);
    if (m_ClaimMutex.Owned())
        return SetResult(OPOS_E_ILLEGAL);
    // The mutex is named after the logical device name exactly as it was opened, so the
    // name is case-sensitive here ("A" and "a" are two claims) although the registry finds
    // both. Other processes take the same name; the claim answers at once, it never waits
    // for another holder, whatever the timeout.
    LONG rc = m_ClaimMutex.Create(m_DeviceName);
    if (rc == ERROR_ALREADY_EXISTS)
        return SetResult(OPOS_E_CLAIMED);
    if (rc != ERROR_SUCCESS)
        return SetResult(OPOS_E_FAILURE);
    m_Claimed = 1;
    WakeEventThreadIfQueued();
    return SetResult(OPOS_SUCCESS);
}

LONG CServiceDevice::ReleaseDevice() {
    return Release();
}

LONG CServiceDevice::Release() {
    m_ResultCodeExtended = 0;
    if (m_State.load() == OPOS_S_CLOSED)
        return SetResult(OPOS_E_CLOSED);
    if (m_Claimed.load() != 1)
        return SetResult(OPOS_E_NOTCLAIMED);
    if (m_DeviceEnabled.load() == 1)
        SetDeviceEnabled(0);
    ClearOutput();
    ClearInput();
    m_ClaimMutex.Close();
    m_Claimed = 0;
    return SetResult(OPOS_SUCCESS);
}

LONG CServiceDevice::SetDeviceEnabled(LONG enable) {
    thermpos::platform::MutexLock lock(m_DeviceLock);
    return SetDeviceEnabledLocked(enable);
}

LONG CServiceDevice::SetDeviceEnabledLocked(LONG enable) {
    SetResult(OPOS_E_ILLEGAL);
    m_ResultCodeExtended = 0;
    bool open = m_State.load() != OPOS_S_CLOSED;
    if (m_SharingKind == PortKindSharable) {
        if (!open)
            return OPOS_E_ILLEGAL;
    } else if (m_SharingKind == PortKindExclusive) {
        if (!open || m_Claimed.load() != 1)
            return OPOS_E_ILLEGAL;
    } else {
        return OPOS_E_ILLEGAL;
    }
    const LONG wanted = enable != 0 ? 1 : 0;
    if (m_DeviceEnabled.load() == wanted)
        return OPOS_E_ILLEGAL;

    m_DeviceEnabled = wanted;
    if (wanted) {
        // Nothing the printer said before this enable is taken as its state now.
        m_FirstStatusDeadline = 0;
        m_PrinterSilent = false;
        m_StatusSinceEnable.Reset();
        LONG rc = PortManager().AcquirePort(m_Port, m_SharingKind, &m_Binding, m_PhysicalDeviceID);
        if (rc != OPOS_SUCCESS) {
            m_DeviceEnabled = 0;
            m_StatusSinceEnable.Set();
            return SetResult(rc);
        }
        rc = ConfigurePort();
        if (rc != OPOS_SUCCESS) {
            // Keeping the binding would hold the port open with no device enabled on it,
            // and an exclusive device could never enable on it again.
            (void)PortManager().ReleasePort(&m_Binding);
            m_Binding = PortBinding();
            m_DeviceEnabled = 0;
            m_StatusSinceEnable.Set();
            return SetResult(rc);
        }
        if (m_PowerNotify.load() == OPOS_PN_ENABLED)
            m_PowerState = OPOS_PS_ONLINE;
        return SetResult(OPOS_SUCCESS);
    }
    // Fails only for a binding the table no longer knows, which holds nothing to let go.
    (void)PortManager().ReleasePort(&m_Binding);
    m_Binding = PortBinding();
    // Only now: until the release removed it, the monitor thread may be calling it.
    m_StatusInterpreter.reset();
    m_FirstStatusDeadline = 0;
    m_PrinterSilent = false;
    // Ends a wait for the first status: there is none to come.
    m_StatusSinceEnable.Set();
    return SetResult(OPOS_SUCCESS);
}

LONG CServiceDevice::CloseDevice() {
    return CServiceDevice::Close();
}

LONG CServiceDevice::Close() {
    if (m_State.load() == OPOS_S_CLOSED)
        return SetResult(OPOS_E_ILLEGAL);
    // A callback that closes the device from the event thread cannot wait for that
    // thread to end; refusing beats hanging for ever.
    if (m_EventThread.joinable() && m_EventThread.get_id() == std::this_thread::get_id())
        return SetResult(OPOS_E_ILLEGAL);

    if (m_Claimed.load() == 1)
        ReleaseDevice();
    else if (m_DeviceEnabled.load() == 1)
        SetDeviceEnabled(0);

    m_Stop = true;
    {
        // Wakes a producer waiting for an error response; it sees StopRequested(). Under
        // the device lock, so after any port write still in progress on another thread.
        thermpos::platform::MutexLock lock(m_DeviceLock);
        m_ErrorResponseEvent.Set();
    }
    LONG result = OPOS_E_ILLEGAL;
    if (m_EventThread.joinable()) {
        {
            // Under the queue lock, so the thread cannot reset the event right after this
            // set and sleep for ever: it sees m_Stop first (see EventThreadMain).
            thermpos::platform::MutexLock lock(m_QueueLock);
            m_QueueEvent.Set();
        }
        m_FreezeGate.Set();
        m_ThreadExitEvent.Wait(INFINITE);
        m_EventThread.join();
        result = OPOS_SUCCESS;
    }
    m_Callback.Detach();
    m_ClaimMutex.Close();
    m_Claimed = 0;
    m_State = OPOS_S_CLOSED;
    return SetResult(result);
}

// ---------------------------------------------------------------------------------------
// Common operations

LONG CServiceDevice::CheckHealth(LONG level) {
    if (m_Claimed.load() != 1)
        return SetResult(OPOS_E_NOTCLAIMED);
    if (m_DeviceEnabled.load() != 1)
        return SetResult(OPOS_E_DISABLED);
    switch (level) {
        case OPOS_CH_INTERNAL:
            return SetResult(CheckHealthInternal());
        case OPOS_CH_EXTERNAL:
            return SetResult(CheckHealthExternal());
        case OPOS_CH_INTERACTIVE:
            return SetResult(CheckHealthInteractive());
        default:
            return SetResult(OPOS_E_ILLEGAL);
    }
}

LONG CServiceDevice::CheckHealthInternal() {
    LONG rc = CheckState(3);
    return rc != OPOS_SUCCESS ? rc : OPOS_E_ILLEGAL;
}
LONG CServiceDevice::CheckHealthExternal() {
    return CServiceDevice::CheckHealthInternal();
}
LONG CServiceDevice::CheckHealthInteractive() {
    return CServiceDevice::CheckHealthInternal();
}

LONG CServiceDevice::ClearInput() {
    return SetResultAfterCheck(3, OPOS_E_NOSERVICE);
}

LONG CServiceDevice::ClearOutput() {
    return SetResultAfterCheck(2, OPOS_E_NOSERVICE);
}

LONG CServiceDevice::DirectIO(LONG /*command*/, LONG* /*data*/, std::string* /*text*/) {
    return NotOffered();
}

LONG CServiceDevice::RetrieveStatistics(std::string* /*buffer*/) {
    // No statistics are kept; the buffer is neither read nor changed.
    if (m_CapStatisticsReporting.load() == 0)
        return SetResult(OPOS_E_ILLEGAL);
    return SetResult(OPOS_SUCCESS);
}

LONG CServiceDevice::ResetStatistics(std::string* /*buffer*/) {
    SetResult(OPOS_SUCCESS);
    if (m_CapStatisticsReporting.load() == 0 || m_CapUpdateStatistics.load() == 0)
        SetResult(OPOS_E_ILLEGAL);
    return ResultCode();
}

LONG CServiceDevice::UpdateStatistics(std::string* buffer) {
    return CServiceDevice::ResetStatistics(buffer);
}

LONG CServiceDevice::FreezeEvents(LONG freeze) {
    SetResult(OPOS_SUCCESS);
    m_FreezeEvents = freeze;
    if (freeze != 0)
        m_FreezeGate.Reset();
    else
        m_FreezeGate.Set();
    return OPOS_SUCCESS;
}

LONG CServiceDevice::GetOpenResult() {
    return m_ResultCode.load();
}

LONG CServiceDevice::SetPowerNotify(LONG value) {
    if (m_DeviceEnabled.load() == 1)
        return SetResult(OPOS_E_ILLEGAL);
    m_PowerNotify = value != 0 ? OPOS_PN_ENABLED : OPOS_PN_DISABLED;
    return SetResult(OPOS_SUCCESS);
}

LONG CServiceDevice::FireStatusUpdate(LONG status) {
    if (m_DeviceEnabled.load() != 1)
        return 0;
    if (IsPowerStatus(status)) {
        if (m_PowerNotify.load() != OPOS_PN_ENABLED)
            return 1;
        m_PowerState = status;
    }
    QueueEvent(std::make_unique<CQueuedEvent>(EventKindStatusUpdate, status));
    return 1;
}

LONG CServiceDevice::GetPropertyNumber(LONG index) {
    switch (index) {
        case PIDX_Claimed:
            return m_Claimed.load();
        case PIDX_DataEventEnabled:
            return m_DataEventEnabled.load();
        case PIDX_DeviceEnabled:
            return m_DeviceEnabled.load();
        case PIDX_FreezeEvents:
            return m_FreezeEvents.load();
        case PIDX_OutputID:
            return m_OutputID.load();
        case PIDX_ResultCode:
            return m_ResultCode.load();
        case PIDX_ResultCodeExtended:
            return m_ResultCodeExtended.load();
        case PIDX_ServiceObjectVersion:
            return m_ServiceObjectVersion.load();
        case PIDX_State:
            return m_State.load();
        case PIDX_AutoDisable:
            return m_AutoDisable.load();
        case PIDX_BinaryConversion:
            return m_BinaryConversion.load();
        case PIDX_DataCount:
            return m_DataCount.load();
        case PIDX_PowerNotify:
            return m_PowerNotify.load();
        case PIDX_PowerState:
            return m_PowerState.load();
        case PIDX_CapPowerReporting:
            return m_CapPowerReporting.load();
        case PIDX_CapStatisticsReporting:
            return m_CapStatisticsReporting.load();
        case PIDX_CapUpdateStatistics:
            return m_CapUpdateStatistics.load();
        default:
            SetResult(OPOS_E_ILLEGAL);
            return 0;
    }
}

std::string CServiceDevice::GetPropertyString(LONG index) {
    switch (index) {
        case PIDX_CheckHealthText:
            return m_CheckHealthText;
        case PIDX_DeviceDescription:
            return m_DeviceDescription;
        case PIDX_DeviceName:
            return m_DeviceName;
        case PIDX_ServiceObjectDescription:
            return m_ServiceObjectDescription;
        default:
            SetResult(OPOS_E_ILLEGAL);
            return kNotSupported;
    }
}

void CServiceDevice::SetPropertyNumber(LONG index, LONG value) {
    const bool closed = m_State.load() == OPOS_S_CLOSED;
    switch (index) {
        case PIDX_DeviceEnabled:
            SetDeviceEnabled(value);
            return;
        case PIDX_FreezeEvents:
            m_ResultCodeExtended = 0;
            if (!closed)
                FreezeEvents(value);
            return;
        case PIDX_BinaryConversion:
            m_ResultCodeExtended = 0;
            if (closed)
                return;
            if (value == OPOS_BC_NONE || value == OPOS_BC_NIBBLE || value == OPOS_BC_DECIMAL) {
                m_BinaryConversion = value;
                SetResult(OPOS_SUCCESS);
            } else {
                SetResult(OPOS_E_ILLEGAL);
            }
            return;
        case PIDX_PowerNotify:
            m_ResultCodeExtended = 0;
            if (!closed)
                SetPowerNotify(value);
            return;
        default:
            SetResult(OPOS_E_ILLEGAL);
            return;
    }
}

void CServiceDevice::SetPropertyString(LONG /*index*/, const std::string& /*value*/) {
    SetResult(OPOS_E_ILLEGAL);
}

// ---------------------------------------------------------------------------------------
// Event delivery

bool CServiceDevice::QueueEvent(std::unique_ptr<CQueuedEvent> event) {
    if (!event || m_DeviceEnabled.load() != 1)
        return false;
    thermpos::platform::MutexLock lock(m_QueueLock);
    m_Queue.push_back(std::move(event));
    m_QueueEvent.Set();
    return true;
}

void CServiceDevice::WakeEventThreadIfQueued() {
    thermpos::platform::MutexLock lock(m_QueueLock);
    if (!m_Queue.empty())
        m_QueueEvent.Set();
}

void CServiceDevice::OnErrorResponse(CQueuedEvent& /*event*/) {
    m_ErrorResponse = OPOS_ER_RETRY;
    m_ErrorResponseEvent.Set();
}

void CServiceDevice::Deliver(CQueuedEvent& event) {
    // Failures of the control object's callbacks are not ours to report: the record is
    // dropped as after a delivery and the thread goes on.
    switch (event.kind) {
        case EventKindDirectIO:
            (void)m_Callback.DirectIO(event.value1, &event.value2, &event.text);
            break;
        case EventKindError:
            m_State = OPOS_S_ERROR;
            (void)m_Callback.Error(event.value1, event.value2, event.value3, &event.value4);
            if (event.value4 == OPOS_ER_RETRY || event.value4 == OPOS_ER_CLEAR) {
                m_ErrorResponse = event.value4;
                m_ErrorResponseEvent.Set();
            } else {
                OnErrorResponse(event);
            }
            break;
        case EventKindOutputComplete:
            (void)m_Callback.OutputComplete(event.value1);
            break;
        case EventKindStatusUpdate:
            (void)m_Callback.StatusUpdate(event.value1);
            break;
        default:
            break;
    }
}

void CServiceDevice::EventThreadMain() {
    // The control object is called in its own apartment, reached from this one.
    const thermpos::platform::com::CallerApartment apartment;
    for (;;) {
        platform::WaitForEvents({&m_QueueEvent, &m_FreezeGate}, true, INFINITE);
        if (m_Stop.load())
            break;
        std::unique_ptr<CQueuedEvent> event;
        {
            thermpos::platform::MutexLock lock(m_QueueLock);
            // Unclaimed, or nothing queued: sleep until a claim or a producer sets the
            // queue event again. Claimed is re-read under the lock so a claim made just
            // now is not lost (Claim sets the event under this lock after Claimed = 1).
            if (m_Stop.load())
                break;
            if (m_Claimed.load() != 1 || m_Queue.empty()) {
                m_QueueEvent.Reset();
                continue;
            }
            event = std::move(m_Queue.front());
            m_Queue.pop_front();
        }
        Deliver(*event);
        event.reset();
        {
            thermpos::platform::MutexLock lock(m_QueueLock);
            if (!m_Stop.load() && (m_Queue.empty() || m_Claimed.load() != 1))
                m_QueueEvent.Reset();
        }
    }
    {
        thermpos::platform::MutexLock lock(m_QueueLock);
        m_Queue.clear();
    }
    m_ThreadExitEvent.Set();
}

}  // namespace thermpos::so
