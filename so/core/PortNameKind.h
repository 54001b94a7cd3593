// The kind of port a configured Port value names, as the status monitor and the port
// table's time-out rule see it, and as the configuration utility's Configure button
// follows it so that it offers what the monitor will do.
//
// Unlike portname::KindOf (the port library's rule: the leading letters of the name it
// opens), the kind letters are looked for anywhere in the name, USB first, then LPT, then
// COM. Every name the monitor sees was opened by PMOpenPort, so the two rules part only
// where it matters to the monitor: the infrared port has no kind here (none of the
// serial-port cases apply to it), a device-namespace name ("\\.\COM3") has its kind, and
// a name with "USB" after another kind's letters is a USB port.
#pragma once

#include <string_view>

#include "platform/portname.h"

namespace thermpos::so {

// Kind by the first of "USB", "LPT", "COM" found anywhere in the name, without regard to
// case; never Infrared. An "IP_" name (after any namespace prefix) is Network whatever it
// holds: a host name may well hold "com" ("IP_shop.example.com").
inline platform::portname::PortKind KindFoundIn(std::string_view name) {
    using platform::portname::ContainsNoCase;
    using platform::portname::PortKind;
    if (platform::portname::StartsWithNoCase(platform::portname::WithoutNamespace(name), "IP_"))
        return PortKind::Network;
    if (ContainsNoCase(name, "USB"))
        return PortKind::Usb;
    if (ContainsNoCase(name, "LPT"))
        return PortKind::Parallel;
    if (ContainsNoCase(name, "COM"))
        return PortKind::Serial;
    return PortKind::None;
}

}  // namespace thermpos::so
