// Device files: port names resolved through the Ports map, and opening a port by its name
// or a network port by its URI. Portable: it reads the registry and the port-name rules,
// checks what the caller gave and touches no device. The devices themselves are the
// system's (devfile_posix.cpp, devfile_io_posix.cpp, devfile_serial_posix.cpp;
// devfile_win32.cpp), over the functions of devfile_system.h; see devfile.h for the
// contract.
//
// Threads: none started here; no locks of its own beyond the registry store's.
#include "platform/devfile.h"

#include <algorithm>
#include <cstring>

#include "platform/devfile_system.h"
#include "platform/module.h"
#include "platform/netport.h"
#include "platform/portname.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::platform::devfile {
namespace {

constexpr std::size_t kMaxNameLength = 255;

}  // namespace

LONG ResolvePortName(std::string_view name, std::string* path) {
    name = portname::MapName(name);
    if (name.empty() || name.size() > kMaxNameLength || name.find('\0') != std::string_view::npos)
        return ERROR_INVALID_NAME;

    registry::KeyHolder ports;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, regpath::kPorts, 0, KEY_QUERY_VALUE, ports.Out());
    if (rc == ERROR_SUCCESS) {
        std::string valueName(name);
        char data[4096] = {};
        DWORD size = sizeof data - 1;
        DWORD type = REG_NONE;
        rc = RegQueryValueExA(ports.Get(), valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data), &size);
        ports.Reset();
        if (rc == ERROR_SUCCESS) {
            std::string mapped(data, strnlen(data, std::min<std::size_t>(size, sizeof data - 1)));
            if ((type == REG_SZ || type == REG_EXPAND_SZ) && netport::IsSocketUri(mapped)) {
                netport::Endpoint endpoint;
                if (LONG bad = netport::ParseSocketUri(mapped, &endpoint); bad != ERROR_SUCCESS)
                    return bad;
                *path = std::move(mapped);
                return ERROR_SUCCESS;
            }
            if ((type != REG_SZ && type != REG_EXPAND_SZ) || !module::IsAbsolutePath(mapped))
                return ERROR_PATH_NOT_FOUND;
            *path = std::move(mapped);
            return ERROR_SUCCESS;
        }
        if (rc == ERROR_MORE_DATA)
            return ERROR_PATH_NOT_FOUND;
        if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        // A hive we cannot read must not send the name to a default device instead.
        return rc;
    }

    if (netport::IsIpName(name))
        return netport::UriForIpName(name, path);
    std::string device = portname::DefaultDevicePath(name);
    if (device.empty())
        return ERROR_FILE_NOT_FOUND;
    *path = std::move(device);
    return ERROR_SUCCESS;
}

bool IsNetworkPort(std::string_view name) {
    std::string path;
    const LONG rc = ResolvePortName(name, &path);
    if (rc == ERROR_SUCCESS)
        return netport::IsSocketUri(path);
    return rc == ERROR_BAD_PATHNAME;
}

LONG CreateFile(const char* name, DWORD access, DWORD shareMode, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    if (!name)
        return ERROR_INVALID_NAME;
    std::string path;
    if (LONG rc = ResolvePortName(name, &path); rc != ERROR_SUCCESS)
        return rc;
    if (netport::IsSocketUri(path))
        return OpenNetworkPort(path, access, handle);
    return detail::OpenResolvedDevice(name, path, access, shareMode, handle);
}

LONG OpenNetworkPort(const std::string& uri, DWORD access, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    if (!(access & (GENERIC_READ | GENERIC_WRITE)))
        return ERROR_INVALID_PARAMETER;
    netport::Endpoint endpoint;
    if (LONG rc = netport::ParseSocketUri(uri, &endpoint); rc != ERROR_SUCCESS)
        return rc;
    return detail::OpenConnectedPort(endpoint, handle);
}

namespace detail {

DCB NetworkDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

}  // namespace detail

}  // namespace thermpos::platform::devfile
