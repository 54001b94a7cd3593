// DCB <-> termios. See dcb_termios.h.
#include "platform/dcb_termios.h"

namespace thermpos::platform::devfile {
namespace {

struct BaudEntry {
    DWORD rate;
    speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

std::optional<speed_t> SpeedOfBaudRate(DWORD rate) {
    for (const auto& e : kBauds)
        if (e.rate == rate)
            return e.speed;
    return std::nullopt;
}

DWORD BaudRateOfSpeed(speed_t speed) {
    for (const auto& e : kBauds)
        if (e.speed == speed)
            return e.rate;
    return 0;
}

LONG DcbToTermios(const DCB& dcb, termios* t) {
    auto speed = SpeedOfBaudRate(dcb.BaudRate);
    if (!speed || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
        (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return ERROR_INVALID_PARAMETER;

    termios n = *t;
    cfsetispeed(&n, *speed);
    cfsetospeed(&n, *speed);
    n.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    n.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            n.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            n.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            n.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            n.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        n.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        n.c_cflag |= CRTSCTS;
    n.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (dcb.fParity)
        n.c_iflag |= INPCK;
    if (dcb.fOutX)
        n.c_iflag |= IXON;
    if (dcb.fInX)
        n.c_iflag |= IXOFF;
    n.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    n.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    *t = n;
    return ERROR_SUCCESS;
}

void TermiosToDcb(const termios& t, DCB* dcb) {
    dcb->BaudRate = BaudRateOfSpeed(cfgetospeed(&t));
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (t.c_cflag & CSTOPB)
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

}  // namespace thermpos::platform::devfile
