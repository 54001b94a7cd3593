#include "tests/so/TestDevices.h"

#include <type_traits>

#include "so/core/DeviceConfig.h"
#include "so/core/DeviceFactory.h"
#include "so/core/StatusInterpreter.h"

namespace {

const DeviceRegistration kPrinter("POSPrinter", kTestPrinterName,
                                  [] { return std::unique_ptr<CServiceDevice>(new CTestPrinter); });
const DeviceRegistration kDrawer("CashDrawer", kTestDrawerName,
                                 [] { return std::unique_ptr<CServiceDevice>(new CTestDrawer); });

}  // namespace

template <class Base>
LONG CTestDevice<Base>::DirectIO(LONG command, LONG* data, std::string* text) {
    if (LONG rc = this->CheckState(1); rc != OPOS_SUCCESS)
        return this->SetResult(rc);
    switch (command) {
        case kTestFireStatus:
            *data = this->FireStatusUpdate(*data);
            return this->SetResult(OPOS_SUCCESS);
        case kTestQueueError: {
            this->ErrorResponseEvent().Reset();
            bool queued = this->QueueEvent(std::make_unique<CQueuedEvent>(
                EventKindError, OPOS_E_EXTENDED, OPOS_EPTR_COVER_OPEN, OPOS_EL_OUTPUT, *data));
            if (!queued)
                return this->SetResult(OPOS_E_DISABLED);
            bool answered = this->ErrorResponseEvent().Wait(10000) == WAIT_OBJECT_0;
            *data = answered ? this->ErrorResponse() : -1;
            return this->SetResult(OPOS_SUCCESS);
        }
        case kTestQueueDirectIO: {
            auto event = std::make_unique<CQueuedEvent>(EventKindDirectIO, *data, 0);
            event->text = *text;
            this->QueueEvent(std::move(event));
            return this->SetResult(OPOS_SUCCESS);
        }
        case kTestQueueOutput:
            this->QueueEvent(std::make_unique<CQueuedEvent>(EventKindOutputComplete, *data));
            return this->SetResult(OPOS_SUCCESS);
        case kTestWrite: {
            std::string bytes;
            if (LONG rc = this->ConvertBinary(*text, &bytes); rc != OPOS_SUCCESS)
                return this->SetResult(rc);
            thermpos::platform::MutexLock lock(this->DeviceLock());
            LONG written = 0;
            LONG rc = this->WritePort(bytes.data(), static_cast<LONG>(bytes.size()), &written);
            *data = written;
            return this->SetResult(rc);
        }
        case kTestQueueStatuses:
            for (LONG i = 1; i <= *data; ++i)
                this->FireStatusUpdate(i);
            return this->SetResult(OPOS_SUCCESS);
        default:
            return Base::DirectIO(command, data, text);
    }
}

template <class Base>
LONG CTestDevice<Base>::SetDeviceEnabled(LONG enable) {
    // Held across the base's step and the listener's registration, as the drawer does.
    thermpos::platform::MutexLock lock(this->DeviceLock());
    LONG rc = this->SetDeviceEnabledLocked(enable);
    if (rc != OPOS_SUCCESS || enable == 0)
        return rc;
    constexpr bool drawer = std::is_base_of_v<CCashDrawerSlots, Base>;
    const char* deviceClass = drawer ? "CashDrawer" : "POSPrinter";
    if (ReadDeviceNumber(kTestStatusMonitorValue, deviceClass, this->DeviceName(), 0) != 1)
        return rc;
    std::unique_ptr<CStatusInterpreter> interpreter;
    if constexpr (drawer)
        interpreter = std::make_unique<CDrawerStatusInterpreter>(
            this, CDrawerStatusInterpreter::ReadPin3(this->DeviceName()));
    else
        interpreter = std::make_unique<CPrinterStatusInterpreter>(this);
    rc = this->StartStatusMonitorLocked(std::move(interpreter));
    if (rc != OPOS_SUCCESS)
        this->SetDeviceEnabledLocked(0);
    return this->SetResult(rc);
}

template <class Base>
LONG CTestDevice<Base>::GetPropertyNumber(LONG index) {
    switch (index) {
        case kTestPropWriteTotalConstant:
            return static_cast<LONG>(this->m_WriteTotalConstant);
        case kTestPropBaudRate:
            return this->m_BaudRate;
        case kTestPropParity:
            return this->m_Parity;
        case kTestPropHandShake:
            return this->m_HandShake;
        case kTestPropBitLength:
            return this->m_BitLength;
        case kTestPropStatusBackInterval:
            return this->m_StatusBackInterval;
        case kTestPropBindingId:
            return this->Binding().id;
        default:
            return Base::GetPropertyNumber(index);
    }
}

template <class Base>
std::string CTestDevice<Base>::GetPropertyString(LONG index) {
    if (index == kTestPropPort)
        return this->m_Port;
    if (index == kTestPropPhysicalDeviceID)
        return this->m_PhysicalDeviceID;
    return Base::GetPropertyString(index);
}

template class CTestDevice<CPOSPrinterSlots>;
template class CTestDevice<CCashDrawerSlots>;
