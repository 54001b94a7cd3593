// Port names: how every part of the system tells what kind of port a name is, and
// whether two names are the same port.
//
// Names come in these forms: "COM3" (a port), "COM3:" (as the port list gives serial and
// parallel ports), "\\.\COM3" (the device namespace; "\\?\" is taken alike), "USB001",
// "IRDA" and the USB symbolic names the walk builds ("\\.\USB#Vid_5D17&Pid_0A41#..."). Kind
// letters and names always compare without regard to case: "usb001" is a USB port
// everywhere.
//
// Two classifications exist on purpose:
//  - KindOf looks at the start of the name as given. This is the port library's rule
//    (PMOpenPort, PMEnumeratePorts): it opens the name it was handed, so a
//    device-namespace name is not one of its port names.
//  - KindFoundIn looks for the kind letters anywhere in the name, USB first, then LPT,
//    then COM. The status monitor, the port manager's time-out exception and the
//    configuration utility's Configure button have always classified the configured Port
//    value this way, so a stored value such as "\\.\COM3" keeps its kind there.
//
// Where a name selects a device file (the Ports map, the default devices), the namespace
// prefix and one trailing colon are dropped first (MapName).
#pragma once

#include <string>
#include <string_view>

namespace thermpos::portname {

enum class PortKind {
    None,      // none of the kinds below
    Serial,    // "COM"
    Parallel,  // "LPT"
    Usb,       // "USB"
    Infrared,  // "IRDA", opened as the serial port COM4
};

bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view part);

// Kind by the leading letters of the name as given ("IRDA" before the three-letter kinds).
PortKind KindOf(std::string_view name);

// Kind by the first of "USB", "LPT", "COM" found anywhere in the name (see above); never
// Infrared.
PortKind KindFoundIn(std::string_view name);

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

}  // namespace thermpos::portname
