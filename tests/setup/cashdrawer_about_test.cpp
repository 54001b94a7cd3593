// Cash Drawer page and About Us page.
#include <QLabel>

#include "SetupTestSupport.h"
#include "setup/AboutUs.h"
#include "setup/CashDrawerDlg.h"
#include "setup/GeneralDlg.h"

using namespace setup;
using namespace setuptest;

namespace {

const std::string kPrinter = kQmx5500Name;
const std::string kSingle = kRtk410Name;
const std::string kCd1 = "QMX5500TYPEII.TALVERN.CD1";
const std::string kCd2 = "QMX5500TYPEII.TALVERN.CD2";
const std::string kSingleCd = "RTK410.TALVERN.CD1";

struct Fixture {
    Hive hive;
    CountingRegistry registry;
    ScriptedMessages messages;
    CashDrawerPage page{registry, messages};

    void LoadDrawers(bool drawerRoot = true) {
        hive.Load(
            {PrinterDevice(kPrinter), PrinterDevice(kSingle)},
            {DrawerOf(kCd1, kPrinter, {{"Pin3", "000"}, {"CapStatus", "000"}, {"OnTime", "010"}}),
             DrawerOf(kSingleCd, kSingle, {{"Pin3", "001"}}),
             DrawerOf(kCd2, kPrinter, {{"Pin3", "001"}, {"CapStatus", "001"}, {"OnTime", "013"}})},
            true, drawerRoot);
    }
};

}  // namespace

class CashDrawerAboutTest : public QObject {
    Q_OBJECT
  private slots:
    void listsThePrintersDrawersAndShowsTheFirst() {
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        const CashDrawerControls& c = f.page.Controls();
        QCOMPARE(c.drawers, (std::vector<std::string>{kCd1, kCd2}));
        QCOMPARE(c.drawer, 0);
        QCOMPARE(c.signalTime, std::string("10"));
        QVERIFY(!c.pin3 && !c.high && c.low);
        f.page.ChooseDrawer(1);
        QCOMPARE(c.signalTime, std::string("13"));
        QVERIFY(c.pin3 && c.high && !c.low);
        QVERIFY(!f.page.IsChanged());
    }

    void restoreDefaultThenOkWritesTheDefaults() {
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        f.page.RestoreDefault();
        f.page.Save();
        QCOMPARE(f.hive.Drawer(kCd1, "Pin3"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Drawer(kCd1, "CapStatus"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Drawer(kCd1, "OnTime"), std::optional<std::string>("005"));
        QCOMPARE(f.registry.writes.size(), std::size_t{3});
        f.page.Save();
        QCOMPARE(f.registry.writes.size(), std::size_t{3});
    }

    void lowAndClearedPin3AreWrittenAsZeros() {
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        f.page.ChooseDrawer(1);
        f.page.ChooseCapStatus(false);
        f.page.SetPin3(false);
        QVERIFY(f.page.IsChanged());
        f.page.Save();
        QCOMPARE(f.hive.Drawer(kCd2, "CapStatus"), std::optional<std::string>("000"));
        QCOMPARE(f.hive.Drawer(kCd2, "Pin3"), std::optional<std::string>("000"));
        QCOMPARE(f.registry.CountFor("OnTime"), 0);
        QCOMPARE(f.hive.Drawer(kCd1, "CapStatus"), std::optional<std::string>("000"));
    }

    void signalTimeIsStoredInCodeForm_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("two digits") << "12"
                                    << "012";
        QTest::newRow("empty box") << ""
                                   << "000";
        QTest::newRow("four digits") << "1500"
                                     << "1500";
        QTest::newRow("cut to seven characters") << "123456789"
                                                 << "1234567";
    }
    void signalTimeIsStoredInCodeForm() {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        f.page.SetSignalTime(typed.toStdString());
        f.page.Save();
        QCOMPARE(f.hive.Drawer(kCd1, "OnTime"), std::optional<std::string>(stored.toStdString()));
    }

    // A drawer whose key lacks a value shows the drawer shown before; saving must not copy
    // that into its key unless the user sets the control.
    void absentDrawerValuesAreWrittenOnlyWhenSet() {
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        f.page.Activate(kSingle);  // Pin3 only
        const CashDrawerControls& c = f.page.Controls();
        QCOMPARE(c.signalTime, std::string("10"));
        QVERIFY(c.pin3 && c.low);
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
        QVERIFY(!f.hive.Drawer(kSingleCd, "OnTime") && !f.hive.Drawer(kSingleCd, "CapStatus"));
        f.page.SetSignalTime("7");
        f.page.Save();
        QCOMPARE(f.registry.writes.size(), std::size_t{1});
        QCOMPARE(f.hive.Drawer(kSingleCd, "OnTime"), std::optional<std::string>("007"));
        QVERIFY(!f.hive.Drawer(kSingleCd, "CapStatus"));
    }

    void aPrinterWithFewerDrawersLeavesTheControlsEmptyAndWritesNothing() {
        Fixture f;
        f.LoadDrawers();
        f.page.Activate(kPrinter);
        f.page.ChooseDrawer(1);
        f.page.Activate(kSingle);
        const CashDrawerControls& c = f.page.Controls();
        QCOMPARE(c.drawers, (std::vector<std::string>{kSingleCd}));
        QCOMPARE(c.drawer, -1);
        QCOMPARE(c.signalTime, std::string());
        QVERIFY(!c.pin3 && !c.high && !c.low);
        f.page.RestoreDefault();
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
        // Back on the first printer the remembered second drawer shows again.
        f.page.Activate(kPrinter);
        QCOMPARE(c.drawer, 1);
        QCOMPARE(c.signalTime, std::string("13"));
    }

    void missingDrawerRootShowsError1311AtEachActivation() {
        Fixture f;
        f.LoadDrawers(false);
        f.page.Activate(kPrinter);
        f.page.Activate(kPrinter);
        QCOMPARE(f.messages.Count(kError1311), 2);
        QCOMPARE(f.messages.shown[0].icon, CMessageBoxes::Icon::Critical);
        QVERIFY(f.page.Controls().drawers.empty());
        f.page.SetPin3(true);
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
    }

    void aboutPageShowsThePrinterAndItsLanguageModel() {
        Fixture f;
        f.hive.Load({PrinterDevice(kPrinter, {{"PrinterLanguageModel", "008"}})}, {});
        CGeneralDlg general(f.registry, f.messages);
        general.Activate();
        CAboutUs about(&general);
        about.Activate();
        QCOMPARE(about.PrinterNameText(), QString::fromStdString(kPrinter));
        QCOMPARE(about.PrinterModelText(), QStringLiteral("Japan"));
        general.Logic().ChooseLanguage(13);
        about.Activate();
        QCOMPARE(about.PrinterModelText(), QStringLiteral("Korea"));
        bool hasVersion = false;
        for (QLabel* label : about.findChildren<QLabel*>()) {
            hasVersion = hasVersion || label->text() == QLatin1String(kVersionLine);
        }
        QVERIFY(hasVersion);
    }
};

SETUP_TEST_MAIN(CashDrawerAboutTest)
#include "cashdrawer_about_test.moc"
