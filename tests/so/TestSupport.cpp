#include "tests/so/TestSupport.h"

// The registry helpers and the process's private folder: portable (Windows too).
#include <stdexcept>

#include "platform/activation.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/temp_env.h"

namespace sotest {

namespace {

// Before main: every registry or lock use of the process goes to the private folder.
const std::string& Setup() {
    const thermpos::testing::TempEnv& env = thermpos::testing::ProcessEnv();
    if (!env.ok())
        throw std::runtime_error("cannot make a temporary folder");
    return env.Dir();
}
const bool kSetUp = !Setup().empty();

}  // namespace

const std::string& TempDir() {
    return Setup();
}

void SetValue(const std::string& keyPath, const char* name, const std::string& value) {
    thermpos::platform::registry::KeyHolder key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.Out(), nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + keyPath);
    if (RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a value in " + keyPath);
}

void DeleteValue(const std::string& keyPath, const char* name) {
    thermpos::platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, key.Out()) !=
        ERROR_SUCCESS)
        return;
    // A value that is not there is what the caller wants.
    (void)RegDeleteValueA(key.Get(), name);
}

void DeleteTree(const std::string& keyPath) {
    const LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        throw std::runtime_error("cannot delete " + keyPath);
}

std::string DeviceKey(const std::string& deviceClass, const std::string& deviceName) {
    return thermpos::platform::regpath::DeviceKeyPath(deviceClass, deviceName);
}

void WriteDevice(const std::string& deviceClass, const std::string& deviceName,
                 const std::map<std::string, std::string>& values) {
    std::string key = DeviceKey(deviceClass, deviceName);
    DeleteTree(key);
    SetValue(key, nullptr,
             deviceClass == "CashDrawer" ? "QMX.Thermal.CashDrawer" : "QMX.Thermal.POSPrinter");
    for (const auto& [name, value] : values)
        SetValue(key, name.c_str(), value);
}

LONG RegisterServer(const std::string& libraryPath) {
    std::string error;
    void* library = thermpos::platform::module::Load(libraryPath, &error);
    if (!library)
        throw std::runtime_error(error);
    auto registerServer =
        thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
            library, "DllRegisterServer");
    if (!registerServer)
        throw std::runtime_error("no DllRegisterServer");
    return registerServer();
}

}  // namespace sotest
