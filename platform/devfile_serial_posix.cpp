// Device files over POSIX descriptors: a terminal's line settings as a DCB (the bit
// mapping is dcb_termios.h's), raw mode at open, modem lines, and the DCB fields termios
// cannot hold, remembered per handle. See devfile.h for the contract.
//
// Threads: none started here. Device::lock guards the remembered fields only; the line
// itself is read and set without it.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "platform/dcb_termios.h"
#include "platform/devfile.h"
#include "platform/devfile_posix.h"

namespace thermpos::platform::devfile {
namespace {

constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Modem lines: a pseudo-terminal has none, and its refusal is not an error.
void SetModemLine(int fd, int line, bool on) {
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

// Raw binary mode: printer bytes pass unchanged in both directions.
void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty read fail with EAGAIN (VMIN 0 would return 0,
    // which looks like end of file); the waiting is done in poll().
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
}

void InitRemembered(int fd, RememberedDcb* r) {
    termios t{};
    if (::tcgetattr(fd, &t) == 0 && (t.c_cflag & CRTSCTS)) {
        r->fOutxCtsFlow = 1;
        r->fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0)
        r->fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
}

LONG GetCommState(HANDLE handle, DCB* dcb) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!dcb)
        return ERROR_INVALID_PARAMETER;
    if (dev->socket) {
        std::lock_guard guard(dev->lock);
        *dcb = dev->networkDcb;
        return ERROR_SUCCESS;
    }
    if (!dev->terminal)
        return ERROR_INVALID_FUNCTION;
    termios t{};
    if (::tcgetattr(dev->fd, &t) != 0)
        return ErrorFromErrno(errno);
    RememberedDcb r;
    {
        std::lock_guard guard(dev->lock);
        r = dev->remembered;
    }
    DCB d{};
    d.DCBlength = sizeof(DCB);
    TermiosToDcb(t, &d);
    // CRTSCTS is both directions at once; keep the caller's split unless someone else
    // changed the line settings behind our back.
    if (t.c_cflag & CRTSCTS) {
        if (!r.fOutxCtsFlow && r.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            r.fOutxCtsFlow = 1;
            r.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        r.fOutxCtsFlow = 0;
        if (r.fRtsControl == RTS_CONTROL_HANDSHAKE)
            r.fRtsControl = RTS_CONTROL_ENABLE;
    }
    d.fOutxCtsFlow = r.fOutxCtsFlow;
    d.fOutxDsrFlow = r.fOutxDsrFlow;
    d.fDtrControl = r.fDtrControl;
    d.fDsrSensitivity = r.fDsrSensitivity;
    d.fTXContinueOnXoff = r.fTXContinueOnXoff;
    d.fErrorChar = r.fErrorChar;
    d.fNull = r.fNull;
    d.fRtsControl = r.fRtsControl;
    d.fAbortOnError = r.fAbortOnError;
    d.XonLim = r.XonLim;
    d.XoffLim = r.XoffLim;
    d.ErrorChar = r.ErrorChar;
    d.EofChar = r.EofChar;
    d.EvtChar = r.EvtChar;
    if (dev->pseudoTerminal && r.framingSet) {
        d.ByteSize = r.ByteSize;
        d.Parity = r.Parity;
        d.StopBits = r.StopBits;
    }
    *dcb = d;
    return ERROR_SUCCESS;
}

LONG SetCommState(HANDLE handle, const DCB& dcb) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->socket) {
        // Checked as a serial port would check it, so a caller gets the same answers.
        termios scratch{};
        if (LONG rc = DcbToTermios(dcb, &scratch); rc != ERROR_SUCCESS)
            return rc;
        std::lock_guard guard(dev->lock);
        dev->networkDcb = dcb;
        dev->networkDcb.DCBlength = sizeof(DCB);
        return ERROR_SUCCESS;
    }
    if (!dev->terminal)
        return ERROR_INVALID_FUNCTION;
    termios old{};
    if (::tcgetattr(dev->fd, &old) != 0)
        return ErrorFromErrno(errno);
    termios t = old;
    if (LONG rc = DcbToTermios(dcb, &t); rc != ERROR_SUCCESS)
        return rc;
    if (::tcsetattr(dev->fd, TCSANOW, &t) != 0)
        return ErrorFromErrno(errno);
    // A serial driver that quietly keeps another rate or framing did not take the DCB;
    // a pseudo-terminal cannot, and is allowed not to.
    termios now{};
    if (!dev->pseudoTerminal &&
        (::tcgetattr(dev->fd, &now) != 0 || cfgetospeed(&now) != cfgetospeed(&t) ||
         (now.c_cflag & kFramingBits) != (t.c_cflag & kFramingBits))) {
        ::tcsetattr(dev->fd, TCSANOW, &old);
        return ERROR_INVALID_PARAMETER;
    }

    SetModemLine(dev->fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        SetModemLine(dev->fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);

    RememberedDcb r;
    r.fOutxCtsFlow = dcb.fOutxCtsFlow;
    r.fOutxDsrFlow = dcb.fOutxDsrFlow;
    r.fDtrControl = dcb.fDtrControl;
    r.fDsrSensitivity = dcb.fDsrSensitivity;
    r.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    r.fErrorChar = dcb.fErrorChar;
    r.fNull = dcb.fNull;
    r.fRtsControl = dcb.fRtsControl;
    r.fAbortOnError = dcb.fAbortOnError;
    r.XonLim = dcb.XonLim;
    r.XoffLim = dcb.XoffLim;
    r.ErrorChar = dcb.ErrorChar;
    r.EofChar = dcb.EofChar;
    r.EvtChar = dcb.EvtChar;
    r.framingSet = true;
    r.ByteSize = dcb.ByteSize;
    r.Parity = dcb.Parity;
    r.StopBits = dcb.StopBits;
    std::lock_guard guard(dev->lock);
    dev->remembered = r;
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform::devfile
