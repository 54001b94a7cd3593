#include "SetupTestSupport.h"

#include <QFile>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace setuptest {

Hive::Hive() {
    QVERIFY2(dir_.isValid(), "temporary folder");
}

void Hive::Load(const std::vector<Device>& printers, const std::vector<Device>& drawers,
                bool printerRoot, bool drawerRoot, const std::string& extra) {
    // A new file each time: the store notices the switch and reads it from scratch.
    path_ = dir_.filePath(QStringLiteral("hive%1.reg").arg(++generation_)).toStdString();
    std::ostringstream out;
    out << "Windows Registry Editor Version 5.00\n\n";
    out << "[HKEY_LOCAL_MACHINE\\" << thermpos::platform::regpath::kServiceOpos << "]\n\n";
    auto section = [&](const char* root, const std::vector<Device>& devices) {
        std::string base = std::string("HKEY_LOCAL_MACHINE\\") + root;
        base.pop_back();  // the roots end in a separator
        out << "[" << base << "]\n\n";
        for (const Device& device : devices) {
            out << "[" << base << "\\" << device.name << "]\n";
            for (const auto& [name, text] : device.values) {
                out << "\"" << name << "\"=\"" << text << "\"\n";
            }
            out << "\n";
        }
    };
    if (printerRoot) {
        section(setup::kPrinterRoot, printers);
    }
    if (drawerRoot) {
        section(setup::kDrawerRoot, drawers);
    }
    out << extra;
    std::ofstream(path_) << out.str();
    qputenv("THERMPOS_REGISTRY", QByteArray::fromStdString(path_));
}

std::optional<std::string> Hive::Value(const std::string& keyPath, const std::string& name) const {
    thermpos::platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.Out()) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    char buffer[512] = {};
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    const LONG result = RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::string(buffer);
}

std::string Hive::FileText() const {
    std::ifstream in(path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int CountingRegistry::CountFor(const std::string& name) const {
    int count = 0;
    for (const Write& write : writes) {
        count += write.name == name ? 1 : 0;
    }
    return count;
}

int ScriptedMessages::Count(const char* text) const {
    int count = 0;
    for (const Shown& box : shown) {
        count += box.text == text ? 1 : 0;
    }
    return count;
}

Device PrinterDevice(const std::string& name,
                     std::vector<std::pair<std::string, std::string>> values) {
    values.insert(values.begin(), {"FamilyID", "1"});
    return {name, std::move(values)};
}

Device DrawerOf(const std::string& name, const std::string& printer,
                std::vector<std::pair<std::string, std::string>> values) {
    values.insert(values.begin(), {"PrinterID", printer});
    return {name, std::move(values)};
}

}  // namespace setuptest
