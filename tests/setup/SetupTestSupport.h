// Shared pieces of the SetupSheet tests: a fresh registry hive per test, a registry that
// counts writes, scripted message boxes and a fake port list.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "setup/MessageBoxes.h"
#include "setup/PortServices.h"
#include "setup/SetupRegistry.h"

namespace setuptest {

// The logical device names of the three printer models.
inline constexpr char kQmx5500Name[] = "QMX5500TYPEII.TALVERN.POSPrinter";
inline constexpr char kRtk410Name[] = "RTK410.TALVERN.POSPrinter";
inline constexpr char kRtk6100Name[] = "RTK6100.TALVERN.POSPrinter";

// One device key of a .reg file: name and values.
struct Device {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
};

// Writes a new hive file and points THERMPOS_REGISTRY at it. Roots are created only
// when asked, so tests can take either away.
class Hive {
  public:
    Hive();
    // `extra` is appended as it stands (more .reg sections).
    void Load(const std::vector<Device>& printers, const std::vector<Device>& drawers,
              bool printerRoot = true, bool drawerRoot = true, const std::string& extra = {});
    std::optional<std::string> Value(const std::string& keyPath, const std::string& name) const;
    std::optional<std::string> Printer(const std::string& device, const std::string& name) const {
        return Value(setup::PrinterKey(device), name);
    }
    std::optional<std::string> Drawer(const std::string& device, const std::string& name) const {
        return Value(setup::DrawerKey(device), name);
    }
    std::string FileText() const;

  private:
    QTemporaryDir dir_;
    int generation_ = 0;
    std::string path_;
};

struct Write {
    std::string key;
    std::string name;
    std::string text;
};

class CountingRegistry : public setup::CSetupRegistry {
  public:
    bool WriteValue(const std::string& valueName, const std::string& text,
                    const std::string& keyPath) override {
        writes.push_back({keyPath, valueName, text});
        return CSetupRegistry::WriteValue(valueName, text, keyPath);
    }
    int CountFor(const std::string& name) const;
    std::vector<Write> writes;
};

struct Shown {
    std::string text;
    setup::CMessageBoxes::Icon icon;
    setup::CMessageBoxes::Buttons buttons;
};

class ScriptedMessages : public setup::CMessageBoxes {
  public:
    Reply Show(const std::string& text, Icon icon, Buttons buttons) override {
        shown.push_back({text, icon, buttons});
        if (replies.empty()) {
            return Reply::Ok;
        }
        Reply reply = replies.front();
        replies.pop_front();
        return reply;
    }
    int Count(const char* text) const;
    std::deque<Reply> replies;
    std::vector<Shown> shown;
};

class FakePortServices : public setup::CPortServices {
  public:
    bool EnumeratePorts(std::vector<std::string>& out) override {
        out = ports;
        return enumerates;
    }
    void ConfigureParallelPort(const std::string& port) override { parallel.push_back(port); }
    void RunSerialSettings(const std::string& printer) override { serial.push_back(printer); }

    bool enumerates = true;
    std::vector<std::string> ports = {"COM1:", "COM2:", "LPT1:", "USB001"};
    std::vector<std::string> parallel;
    std::vector<std::string> serial;
};

// The three printers the service objects know, as an installer registers them.
Device PrinterDevice(const std::string& name,
                     std::vector<std::pair<std::string, std::string>> values = {});
Device DrawerOf(const std::string& name, const std::string& printer,
                std::vector<std::pair<std::string, std::string>> values = {});

}  // namespace setuptest

// Runs a Qt Test class with a private lock folder; every test loads its own hive.
#define SETUP_TEST_MAIN(TestClass)                            \
    int main(int argc, char** argv) {                         \
        QTemporaryDir locks;                                  \
        qputenv("THERMPOS_LOCK_DIR", locks.path().toUtf8());  \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) { \
            qputenv("QT_QPA_PLATFORM", "offscreen");          \
        }                                                     \
        QApplication app(argc, argv);                         \
        TestClass test;                                       \
        return QTest::qExec(&test, argc, argv);               \
    }
