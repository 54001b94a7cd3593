// Device files: port names resolved through the Ports map. Portable: it reads the
// registry and the port-name rules and touches no device. The devices themselves are the
// backend's (devfile_posix.cpp, devfile_io_posix.cpp, devfile_serial_posix.cpp); see
// devfile.h for the contract.
//
// Threads: none started here; no locks of its own beyond the registry store's.
#include "platform/devfile.h"

#include <algorithm>
#include <cstring>

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

}  // namespace thermpos::platform::devfile
