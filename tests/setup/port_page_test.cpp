// Port page, serial settings dialog and the parallel port dialog.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "SetupTestSupport.h"
#include "setup/ComPropertiesDlg.h"
#include "setup/ConfigurePort.h"
#include "setup/GeneralDlg.h"
#include "setup/PortDlg.h"

using namespace setup;
using namespace setuptest;

namespace {

const std::string kPrinter = kRtk410Name;
const std::string kOther = kQmx5500Name;
const std::string kCd1 = "RTK410.TALVERN.CD1";
const std::string kCd2 = "RTK410.TALVERN.CD2";
const std::string kCd3 = "RTK410.TALVERN.CD3";

struct Fixture {
    Hive hive;
    CountingRegistry registry;
    ScriptedMessages messages;
    FakePortServices services;
    PortPage page{registry, messages, services};

    void LoadPrinterWithDrawers(std::vector<std::pair<std::string, std::string>> values,
                                bool drawerRoot = true) {
        hive.Load({PrinterDevice(kPrinter, std::move(values)), PrinterDevice(kOther)},
                  {DrawerOf(kCd1, kPrinter), DrawerOf("QMX5500.TALVERN.CD1", kOther),
                   DrawerOf(kCd2, kPrinter)},
                  true, drawerRoot);
    }
    int PortIndex(const std::string& name) const {
        const auto& ports = page.Controls().ports;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (ports[i] == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

}  // namespace

class PortPageTest : public QObject {
    Q_OBJECT
  private slots:
    void failedEnumerationOffersTheSixFixedNames() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        f.services.enumerates = false;
        f.page.Initialize();
        QCOMPARE(
            f.page.Controls().ports,
            (std::vector<std::string>{"COM1:", "COM2:", "LPT1:", "LPT2:", "USB001", "USB002"}));
    }

    void successfulEnumerationWithoutPortsOffersNone() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        f.services.ports.clear();
        f.page.Initialize();
        QVERIFY(f.page.Controls().ports.empty());
    }

