// Shared set-up of the service-object tests: a private registry hive and lock folder for
// the test process (set before any test runs), registry helpers, the test servers, a
// pseudo-terminal standing in for the printer port, and a helper process that claims.
#pragma once

#include <map>
#include <string>

#include "platform/pty.h"
#include "platform/win32.h"

namespace sotest {

// The temporary folder of this process: hive file, lock folder.
const std::string& TempDir();

// Creates the key (and its parents) and sets a REG_SZ value; a null name is the default.
void SetValue(const std::string& keyPath, const char* name, const std::string& value);
void DeleteValue(const std::string& keyPath, const char* name);
void DeleteTree(const std::string& keyPath);

// The logical device's key path below HKLM.
std::string DeviceKey(const std::string& deviceClass, const std::string& deviceName);
// (Re)writes a logical device key: default value = ProgID of the class, then the values.
void WriteDevice(const std::string& deviceClass, const std::string& deviceName,
                 const std::map<std::string, std::string>& values);

// Registers a server library through its own DllRegisterServer. Returns its HRESULT.
LONG RegisterServer(const std::string& libraryPath);

// Paths of the libraries and helper built with the tests.
std::string ServerPath();      // ThermSO
std::string TestServerPath();  // ThermSO plus the test device classes
std::string ClaimHelperPath();

// A pseudo-terminal: the service object opens the slave by its path (mapped to a COM
// name in the registry); the test reads what was written from the master.
class Pty {
  public:
    Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& Path() const { return terminal_.SlavePath(); }
    // Maps name (e.g. "COM7") to this pty in SOFTWARE\ThermPOS\Ports.
    void MapAs(const std::string& name) const;
    // Reads until `count` bytes arrived or the limit passed; returns what arrived.
    std::string Read(size_t count, int timeoutMs = 5000);
    // Bytes from the printer's side, as its replies.
    bool Send(const std::string& bytes) { return terminal_.SendAll(bytes); }
    // Closes the master: later writes on the slave fail.
    void Hangup();

  private:
    thermpos::platform::pty::PseudoTerminal terminal_;
};

// A second process that opens a logical device through the control-object core and claims
// it, keeping the claim until Stop.
class ClaimingProcess {
  public:
    ClaimingProcess(const std::string& deviceClass, const std::string& deviceName);
    ~ClaimingProcess();
    // The helper's ClaimDevice result, or -1 when it did not report.
    LONG ClaimResult() const { return claimResult_; }
    // Ends the helper (it releases and closes) and waits for it.
    void Stop();

  private:
    int pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    LONG claimResult_ = -1;
};

}  // namespace sotest
