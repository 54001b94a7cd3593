// The two automation classes of the server and what they share.
//
// An automation object holds exactly one device object, created by OpenService from the
// logical device name and destroyed by CloseService, by an OpenService that failed, or by
// the last Release, when the application forgot to close. Every other method is forwarded
// to the device; without one, methods answer 101, GetPropertyString "[Error]", and the
// setters do nothing. GetOpenResult is the exception: after a failed OpenService it
// answers that open's result until the next OpenService or CloseService.
// Methods arrive on the caller's thread. Each holds the device for the length of the
// call (deviceMutex_ guards only the pointer and the failed open's result), so a
// CloseService on another thread never frees the device under a call still inside it:
// the last holder destroys it.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/comserver.h"
#include "so/core/ServiceDevice.h"

namespace thermpos::so {

inline constexpr CLSID CLSID_QMXThermalPrinterSO = {
    0x5B21C7E4, 0x93AF, 0x4D18, {0xB6, 0xE2, 0x1F, 0x0C, 0x8A, 0x47, 0xD3, 0x95}};
inline constexpr CLSID CLSID_QMXCashDrawerSO = {
    0xC3A96F10, 0x2E7B, 0x4B5C, {0x9D, 0x84, 0x60, 0xE1, 0xF2, 0xA7, 0xB1, 0xC8}};
inline constexpr const char kPrinterProgId[] = "QMX.Thermal.POSPrinter";
inline constexpr const char kCashDrawerProgId[] = "QMX.Thermal.CashDrawer";

class CServiceObjectBase : public thermpos::platform::com::DispatchObject {
  public:
    // The device, or null while the object is closed.
    std::shared_ptr<CServiceDevice> Device() const;

    [[nodiscard]] LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                                   IDispatch* dispatch);
    [[nodiscard]] LONG CloseService();
    // The device's ResultCode; without a device, the result of a failed OpenService, or
    // 101.
    [[nodiscard]] LONG GetOpenResult() const;

  protected:
    CServiceObjectBase(const thermpos::platform::com::DispatchTable* table,
                       const char* deviceClass);
    ~CServiceObjectBase() override;
    void OnFinalRelease() override;

  private:
    const char* deviceClass_;
    mutable std::mutex deviceMutex_;
    std::shared_ptr<CServiceDevice> device_;  // deviceMutex_
    LONG failedOpenResult_ = OPOS_E_CLOSED;   // deviceMutex_; while there is no device
};

class CQMXThermalPrinterSO : public CServiceObjectBase {
  public:
    CQMXThermalPrinterSO();
    static const thermpos::platform::com::DispatchTable& Table();
};

class CQMXCashDrawerSO : public CServiceObjectBase {
  public:
    CQMXCashDrawerSO();
    static const thermpos::platform::com::DispatchTable& Table();
};

}  // namespace thermpos::so
