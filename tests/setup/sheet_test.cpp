// The whole property sheet, driven through its widgets as a user would.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include "SetupTestSupport.h"
#include "setup/AboutUs.h"
#include "setup/CashDrawerDlg.h"
#include "setup/GeneralDlg.h"
#include "setup/PortDlg.h"
#include "setup/QMXSetupSheet.h"

using namespace setup;
using namespace setuptest;

namespace {

const std::string kPrinter = kRtk6100Name;
const std::string kCd1 = "RTK6100.TALVERN.CD1";
const std::string kCd2 = "RTK6100.TALVERN.CD2";

struct Fixture {
    Hive hive;
    CountingRegistry registry;
    ScriptedMessages messages;
    FakePortServices services;

    void LoadInstalled() {
        hive.Load(
            {PrinterDevice(kRtk410Name, {{"PrinterName", kRtk410Name}}),
             PrinterDevice(kPrinter, {{"PrinterName", kPrinter},
                                      {"PrinterLanguageModel", "000"},
                                      {"BitmapMode", "000"},
                                      {"PaperSensor", "001"},
                                      {"MapResolution", "000"},
                                      {"PaperModel", "002"},
                                      {"Column", "001"},
                                      {"Port", "COM1:"},
                                      {"StatusBackInterval", "200"},
                                      {"WriteTimeout", "2000"}})},
            {DrawerOf(kCd1, kPrinter, {{"Pin3", "001"}, {"CapStatus", "001"}, {"OnTime", "005"}}),
             DrawerOf(kCd2, kPrinter, {{"Pin3", "001"}, {"CapStatus", "001"}, {"OnTime", "005"}})});
    }
};

template <typename T>
T* Child(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) {
        qFatal("no child %s", name);
    }
    return child;
}

}  // namespace

class SheetTest : public QObject {
    Q_OBJECT
  private slots:
    void sheetHasItsCaptionPagesAndButtons() {
        Fixture f;
        f.LoadInstalled();
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        QCOMPARE(sheet.windowTitle(), QStringLiteral("Talvern Systems Configuration Utility"));
        QStringList tabs;
        for (int i = 0; i < sheet.Tabs().count(); ++i) {
            tabs << sheet.Tabs().tabText(i);
        }
        QCOMPARE(tabs, (QStringList{"General", "Cash Drawer", "Port", "About Us"}));
        QVERIFY(!(sheet.windowFlags() & Qt::WindowContextHelpButtonHint));
        QVERIFY(sheet.OkButton() && sheet.CancelButton() && sheet.ApplyButton());
        QVERIFY(!sheet.General().IsInitialized());
        sheet.show();
        QVERIFY(sheet.General().IsInitialized());
        QVERIFY(!sheet.CashDrawer().IsInitialized());
        QCOMPARE(sheet.Tabs().currentIndex(), 0);
        QVERIFY(!sheet.ApplyButton()->isEnabled());
    }

