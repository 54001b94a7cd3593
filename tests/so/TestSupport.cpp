#include "tests/so/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/automation.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/temp_env.h"

extern char** environ;

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
        thermpos::platform::module::Export<HRESULT (*)()>(library, "DllRegisterServer");
    if (!registerServer)
        throw std::runtime_error("no DllRegisterServer");
    return registerServer();
}

std::string ServerPath() {
    return THERMSO_SERVER;
}
std::string TestServerPath() {
    return THERMSO_TEST_SERVER;
}
std::string ClaimHelperPath() {
    return THERMSO_CLAIM_HELPER;
}

Pty::Pty() {
    std::string error;
    if (!terminal_.Open(&error))
        throw std::runtime_error(error);
}

void Pty::MapAs(const std::string& name) const {
    SetValue("SOFTWARE\\ThermPOS\\Ports", name.c_str(), Path());
}

std::string Pty::Read(size_t count, int timeoutMs) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < count && terminal_.IsOpen()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        const std::string got = terminal_.Receive(count - data.size(), static_cast<int>(left));
        if (got.empty())
            break;
        data += got;
    }
    return data;
}

void Pty::Hangup() {
    terminal_.Close();
}

ClaimingProcess::ClaimingProcess(const std::string& deviceClass, const std::string& deviceName) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string helper = ClaimHelperPath();
    char* argv[] = {helper.data(), const_cast<char*>(deviceClass.c_str()),
                    const_cast<char*>(deviceName.c_str()), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (rc != 0)
        return;
    pid_ = pid;
    // The helper reports one line: its claim result.
    std::string line;
    pollfd p{fromChild_, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        char c[64];
        ssize_t n = read(fromChild_, c, sizeof(c));
        if (n <= 0)
            break;
        line.append(c, static_cast<size_t>(n));
    }
    if (line.find('\n') != std::string::npos)
        claimResult_ = std::atoi(line.c_str());
}

ClaimingProcess::~ClaimingProcess() {
    Stop();
}

void ClaimingProcess::Stop() {
    if (toChild_ >= 0)
        close(toChild_);  // end of input: the helper releases and exits
    toChild_ = -1;
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (fromChild_ >= 0)
        close(fromChild_);
    fromChild_ = -1;
}

}  // namespace sotest
