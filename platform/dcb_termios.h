// DCB <-> termios: the one place that knows how the Windows serial settings map onto
// Linux line settings. Pure functions; no descriptor is touched here.
//
// Mapped: BaudRate (standard rates 50..4000000), ByteSize (CS5..CS8), Parity (PARENB,
// PARODD, CMSPAR for mark/space), StopBits (CSTOPB; with 5 data bits a UART sends 1.5
// stop bits for it), fParity (INPCK), fOutxCtsFlow and RTS_CONTROL_HANDSHAKE (CRTSCTS,
// which covers both directions), fOutX (IXON), fInX (IXOFF), XonChar (VSTART), XoffChar
// (VSTOP). fBinary is always 1. Everything else has no termios form (see devfile.h).
#pragma once

#include <termios.h>

#include <optional>

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::platform::devfile {

std::optional<speed_t> SpeedOfBaudRate(DWORD rate);
DWORD BaudRateOfSpeed(speed_t speed);  // 0 for a speed with no number

// Changes only the bits listed above; the rest of *t stays. ERROR_INVALID_PARAMETER
// (and *t untouched) for an unsupported rate, ByteSize outside 5..8, Parity above 4,
// StopBits above 2, 1.5 stop bits with more than 5 data bits, two stop bits with 5.
[[nodiscard]] LONG DcbToTermios(const DCB& dcb, termios* t);

// Fills the fields listed above from t; the other fields of *dcb stay.
void TermiosToDcb(const termios& t, DCB* dcb);

}  // namespace thermpos::platform::devfile
