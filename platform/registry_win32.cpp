// The registry on Windows is the system's own (advapi32): what remains here are the
// helpers the tools and tests use beside the API.
#include "platform/registry.h"

namespace thermpos::platform::registry {

std::string HivePath() {
    return "HKEY_LOCAL_MACHINE";
}

// The system keeps the count; this process does not.
std::size_t OpenHandleCount() {
    return 0;
}

std::string LastError() {
    return {};
}

LONG ImportFile(const std::string& path, std::string* error) {
    if (error)
        *error = path + ": importing registry files is not built on Windows yet (use reg import)";
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LONG ExportFile(const std::string& keyPath, const std::string& path, std::string* error,
                RegFileForm) {
    if (error)
        *error = keyPath + " -> " + path +
                 ": exporting registry files is not built on Windows yet (use reg export)";
    return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace thermpos::platform::registry
