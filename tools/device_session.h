// What the application-level commands (print, drawer) share: opening a logical device
// through the control objects, and result codes as messages with their OPOS names.
//
// Exit codes of those commands:
//   0  done
//   1  usage or input error
//   3  the device could not be opened, claimed or enabled
//   4  the operation failed at the device (the message names the result)
//   5  `drawer status`: the drawer is open
#pragma once

#include <cstdio>
#include <string>

#include "opos/Control.h"

namespace thermpos::tool {

inline constexpr int kExitUsage = 1;
inline constexpr int kExitDevice = 3;
inline constexpr int kExitFailed = 4;
inline constexpr int kExitDrawerOpen = 5;

// "OPOS_E_OFFLINE (108)", or the number alone when it has no name.
std::string ResultName(LONG resultCode);
// The printer's extended codes ("OPOS_EPTR_COVER_OPEN (201)") and the common ones.
std::string ExtendedName(LONG resultCodeExtended);
// The OpenResult values ("OPOS_OR_REGBADNAME (302)").
std::string OpenResultName(LONG openResult);

// Opens, claims (timeout ms) and enables; on failure writes why to stderr, prefixed by
// "thermpos COMMAND: ", closes again and returns false.
bool StartDevice(const char* command, opos::Control& control, const std::string& device,
                 LONG claimTimeout);

// The last result of control as a message: "OPOS_E_EXTENDED (114), extended
// OPOS_EPTR_COVER_OPEN (201)".
std::string DescribeResult(opos::Control& control, LONG resultCode);

}  // namespace thermpos::tool
