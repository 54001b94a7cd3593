// Serial-port structures and constants with the Win32 layouts (x86-64).
//
// DCB is 28 bytes and COMMTIMEOUTS 20, bit for bit as the Windows headers declare them,
// so that a caller written against those shapes (and a DCB passed by value across the
// LinkPort boundary) works unchanged. Shared by the device-file layer and LinkPort.h.
#pragma once

#include <cstddef>

#include "platform/win32.h"

#ifndef _WIN32  // windows.h declares these

struct DCB {
    DWORD DCBlength;  // sizeof(DCB); filled in by GetCommState, not checked by SetCommState
    DWORD BaudRate;
    DWORD fBinary : 1;  // always 1: the line discipline never translates our bytes
    DWORD fParity : 1;  // check parity on input
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;  // DTR_CONTROL_*
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;        // discard received NUL bytes
    DWORD fRtsControl : 2;  // RTS_CONTROL_*
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;  // 5..8
    BYTE Parity;    // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    BYTE StopBits;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");
static_assert(offsetof(DCB, ByteSize) == 18 && offsetof(DCB, XonChar) == 21,
              "DCB must keep the Windows layout");

// Milliseconds. MAXDWORD read interval with zero totals: a read returns at once with
// whatever has arrived. Zero totals otherwise: no total limit.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must keep the Windows layout");

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;
#endif  // _WIN32
