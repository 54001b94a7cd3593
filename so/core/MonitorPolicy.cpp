// The status monitor's rules by port kind and printer model. See MonitorPolicy.h.
#include "so/core/MonitorPolicy.h"

#include "platform/devfile.h"
#include "so/core/PortNameKind.h"
#include "so/core/StatusMonitor.h"

namespace thermpos::so {

MonitoredPort ClassifyMonitoredPort(const std::string& portName) {
    if (thermpos::platform::devfile::IsNetworkPort(portName))
        return MonitoredPort::Network;
    switch (KindFoundIn(portName)) {
        case platform::portname::PortKind::Usb:
            return MonitoredPort::Usb;
        case platform::portname::PortKind::Parallel:
            return MonitoredPort::Parallel;
        case platform::portname::PortKind::Serial:
            return MonitoredPort::Serial;
        default:
            return MonitoredPort::Other;
    }
}

MonitorPolicy MonitorPolicy::For(MonitoredPort port, const MonitorProfile& profile) {
    const bool usb = port == MonitoredPort::Usb;
    const bool serial = port == MonitoredPort::Serial;
    MonitorPolicy policy;
    policy.port = port;
    policy.stepTimeouts = !usb;
    policy.reopens = usb || serial || port == MonitoredPort::Network;
    policy.checksHandleFirst = policy.reopens && !usb;
    policy.unreportedBlock = usb;
    policy.rewriteAfterEveryRead = usb || (serial && profile.rewriteAfterEveryRead);
    policy.rewriteAfterReply = serial && profile.rewriteAfterReply;
    policy.holdReplies = serial && profile.holdReplies;
    policy.writeAfterRead = port == MonitoredPort::Parallel && profile.writeAfterParallelRead;
    return policy;
}

}  // namespace thermpos::so
