// Reading the registry configuration of a logical device.
//
// Every logical device is one key, "SOFTWARE\OLEforRetail\ServiceOPOS\<class>\<name>"
// under the local-machine hive, whose values are REG_SZ text. The service objects only
// read it, so the key is opened with read access: a process that may not write the hive
// can still open its devices.
#pragma once

#include <optional>
#include <string>

#include "platform/win32.h"

namespace thermpos::so {

// True when the logical device's key exists and can be opened for reading.
bool DeviceKeyExists(const std::string& deviceClass, const std::string& deviceName);

// The value's content (whatever its registry type, cut at its first zero), or nothing
// when the key or the value is missing. Values larger than 64 KiB are treated as missing.
std::optional<std::string> ReadDeviceValue(const std::string& valueName,
                                           const std::string& deviceClass,
                                           const std::string& deviceName);

// Decimal text: the number formed by the leading digits; text that does not begin with a
// digit is 0. Saturates at the largest LONG rather than wrapping.
LONG ParseDecimalText(const std::string& text);

// Decimal text of the value, or fallback when the value is missing.
LONG ReadDeviceNumber(const std::string& valueName, const std::string& deviceClass,
                      const std::string& deviceName, LONG fallback);

// Port kind by the leading letters (platform/portname.h KindOf): "COM" ports take the
// serial settings.
bool IsSerialPortName(const std::string& port);
// "LPT" ports.
bool IsParallelPortName(const std::string& port);

}  // namespace thermpos::so