    void portsAreSortedAndTheStoredOneIsSelectedWithoutRegardToCase() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"Port", "com2:"}, {"WriteTimeout", "3000"}});
        f.services.ports = {"USB001", "lpt1:", "COM2:", "COM1:"};
        f.page.Initialize();
        QCOMPARE(f.page.Controls().ports,
                 (std::vector<std::string>{"COM1:", "COM2:", "lpt1:", "USB001"}));
        f.page.Activate(kPrinter);
        QCOMPARE(f.page.Controls().port, 1);
        QCOMPARE(f.page.Controls().writeTimeout, std::string("3000"));
        QVERIFY(!f.page.IsChanged());
    }

    void typingWriteTimeoutWarnsUntilItReaches2000() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"WriteTimeout", "2000"}});
        CPortDlg dialog(f.registry, f.messages, f.services, nullptr);
        dialog.Activate();
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("WriteTimeout"));
        QVERIFY(edit != nullptr);
        edit->clear();
        f.messages.shown.clear();
        QStringList after;
        for (QChar digit : QStringLiteral("2500")) {
            const std::size_t before = f.messages.shown.size();
            QTest::keyClick(edit, digit.toLatin1());
            if (f.messages.shown.size() > before) {
                after << edit->text();
            }
        }
        QCOMPARE(after, (QStringList{"2", "25", "250"}));
        QCOMPARE(f.messages.Count(kError9173), 3);
        QCOMPARE(f.messages.shown[0].icon, CMessageBoxes::Icon::Critical);
    }

    void storedLowWriteTimeoutWarnsOnActivationAndIsStillSavedAsTyped() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"WriteTimeout", "500"}});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        QCOMPARE(f.messages.Count(kError9173), 1);
        f.page.SetWriteTimeout("900");
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "WriteTimeout"), std::optional<std::string>("900"));
    }

    void applyWritesThePortIntoThePrinterAndBothDrawers() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"Port", "COM1:"}});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.ChoosePort(f.PortIndex("COM2:"));
        QVERIFY(f.page.IsChanged());
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "Port"), std::optional<std::string>("COM2:"));
        QCOMPARE(f.hive.Drawer(kCd1, "Port"), std::optional<std::string>("COM2:"));
        QCOMPARE(f.hive.Drawer(kCd2, "Port"), std::optional<std::string>("COM2:"));
        QVERIFY(!f.hive.Drawer("QMX5500.TALVERN.CD1", "Port"));
        QCOMPARE(f.registry.writes.size(), std::size_t{3});
        f.page.Save();
        QCOMPARE(f.registry.writes.size(), std::size_t{3});
    }

    void onlyTheFirstTwoDrawersFollowThePrinter() {
        Fixture f;
        f.hive.Load({PrinterDevice(kPrinter)},
                    {DrawerOf(kCd1, kPrinter), DrawerOf(kCd2, kPrinter), DrawerOf(kCd3, kPrinter)});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.SetStatusBackInterval("150");
        f.page.Save();
        QCOMPARE(f.hive.Drawer(kCd2, "StatusBackInterval"), std::optional<std::string>("150"));
        QVERIFY(!f.hive.Drawer(kCd3, "StatusBackInterval"));
    }

    void portNamesAreCutToSevenCharacters() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        f.services.ports = {"COM10:", "COM1234:", "LPT1234567:"};
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.ChoosePort(f.PortIndex("COM1234:"));
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "Port"), std::optional<std::string>("COM1234"));
        f.page.ChoosePort(f.PortIndex("COM10:"));
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "Port"), std::optional<std::string>("COM10:"));
        QCOMPARE(f.hive.Drawer(kCd1, "Port"), std::optional<std::string>("COM10:"));
    }

    void missingDrawerRootWritesNothingNotEvenThePrinter() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"Port", "COM1:"}}, false);
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.ChoosePort(f.PortIndex("COM2:"));
        f.page.RestoreDefault();
        f.page.Save();
        QCOMPARE(f.messages.Count(kError1311), 1);
        QCOMPARE(f.messages.shown.back().icon, CMessageBoxes::Icon::Critical);
        QVERIFY(f.registry.writes.empty());
        QCOMPARE(f.hive.Printer(kPrinter, "Port"), std::optional<std::string>("COM1:"));
    }

    void configureDependsOnThePortKind() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.ChoosePort(f.PortIndex("USB001"));
        f.page.Configure();
        QCOMPARE(f.messages.Count(kError4822), 1);
        QCOMPARE(f.messages.shown.back().icon, CMessageBoxes::Icon::Critical);
        QVERIFY(f.services.serial.empty() && f.services.parallel.empty());
        f.page.ChoosePort(f.PortIndex("COM2:"));
        f.page.Configure();
        QCOMPARE(f.services.serial, (std::vector<std::string>{kPrinter}));
        f.page.ChoosePort(f.PortIndex("LPT1:"));
        f.page.Configure();
        QCOMPARE(f.services.parallel, (std::vector<std::string>{"LPT1:"}));
        f.page.ChoosePort(-1);
        f.page.Configure();
        QCOMPARE(f.messages.shown.size(), std::size_t{1});
        QCOMPARE(f.registry.writes.size(), std::size_t{0});
    }

    void aStoredPortMissingFromTheListSurvivesTheSave() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"Port", "COM9:"}});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        QCOMPARE(f.page.Controls().port, -1);
        f.page.SetStatusBackInterval("300");
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "Port"), std::optional<std::string>("COM9:"));
        QCOMPARE(f.registry.CountFor("Port"), 0);
    }

    void emptyBoxesOverAbsentValuesWriteNothing() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
        QVERIFY(!f.hive.Printer(kPrinter, "WriteTimeout"));
    }

    void restoreDefaultFillsTheBoxesAndKeepsThePort() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"Port", "LPT1:"}});
        f.page.Initialize();
        f.page.Activate(kPrinter);
        f.page.RestoreDefault();
        QVERIFY(f.messages.shown.empty());
        f.page.Save();
        QCOMPARE(f.hive.Printer(kPrinter, "StatusBackInterval"), std::optional<std::string>("200"));
        QCOMPARE(f.hive.Drawer(kCd2, "WriteTimeout"), std::optional<std::string>("2000"));
        QCOMPARE(f.registry.CountFor("Port"), 0);
    }

    void thePortLibraryListsTheMappedPortsForThePage() {
        Fixture f;
        f.hive.Load({PrinterDevice(kPrinter, {{"Port", "COM42:"}})}, {}, true, true,
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ThermPOS\\Ports]\n"
                    "\"COM42\"=\"/dev/null\"\n\"LPT9\"=\"/dev/null\"\n\n");
        CSystemPortServices system(f.registry, f.messages);
        PortPage page(f.registry, f.messages, system);
        page.Initialize();
        page.Activate(kPrinter);
        const std::vector<std::string>& ports = page.Controls().ports;
        QVERIFY(std::find(ports.begin(), ports.end(), "LPT9:") != ports.end());
        const auto com42 = std::find(ports.begin(), ports.end(), "COM42:");
        QVERIFY(com42 != ports.end());
        QCOMPARE(page.Controls().port, static_cast<int>(com42 - ports.begin()));
    }

    // ---- serial settings dialog -------------------------------------------------------

    void serialDialogShowsDefaultsWhenNothingIsStored() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        ComProperties com(f.registry, f.messages, kPrinter);
        const ComControls& c = com.Controls();
        QCOMPARE(c.baudRates[static_cast<std::size_t>(c.baudRate)], std::string("19200"));
        QCOMPARE(c.bitLengths[static_cast<std::size_t>(c.bitLength)], std::string("8"));
        QCOMPARE(c.parity, 0);
        QCOMPARE(c.handShake, 0);
    }

    void oddParityIsWrittenIntoPrinterAndDrawersAtOnce() {
        Fixture f;
        f.LoadPrinterWithDrawers(
            {{"Parity", "000"}, {"BaudRate", "19200"}, {"BitLength", "8"}, {"HandShake", "000"}});
        CComPropertiesDlg dialog(f.registry, f.messages, kPrinter);
        auto* parity = dialog.findChild<QComboBox*>(QStringLiteral("Parity"));
        QVERIFY(parity != nullptr);
        QCOMPARE(parity->itemText(1), QStringLiteral("Odd"));
        parity->setCurrentIndex(1);
        emit parity->activated(1);
        dialog.findChild<QPushButton*>(QStringLiteral("Ok"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(f.hive.Printer(kPrinter, "Parity"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Drawer(kCd1, "Parity"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Drawer(kCd2, "Parity"), std::optional<std::string>("001"));
        QCOMPARE(f.registry.writes.size(), std::size_t{3});
    }

    void serialDialogCancelWritesNothingAndMissingDrawerRootKeepsItOpen() {
        Fixture f;
        f.LoadPrinterWithDrawers({}, false);
        {
            CComPropertiesDlg dialog(f.registry, f.messages, kPrinter);
            dialog.findChild<QPushButton*>(QStringLiteral("Cancel"))->click();
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QVERIFY(f.registry.writes.empty());
        }
        ComProperties com(f.registry, f.messages, kPrinter);
        com.ChooseHandShake(1);
        QVERIFY(!com.Ok());
        QCOMPARE(f.messages.Count(kError1311), 1);
        QVERIFY(f.registry.writes.empty());
    }

    void storedSerialValuesTheListsDoNotOfferAreKept() {
        Fixture f;
        f.LoadPrinterWithDrawers({{"BaudRate", "9600"}, {"Parity", "007"}, {"HandShake", "001"}});
        ComProperties com(f.registry, f.messages, kPrinter);
        QCOMPARE(com.Controls().baudRate, -1);
        QCOMPARE(com.Controls().parity, -1);
        QVERIFY(com.Ok());
        // Only the bit length had nothing stored; the unmatched values are left alone
        // instead of becoming an empty baud rate and parity 4294967295.
        QCOMPARE(f.hive.Printer(kPrinter, "BaudRate"), std::optional<std::string>("9600"));
        QCOMPARE(f.hive.Printer(kPrinter, "Parity"), std::optional<std::string>("007"));
        QCOMPARE(f.hive.Printer(kPrinter, "BitLength"), std::optional<std::string>("8"));
        QCOMPARE(f.registry.CountFor("BaudRate"), 0);
        QCOMPARE(f.registry.CountFor("Parity"), 0);
        QCOMPARE(f.registry.CountFor("HandShake"), 0);
    }

    // ---- parallel port dialog ---------------------------------------------------------

    void parallelPortNamesAndDefaults_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("mapName");
        QTest::addColumn<QString>("defaultPath");
        QTest::newRow("spooler form") << "LPT1:"
                                      << "LPT1"
                                      << "/dev/lp0";
        QTest::newRow("device form") << "\\\\.\\lpt2"
                                     << "LPT2"
                                     << "/dev/lp1";
        QTest::newRow("serial") << "COM3:"
                                << "COM3"
                                << "/dev/ttyS2";
        QTest::newRow("no number") << "LPT:"
                                   << "LPT"
                                   << "";
        QTest::newRow("number zero") << "LPT0"
                                     << "LPT0"
                                     << "";
        QTest::newRow("not a number") << "LPT1x"
                                      << "LPT1X"
                                      << "";
    }
    void parallelPortNamesAndDefaults() {
        QFETCH(QString, port);
        QFETCH(QString, mapName);
        QFETCH(QString, defaultPath);
        QCOMPARE(QString::fromStdString(PortMapName(port.toStdString())), mapName);
        QCOMPARE(QString::fromStdString(DefaultDevicePath(mapName.toStdString())), defaultPath);
    }

    void parallelPortDialogEditsThePortsMap() {
        Fixture f;
        f.LoadPrinterWithDrawers({});
        ParallelPortSettings lpt(f.registry, f.messages, "LPT1:");
        QCOMPARE(lpt.DevicePath(), std::string());
        lpt.SetDevicePath("dev/lp0");
        QVERIFY(!lpt.Ok());
        lpt.SetDevicePath("/dev/usb/lp0\n[HKEY_LOCAL_MACHINE\\X]");
        QVERIFY(!lpt.Ok());
        QCOMPARE(f.messages.shown.size(), std::size_t{2});
        lpt.SetDevicePath("/dev/usb/lp0");
        QVERIFY(lpt.Ok());
        QCOMPARE(f.hive.Value(kPortMapKey, "LPT1"), std::optional<std::string>("/dev/usb/lp0"));

        ParallelPortSettings again(f.registry, f.messages, "lpt1");
        QCOMPARE(again.DevicePath(), std::string("/dev/usb/lp0"));
        again.SetDevicePath("");
        QVERIFY(again.Ok());
        QVERIFY(!f.hive.Value(kPortMapKey, "LPT1"));
    }
};

SETUP_TEST_MAIN(PortPageTest)
#include "port_page_test.moc"
