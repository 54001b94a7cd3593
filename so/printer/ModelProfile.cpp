// The table of registered printer models (see ModelProfile.h).
#include "so/printer/ModelProfile.h"

#include <vector>

#include "platform/portname.h"
#include "platform/registry_paths.h"

namespace thermpos::so {

namespace {

// Built on first use, so that a model file's registration finds it whatever the order the
// files are initialised in.
std::vector<const ModelProfile*>& Table() {
    static std::vector<const ModelProfile*> table;
    return table;
}

template <class Key>
const ModelProfile* Find(std::string_view wanted, Key key) {
    for (const ModelProfile* profile : Table()) {
        if (platform::portname::EqualNoCase(key(*profile), wanted)) {
            return profile;
        }
    }
    return nullptr;
}

}  // namespace

ModelRegistration::ModelRegistration(const ModelProfile& profile, DeviceCreator creator) {
    Table().push_back(&profile);
    RegisterDeviceCreator(platform::regpath::kPrinterClass, profile.deviceName, std::move(creator));
}

std::span<const ModelProfile* const> ModelProfiles() {
    return Table();
}

const ModelProfile* FindModelByDeviceName(std::string_view deviceName) {
    return Find(deviceName, [](const ModelProfile& p) { return p.deviceName; });
}

const ModelProfile* FindModelByKey(std::string_view modelKey) {
    return Find(modelKey, [](const ModelProfile& p) { return p.modelKey; });
}

}  // namespace thermpos::so
