// Port names: how every part of the system tells what kind of port a name is, and
// whether two names are the same port.
//
// Names come in these forms: "COM3" (a port), "COM3:" (as the port list gives serial and
// parallel ports), "\\.\COM3" (the device namespace; "\\?\" is taken alike), "USB001",
// "IRDA" and the USB symbolic names the walk builds ("\\.\USB#Vid_5D17&Pid_0A41#..."). Kind
// letters and names always compare without regard to case: "usb001" is a USB port
// everywhere.
//
// KindOf looks at the start of the name as given. This is the port library's rule
// (PMOpenPort, PMEnumeratePorts) and the device core's (which ports take serial
// settings): PMOpenPort opens the name it was handed, so a device-namespace name is not
// one of its port names. The status monitor classifies by a rule of its own, built on the
// helpers here.
//
// Comparisons differ by what the name is used for, and callers keep their own rule:
//  - the port table and the port list's duplicates: SamePort (one colon ignored);
//  - the USB walk's "PortName": EqualNoCase, no colon dropped, as stored by the scan;
//  - the Ports map and the default devices: MapName (namespace prefix and one colon
//    dropped). The configuration utility writes map entries in upper case, and the port
//    list shows COMn and LPTn names in upper case with a colon, as the spooler did; the
//    store compares value names without case, so both still find the same entry.

#pragma once

#include <string>
#include <string_view>

#include "platform/nocase.h"

namespace thermpos::platform::portname {

enum class PortKind {
    None,      // none of the kinds below
    Serial,    // "COM"
    Parallel,  // "LPT"
    Usb,       // "USB"
    Infrared,  // "IRDA", opened as the serial port COM4
    Network,   // "IP_<host>", a network printer (netport.h)
};

using platform::ContainsNoCase;
using platform::EqualNoCase;
using platform::StartsWithNoCase;

// Kind by the leading letters of the name as given ("IRDA" before the three-letter kinds).
PortKind KindOf(std::string_view name);

// The name without a leading "\\.\" or "\\?\".
std::string_view WithoutNamespace(std::string_view name);
// The name without one trailing colon.
std::string_view WithoutColon(std::string_view name);
// The name the Ports map and the default devices go by: "\\.\COM3:" -> "COM3".
std::string_view MapName(std::string_view name);

// True when a and b name the same port: equal without regard to case, one trailing colon
// ignored ("COM1" and "com1:" match, "COM1" and "COM10" do not).
bool SamePort(std::string_view a, std::string_view b);

// True when the text holds a control character (below 0x20, or DEL). Such a character
// in a port name or device path is never meant, and shows up garbled in the hive file.
bool HasControlCharacter(std::string_view text);

// The number of a numbered serial or parallel map name ("COM12" -> 12, "lpt1" -> 1): kind
// letters in any case followed by 1 to 6 digits, not 0. 0 for any other name.
unsigned long PortNumber(std::string_view mapName);

// Where an unmapped numbered port leads: COMn is /dev/ttyS(n-1), LPTn /dev/lp(n-1); empty
// for any other map name.
std::string DefaultDevicePath(std::string_view mapName);

}  // namespace thermpos::platform::portname
