// The USB printers the printer walk of OpenPort knows: the hardware key (vendor and
// product id, as the system's device tree names a USB device) of each model key (as the
// printer names itself, and PMOpenPort is given it).
//
// The walk needs the pair and is given only the model key; the printer models themselves
// live above this library, so a USB model's pair is kept here, once.
#pragma once

#include <string_view>

namespace thermpos::linkport {

// The hardware key a model key's printers enumerate under (model key compared without
// regard to case), or null for a model the USB walk does not know.
const char* UsbHardwareKeyForModel(std::string_view modelKey);

// Whether some model's printers enumerate under this hardware key (compared without regard
// to case): what the port list keeps of the USB printers the system lists.
bool IsKnownUsbHardwareKey(std::string_view hardwareKey);

}  // namespace thermpos::linkport
