// The exported PM* functions: each forwards to its operation on the system backend.
// Contracts: LinkPort.h. Nothing here may throw across the C boundary, and nothing
// below does: the operations use no exceptions and allocate through malloc only in
// the port list, whose failure is a result.
#include "portlib/LinkPort.h"

#include <cstdlib>

#include "platform/netport.h"
#include "platform/portlist.h"
#include "portlib/PortOps.h"
#include "portlib/UsbModels.h"

using thermpos::linkport::SystemBackend;
namespace ops = thermpos::linkport;

extern "C" {

LINKPORT_API int PMOpenPort(const char* portName, HANDLE* handle, const char* modelKey) {
    return ops::OpenPort(SystemBackend(), portName, handle, modelKey);
}

LINKPORT_API int PMWritePort(HANDLE handle, const void* data, int length, int* written) {
    return ops::WritePort(SystemBackend(), handle, data, length, written);
}

LINKPORT_API int PMReadPort(HANDLE handle, void* buffer, int size, int* read) {
    return ops::ReadPort(SystemBackend(), handle, buffer, size, read);
}

LINKPORT_API int PMDrainPort(HANDLE handle) {
    return ops::DrainPort(SystemBackend(), handle);
}

LINKPORT_API DWORD PMWaitPort(HANDLE handle, int wakeFd, DWORD timeoutMs) {
    return ops::WaitPort(SystemBackend(), handle, wakeFd, timeoutMs);
}

LINKPORT_API int PMClosePort(HANDLE handle) {
    return ops::ClosePort(SystemBackend(), handle);
}

LINKPORT_API int PMGetPortTimeOuts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return ops::GetPortTimeOuts(SystemBackend(), handle, timeouts);
}

LINKPORT_API int PMSetPortTimeOuts(HANDLE handle, DWORD readInterval, DWORD readMultiplier,
                                   DWORD readConstant, DWORD writeMultiplier, DWORD writeConstant) {
    COMMTIMEOUTS t{readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant};
    return ops::SetPortTimeOuts(SystemBackend(), handle, true, true, t);
}

LINKPORT_API int PMSetReadPortTimeOuts(HANDLE handle, DWORD readInterval, DWORD readMultiplier,
                                       DWORD readConstant) {
    COMMTIMEOUTS t{readInterval, readMultiplier, readConstant, 0, 0};
    return ops::SetPortTimeOuts(SystemBackend(), handle, true, false, t);
}

LINKPORT_API int PMSetWritePortTimeOuts(HANDLE handle, DWORD writeMultiplier, DWORD writeConstant) {
    COMMTIMEOUTS t{0, 0, 0, writeMultiplier, writeConstant};
    return ops::SetPortTimeOuts(SystemBackend(), handle, false, true, t);
}

LINKPORT_API int PMGetPortProperties(HANDLE handle, DCB* dcb) {
    return ops::GetPortProperties(SystemBackend(), handle, dcb);
}

LINKPORT_API int PMSetPortProperties(HANDLE handle, DCB dcb) {
    return ops::SetPortProperties(SystemBackend(), handle, dcb);
}

LINKPORT_API int PMEnumeratePorts(char*** list, int* count) {
    if (count)
        *count = 0;
    if (!list || !count)
        return 0;
    thermpos::platform::portlist::RegistryPorts registry;
    if (thermpos::platform::portlist::ReadRegistryPorts(&registry) != ERROR_SUCCESS)
        return 0;
    std::vector<std::string> network;
    for (const auto& m : registry.map)
        if (thermpos::platform::netport::IsSocketUri(m.path))
            network.push_back(m.name);
    return ops::CopyPortNames(thermpos::platform::portlist::ListPorts(
                                  registry, {}, &thermpos::linkport::IsKnownUsbHardwareKey),
                              list, count, network);
}

LINKPORT_API void PMFreePortList(char** list, int count) {
    if (!list)
        return;
    for (int i = 0; i < count; ++i)
        std::free(list[i]);
    std::free(list);
}

}  // extern "C"
