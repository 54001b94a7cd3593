// What a port's status monitor does differently by the kind of port and the printer model:
// the rules of the cycle that are not the same everywhere, gathered into one value so that
// the cycle asks it instead of testing the port's kind.
//
// The port's kind is classified once, when the port is opened (ClassifyMonitoredPort); the
// policy is built from it and the printer's MonitorProfile (StatusMonitor.h) when the
// monitor is made and again when a printer gives its profile, and stays fixed while the
// monitor runs a cycle.
#pragma once

#include <string>

namespace thermpos::so {

struct MonitorProfile;

// The kinds of port the monitor tells apart.
enum class MonitoredPort {
    Other,     // none of the kinds below (the infrared port among them)
    Usb,       // a USB printer port
    Parallel,  // a parallel port
    Serial,    // a serial port, or a USB-serial adapter behind a COM name
    Network,   // a network printer: an "IP_" name or one the Ports map sends to the network
};

// The configured Port value's kind (KindFoundIn, PortNameKind.h), except that a name the
// Ports map sends to the network is a network port whatever its letters. Reads the
// registry's Ports map.
MonitoredPort ClassifyMonitoredPort(const std::string& portName);

struct MonitorPolicy {
    MonitoredPort port = MonitoredPort::Other;

    // Rules of the kind of port.
    //
    // The request's write and the read are each made with time-outs of their own, and the
    // port's own are restored after them. A USB printer port has none to set.
    bool stepTimeouts = true;
    // The device can vanish and come back: a USB printer unplugged, a USB-serial adapter
    // behind a COM name unplugged, a network printer that dropped the connection. Its
    // errors 5, 6, 23 and 1117 reopen the port.
    bool reopens = false;
    // A port whose reopen failed has no handle to set time-outs on, so the write step
    // would never get to the error that brings the next attempt: the cycle finds the
    // missing handle first. (A USB port has no step time-outs and gets there anyway.)
    bool checksHandleFirst = false;
    // A read that reports no bytes but left a non-zero first byte in the buffer brought a
    // whole status block (what a USB printer driver does).
    bool unreportedBlock = false;

    // Rules of the kind of port and the printer's profile.
    //
    // The request is written again in the cycle after every read: always on a USB port,
    // and on a serial port when the profile's rewriteAfterEveryRead says so.
    bool rewriteAfterEveryRead = false;
    // Serial port, profile's rewriteAfterReply: again after every read that brought bytes.
    bool rewriteAfterReply = false;
    // Serial port, profile's holdReplies: the hold replies stop and restart the request.
    bool holdReplies = false;
    // Parallel port, profile's writeAfterParallelRead: the request goes again right after
    // each read, and that write's result stands for the read's.
    bool writeAfterRead = false;

    static MonitorPolicy For(MonitoredPort port, const MonitorProfile& profile);
};

}  // namespace thermpos::so