    void changingAValueOnEachPageAndPressingOkStoresThem() {
        Fixture f;
        f.LoadInstalled();
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        sheet.show();

        // General: the last character set, by keyboard, and 60 mm by mouse.
        auto* language = Child<QComboBox>(sheet.General(), "LanguageModel");
        QCOMPARE(language->currentText(), QStringLiteral("U.S.A"));
        language->setFocus();
        QTest::keyClick(language, Qt::Key_End);
        QCOMPARE(language->currentText(), QStringLiteral("Korea"));
        auto* width60 = Child<QRadioButton>(sheet.General(), "Width60mm");
        QVERIFY(width60->isEnabled());
        QTest::mouseClick(width60, Qt::LeftButton);
        QVERIFY(width60->isChecked());
        QVERIFY(Child<QRadioButton>(sheet.General(), "Column36")->isChecked());
        QVERIFY(!Child<QRadioButton>(sheet.General(), "Width80mm")->isChecked());
        QVERIFY(sheet.ApplyButton()->isEnabled());

        // Cash Drawer: the second drawer's open level.
        sheet.SetActivePage(1);
        auto* drawers = Child<QComboBox>(sheet.CashDrawer(), "CashDrawers");
        QCOMPARE(drawers->count(), 2);
        drawers->setFocus();
        QTest::keyClick(drawers, Qt::Key_Down);
        QCOMPARE(drawers->currentText(), QString::fromStdString(kCd2));
        QTest::mouseClick(Child<QRadioButton>(sheet.CashDrawer(), "Low"), Qt::LeftButton);
        QVERIFY(!Child<QRadioButton>(sheet.CashDrawer(), "High")->isChecked());

        // Port: typed polling interval.
        sheet.SetActivePage(2);
        auto* interval = Child<QLineEdit>(sheet.Port(), "StatusBackInterval");
        QCOMPARE(interval->text(), QStringLiteral("200"));
        interval->selectAll();
        QTest::keyClicks(interval, "35x0");  // the box takes digits only
        QCOMPARE(interval->text(), QStringLiteral("350"));

        // About Us follows the General page.
        sheet.SetActivePage(3);
        QCOMPARE(sheet.About().PrinterNameText(), QString::fromStdString(kPrinter));
        QCOMPARE(sheet.About().PrinterModelText(), QStringLiteral("Korea"));

        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
        QVERIFY(f.messages.shown.empty());

        QCOMPARE(f.hive.Printer(kPrinter, "PrinterLanguageModel"),
                 std::optional<std::string>("013"));
        QCOMPARE(f.hive.Printer(kPrinter, "PaperModel"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Printer(kPrinter, "Column"), std::optional<std::string>("000"));
        QCOMPARE(f.hive.Drawer(kCd2, "CapStatus"), std::optional<std::string>("000"));
        QCOMPARE(f.hive.Drawer(kCd1, "CapStatus"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Printer(kPrinter, "StatusBackInterval"), std::optional<std::string>("350"));
        QCOMPARE(f.hive.Drawer(kCd1, "StatusBackInterval"), std::optional<std::string>("350"));
        QCOMPARE(f.hive.Drawer(kCd2, "StatusBackInterval"), std::optional<std::string>("350"));
        // Exactly the changed values, once each; the file keeps its format.
        QCOMPARE(f.registry.writes.size(), std::size_t{7});
        const std::string file = f.hive.FileText();
        QVERIFY(file.rfind("Windows Registry Editor Version 5.00", 0) == 0);
        QVERIFY(file.find("\"PrinterLanguageModel\"=\"013\"") != std::string::npos);
    }

    void applyThenOkWritesEachChangeOnceAndCancelWritesNoMore() {
        Fixture f;
        f.LoadInstalled();
        {
            CQMXSetupSheet sheet(f.registry, f.messages, f.services);
            sheet.show();
            QTest::mouseClick(Child<QCheckBox>(sheet.General(), "MapResolution"), Qt::LeftButton);
            QTest::mouseClick(sheet.ApplyButton(), Qt::LeftButton);
            QVERIFY(!sheet.ApplyButton()->isEnabled());
            QCOMPARE(f.hive.Printer(kPrinter, "MapResolution"), std::optional<std::string>("001"));
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
            QCOMPARE(f.registry.CountFor("MapResolution"), 1);
            QCOMPARE(f.registry.writes.size(), std::size_t{1});
        }
        {
            CQMXSetupSheet sheet(f.registry, f.messages, f.services);
            sheet.show();
            QTest::mouseClick(Child<QCheckBox>(sheet.General(), "MapResolution"), Qt::LeftButton);
            QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
            QCOMPARE(sheet.result(), int(QDialog::Rejected));
        }
        QCOMPARE(f.registry.writes.size(), std::size_t{1});
        QCOMPARE(f.hive.Printer(kPrinter, "MapResolution"), std::optional<std::string>("001"));
    }

    void choosingAnotherPrinterReloadsTheOtherPages() {
        Fixture f;
        f.LoadInstalled();
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        sheet.show();
        sheet.SetActivePage(1);
        QCOMPARE(Child<QComboBox>(sheet.CashDrawer(), "CashDrawers")->count(), 2);
        sheet.SetActivePage(0);
        auto* printers = Child<QComboBox>(sheet.General(), "PrinterName");
        printers->setFocus();
        QTest::keyClick(printers, Qt::Key_Home);
        QCOMPARE(printers->currentText(), QLatin1String(kRtk410Name));
        // Only 58 and 80 mm exist for this model.
        QVERIFY(!Child<QRadioButton>(sheet.General(), "Width60mm")->isEnabled());
        sheet.SetActivePage(1);
        QCOMPARE(Child<QComboBox>(sheet.CashDrawer(), "CashDrawers")->count(), 0);
        QCOMPARE(Child<QLineEdit>(sheet.CashDrawer(), "SignalTime")->text(), QString());
        sheet.SetActivePage(2);
        QCOMPARE(Child<QComboBox>(sheet.Port(), "SelectPort")->currentIndex(), -1);
    }

    // Passing over a printer on the way to another leaves nothing of it in the other's key.
    void applyAfterSwitchingPrintersWritesNothingUntouched() {
        Fixture f;
        f.hive.Load({PrinterDevice(
                         kQmx5500Name,
                         {{"PrinterName", kQmx5500Name}, {"PaperModel", "000"}, {"Column", "000"}}),
                     PrinterDevice(kRtk410Name, {{"PrinterName", kRtk410Name},
                                                 {"PaperSensor", "001"},
                                                 {"PrinterLanguageModel", "009"},
                                                 {"BitmapMode", "003"},
                                                 {"MapResolution", "001"},
                                                 {"PaperModel", "002"},
                                                 {"Column", "001"}})},
                    {DrawerOf("RTK410.TALVERN.CD1", kRtk410Name, {{"Pin3", "001"}})});
        const std::string before = f.hive.FileText();
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        sheet.show();
        auto* printers = Child<QComboBox>(sheet.General(), "PrinterName");
        printers->setFocus();
        QTest::keyClick(printers, Qt::Key_Down);
        QCOMPARE(printers->currentText(), QLatin1String(kRtk410Name));
        sheet.SetActivePage(1);  // the RT-K410's drawer shows
        sheet.SetActivePage(0);
        QTest::keyClick(printers, Qt::Key_Up);
        QCOMPARE(printers->currentText(), QLatin1String(kQmx5500Name));
        QCOMPARE(Child<QComboBox>(sheet.General(), "LanguageModel")->currentText(),
                 QStringLiteral("Norway"));
        QVERIFY(sheet.ApplyButton()->isEnabled());
        QTest::mouseClick(sheet.ApplyButton(), Qt::LeftButton);
        QVERIFY(f.registry.writes.empty());
        for (const char* name :
             {"PaperSensor", "PrinterLanguageModel", "BitmapMode", "MapResolution"}) {
            QVERIFY2(!f.hive.Printer(kQmx5500Name, name), name);
        }
        QCOMPARE(f.hive.FileText(), before);

        // What the user sets is written.
        auto* bitmapMode = Child<QComboBox>(sheet.General(), "BitmapMode");
        bitmapMode->setFocus();
        QTest::keyClick(bitmapMode, Qt::Key_Home);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        QCOMPARE(f.hive.Printer(kQmx5500Name, "BitmapMode"), std::optional<std::string>("000"));
        QCOMPARE(f.registry.writes.size(), std::size_t{1});
    }

    void missingPrinterRootReportsOnceAndTheSheetStillCloses() {
        Fixture f;
        f.hive.Load({}, {DrawerOf(kCd1, kPrinter)}, false, true);
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        sheet.show();
        QCOMPARE(f.messages.Count(kError1311), 1);
        QCOMPARE(Child<QComboBox>(sheet.General(), "PrinterName")->count(), 0);
        QCOMPARE(Child<QComboBox>(sheet.General(), "LanguageModel")->count(), 0);
        sheet.SetActivePage(3);
        QCOMPARE(sheet.About().PrinterNameText(), QString());
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        QCOMPARE(sheet.result(), int(QDialog::Accepted));
        QCOMPARE(f.messages.Count(kError1311), 1);
        QVERIFY(f.registry.writes.empty());
    }

    void screenshotsCoverEveryPageAndWriteNothing() {
        Fixture f;
        f.LoadInstalled();
        QTemporaryDir dir;
        CQMXSetupSheet sheet(f.registry, f.messages, f.services);
        sheet.show();
        QVERIFY(sheet.SaveScreenshots(dir.path(), f.registry, f.messages));
        for (const char* name :
             {"general.png", "cashdrawer.png", "port.png", "aboutus.png", "comproperties.png"}) {
            QImage image(QDir(dir.path()).filePath(QString::fromLatin1(name)));
            QVERIFY2(!image.isNull(), name);
            QVERIFY(image.width() > 100 && image.height() > 100);
        }
        QVERIFY(f.registry.writes.empty());
    }
};

SETUP_TEST_MAIN(SheetTest)
#include "sheet_test.moc"
