#include "portlib/UsbModels.h"

#include "platform/portname.h"

namespace thermpos::linkport {

namespace {

struct UsbModel {
    const char* modelKey;
    const char* hardwareKey;
};

// The QMX5500 shares the RT-K410's vendor and product id.
constexpr UsbModel kUsbModels[] = {
    {"QMXRT-K410", "Vid_5D17&Pid_0A41"},
    {"QMXQMX5500", "Vid_5D17&Pid_0A41"},
    {"TALVERNRT-K6100", "Vid_5D17&Pid_0B62"},
};

}  // namespace

const char* UsbHardwareKeyForModel(std::string_view modelKey) {
    for (const UsbModel& model : kUsbModels) {
        if (platform::portname::EqualNoCase(modelKey, model.modelKey))
            return model.hardwareKey;
    }
    return nullptr;
}

bool IsKnownUsbHardwareKey(std::string_view hardwareKey) {
    for (const UsbModel& model : kUsbModels) {
        if (platform::portname::EqualNoCase(hardwareKey, model.hardwareKey))
            return true;
    }
    return false;
}

}  // namespace thermpos::linkport
