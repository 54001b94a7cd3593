#include "so/core/DeviceFactory.h"

#include <mutex>
#include <new>
#include <vector>

#include "platform/nocase.h"
#include "so/core/ServiceDevice.h"

namespace thermpos::so {

namespace {

struct Creator {
    std::string deviceClass;
    std::string logicalName;
    DeviceCreator create;
};

// Filled during static initialisation, read at OpenService; the lock covers late
// registrations (a test registering from its own code).
std::mutex& TableLock() {
    static std::mutex lock;
    return lock;
}
std::vector<Creator>& Table() {
    static std::vector<Creator> table;
    return table;
}

}  // namespace

void RegisterDeviceCreator(const std::string& deviceClass, const std::string& logicalName,
                           DeviceCreator creator) {
    std::lock_guard<std::mutex> lock(TableLock());
    Table().push_back({deviceClass, logicalName, std::move(creator)});
}

std::unique_ptr<CServiceDevice> CreateDeviceObject(const std::string& deviceClass,
                                                   const std::string& logicalName) {
    DeviceCreator create;
    {
        std::lock_guard<std::mutex> lock(TableLock());
        for (const Creator& c : Table()) {
            if (platform::EqualNoCase(c.deviceClass, deviceClass) &&
                platform::EqualNoCase(c.logicalName, logicalName)) {
                create = c.create;
                break;
            }
        }
    }
    if (!create)
        return nullptr;
    try {
        return create();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace thermpos::so
