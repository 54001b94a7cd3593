// General page logic and the registry helpers it stands on.
#include "SetupTestSupport.h"
#include "setup/GeneralDlg.h"

using namespace setup;
using namespace setuptest;

namespace {

const std::string kQmx = kQmx5500Name;
const std::string kRtk410 = kRtk410Name;
const std::string kRtk6100 = kRtk6100Name;

struct Fixture {
    Hive hive;
    CountingRegistry registry;
    ScriptedMessages messages;
    GeneralPage page{registry, messages};
};

int IndexOf(const GeneralControls& c, const std::string& printer) {
    for (std::size_t i = 0; i < c.printers.size(); ++i) {
        if (c.printers[i] == printer) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

class GeneralPageTest : public QObject {
    Q_OBJECT
  private slots:
    void codeFormat_data() {
        QTest::addColumn<unsigned>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0u << "000";
        QTest::newRow("one") << 1u << "001";
        QTest::newRow("five") << 5u << "005";
        QTest::newRow("twelve") << 12u << "012";
        QTest::newRow("four digits stay whole") << 2000u << "2000";
        QTest::newRow("largest") << 4294967295u << "4294967295";
    }
    void codeFormat() {
        QFETCH(unsigned, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(FormatCode(value)), text);
    }

    void decimalParsing_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<unsigned>("value");
        QTest::newRow("empty") << "" << 0u;
        QTest::newRow("no digits") << "abc" << 0u;
        QTest::newRow("leading digits only") << "12x3" << 12u;
        QTest::newRow("code text") << "007" << 7u;
        QTest::newRow("sign is not a digit") << "-5" << 0u;
        QTest::newRow("overlong saturates, never wraps") << "99999999999999999999" << 4294967295u;
    }
    void decimalParsing() {
        QFETCH(QString, text);
        QFETCH(unsigned, value);
        QCOMPARE(ParseDecimal(text.toStdString()), value);
    }

    void listsOnlyFamilyOnePrintersAndOpensOnTheRtk6100() {
        Fixture f;
        f.hive.Load({{"Other.Printer", {{"FamilyID", "01"}}},
                     PrinterDevice(kQmx),
                     {"NoFamily.Printer", {}},
                     PrinterDevice(kRtk410),
                     PrinterDevice(kRtk6100)},
                    {});
        f.page.Initialize();
        const GeneralControls& c = f.page.Controls();
        QCOMPARE(c.printers, (std::vector<std::string>{kQmx, kRtk410, kRtk6100}));
        QCOMPARE(f.page.SelectedPrinter(), kRtk6100);
        QCOMPARE(c.languages.size(), std::size_t{14});
        QCOMPARE(c.languages.back(), std::string("Korea"));
        QCOMPARE(c.bitmapModes, (std::vector<std::string>{"Normal", "Double-Width", "Double-Height",
                                                          "Quadruple"}));
        QVERIFY(f.messages.shown.empty());
    }

    void opensOnTheFirstPrinterWithoutAnRtk6100AndMatchesItsNameInAnyCase() {
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk410), PrinterDevice(kQmx)}, {});
        f.page.Initialize();
        QCOMPARE(f.page.SelectedPrinter(), kRtk410);

        Fixture g;
        g.hive.Load({PrinterDevice(kQmx), PrinterDevice("rtk6100.talvern.posprinter")}, {});
        g.page.Initialize();
        QCOMPARE(g.page.SelectedPrinter(), std::string("rtk6100.talvern.posprinter"));
    }

    void missingPrinterRootShowsError1311OnceAndLeavesEverythingEmpty() {
        Fixture f;
        f.hive.Load({}, {DrawerOf("RTK410.TALVERN.CD1", kRtk410)}, false, true);
        f.page.Initialize();
        QCOMPARE(f.messages.shown.size(), std::size_t{1});
        QCOMPARE(f.messages.shown[0].text, std::string(kError1311));
        QCOMPARE(f.messages.shown[0].icon, CMessageBoxes::Icon::Critical);
        QCOMPARE(f.messages.shown[0].buttons, CMessageBoxes::Buttons::Ok);
        QVERIFY(f.page.Controls().printers.empty());
        QVERIFY(f.page.Controls().languages.empty());
        QVERIFY(f.page.Controls().bitmapModes.empty());
        QVERIFY(!f.page.Controls().showPicture);
        f.page.RestoreDefault();
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
    }

    void withoutAnyPrinterNothingIsWrittenIntoTheRoot() {
        Fixture f;
        f.hive.Load({{"Other.Printer", {{"FamilyID", "2"}}}}, {});
        f.page.Initialize();
        QVERIFY(f.messages.shown.empty());
        QCOMPARE(f.page.Controls().printer, -1);
        f.page.ChooseLanguage(13);
        f.page.Save();
        QVERIFY(f.registry.writes.empty());
        QVERIFY(!f.hive.Value(std::string(thermpos::platform::regpath::kServiceOpos) + "\\" +
                                  thermpos::platform::regpath::kPrinterClass,
                              "PaperModel"));
    }

    void fiftyEightMillimetreColumnsFollowTheModel() {
        Fixture f;
        f.hive.Load(
            {PrinterDevice(kRtk410,
                           {{"PrinterName", kRtk410}, {"PaperModel", "000"}, {"Column", "000"}}),
             PrinterDevice(kQmx,
                           {{"PrinterName", kQmx}, {"PaperModel", "000"}, {"Column", "000"}})},
            {});
        f.page.Initialize();
        QCOMPARE(f.page.SelectedPrinter(), kRtk410);
        const GeneralControls& c = f.page.Controls();
        QVERIFY(c.columnEnabled[kCol30] && c.columnEnabled[kCol32] && !c.columnEnabled[kCol36]);
        QVERIFY(!c.widthEnabled[kWidth60] && !c.widthEnabled[kWidth83]);
        f.page.ChooseColumn(kCol32);
        f.page.Save();
        QCOMPARE(f.hive.Printer(kRtk410, "Column"), std::optional<std::string>("001"));
        QCOMPARE(f.registry.CountFor("PaperModel"), 0);

        f.page.ChoosePrinter(IndexOf(c, kQmx));
        QVERIFY(c.columnEnabled[kCol36] && !c.columnEnabled[kCol32]);
        QVERIFY(c.columnChecked[kCol30]);
        f.page.ChooseColumn(kCol36);
        f.page.Save();
        QCOMPARE(f.hive.Printer(kQmx, "Column"), std::optional<std::string>("001"));
    }

    void rtk6100At60MillimetresStoresWidthOneColumnZero() {
        Fixture f;
        f.hive.Load(
            {PrinterDevice(kRtk6100,
                           {{"PrinterName", kRtk6100}, {"PaperModel", "002"}, {"Column", "001"}})},
            {});
        f.page.Initialize();
        const GeneralControls& c = f.page.Controls();
        QVERIFY(c.widthChecked[kWidth80] && c.columnChecked[kCol48]);
        QCOMPARE(c.widthEnabled, (std::array<bool, kWidthCount>{true, true, true, true}));
        f.page.ChooseWidth(kWidth60);
        QVERIFY(c.columnChecked[kCol36] && c.columnEnabled[kCol36]);
        QVERIFY(!c.columnEnabled[kCol42] && !c.columnChecked[kCol48]);
        QVERIFY(f.page.IsChanged());
        f.page.Save();
        QCOMPARE(f.hive.Printer(kRtk6100, "PaperModel"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Printer(kRtk6100, "Column"), std::optional<std::string>("000"));
    }

    void koreaIsStoredAsThirteen() {
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk6100, {{"PrinterLanguageModel", "000"}})}, {});
        f.page.Initialize();
        QCOMPARE(f.page.LanguageText(), std::string("U.S.A"));
        f.page.ChooseLanguage(13);
        QCOMPARE(f.page.LanguageText(), std::string("Korea"));
        f.page.Save();
        QCOMPARE(f.hive.Printer(kRtk6100, "PrinterLanguageModel"),
                 std::optional<std::string>("013"));
    }

    void restoreDefaultOn58And30StoresEightyMillimetresAnd48Columns() {
        Fixture f;
        f.hive.Load({PrinterDevice(kQmx, {{"PrinterName", kQmx},
                                          {"PaperModel", "000"},
                                          {"Column", "000"},
                                          {"BitmapMode", "002"},
                                          {"PaperSensor", "000"},
                                          {"MapResolution", "001"},
                                          {"PrinterLanguageModel", "005"}})},
                    {});
        f.page.Initialize();
        f.page.RestoreDefault();
        QVERIFY2(!f.page.IsChanged(), "Restore Default alone does not mark the page changed");
        const GeneralControls& c = f.page.Controls();
        QCOMPARE(c.widthEnabled, (std::array<bool, kWidthCount>{true, false, true, false}));
        QCOMPARE(c.columnEnabled,
                 (std::array<bool, kColumnCount>{false, false, false, true, true, false}));
        f.page.Save();
        QCOMPARE(f.hive.Printer(kQmx, "PaperModel"), std::optional<std::string>("002"));
        QCOMPARE(f.hive.Printer(kQmx, "Column"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Printer(kQmx, "BitmapMode"), std::optional<std::string>("000"));
        QCOMPARE(f.hive.Printer(kQmx, "PaperSensor"), std::optional<std::string>("001"));
        QCOMPARE(f.hive.Printer(kQmx, "MapResolution"), std::optional<std::string>("000"));
        QCOMPARE(f.hive.Printer(kQmx, "PrinterLanguageModel"), std::optional<std::string>("000"));
    }

    void savingTwiceWritesEachChangedValueOnce() {
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk6100, {{"PrinterName", kRtk6100},
                                              {"BitmapMode", "000"},
                                              {"PrinterLanguageModel", "000"},
                                              {"PaperSensor", "000"},
                                              {"MapResolution", "000"},
                                              {"PaperModel", "002"},
                                              {"Column", "000"}})},
                    {});
        f.page.Initialize();
        f.page.Save();
        QVERIFY2(f.registry.writes.empty(), "nothing changed, nothing written");
        f.page.ChooseBitmapMode(3);
        f.page.SetMapResolution(true);
        f.page.Save();  // Apply
        f.page.Save();  // OK
        QCOMPARE(f.registry.writes.size(), std::size_t{2});
        QCOMPARE(f.registry.CountFor("BitmapMode"), 1);
        QCOMPARE(f.registry.CountFor("MapResolution"), 1);
        QCOMPARE(f.hive.Printer(kRtk6100, "BitmapMode"), std::optional<std::string>("003"));
    }

    // A printer whose key lacks values shows the previous printer's; saving must not copy
    // them into its key unless the user sets the control.
    void absentValueShowsThePreviousPrintersButIsNotStoredUntilSet_data() {
        QTest::addColumn<QString>("touch");
        QTest::addColumn<QStringList>("written");
        QTest::newRow("nothing touched") << "" << QStringList{};
        QTest::newRow("language chosen") << "language" << QStringList{"PrinterLanguageModel"};
        QTest::newRow("bitmap mode chosen") << "bitmap" << QStringList{"BitmapMode"};
        QTest::newRow("map resolution ticked") << "map" << QStringList{"MapResolution"};
        QTest::newRow("sensor chosen") << "sensor" << QStringList{"PaperSensor"};
        QTest::newRow("column chosen") << "column" << QStringList{"Column"};
        QTest::newRow("width chosen") << "width" << QStringList{"PaperModel", "Column"};
        QTest::newRow("restore default")
            << "default" << QStringList{"PaperSensor", "PrinterLanguageModel", "PaperModel",
                                        "Column",      "BitmapMode",           "MapResolution"};
    }
    void absentValueShowsThePreviousPrintersButIsNotStoredUntilSet() {
        QFETCH(QString, touch);
        QFETCH(QStringList, written);
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk410, {{"PrinterName", kRtk410},
                                             {"PrinterLanguageModel", "009"},
                                             {"BitmapMode", "002"},
                                             {"PaperSensor", "001"},
                                             {"MapResolution", "001"},
                                             {"PaperModel", "002"},
                                             {"Column", "001"}}),
                     PrinterDevice(kQmx, {{"PrinterName", kQmx}})},
                    {});
        f.page.Initialize();
        f.page.ChoosePrinter(1);
        const GeneralControls& c = f.page.Controls();
        QCOMPARE(f.page.LanguageText(), std::string("Norway"));
        QVERIFY(c.widthChecked[kWidth80] && c.columnChecked[kCol48]);
        QVERIFY(c.paperNearEnd && c.mapResolution);
        if (touch == "language") {
            f.page.ChooseLanguage(9);
        } else if (touch == "bitmap") {
            f.page.ChooseBitmapMode(2);
        } else if (touch == "map") {
            f.page.SetMapResolution(true);
        } else if (touch == "sensor") {
            f.page.ChoosePaperSensor(true);
        } else if (touch == "column") {
            f.page.ChooseColumn(kCol48);
        } else if (touch == "width") {
            f.page.ChooseWidth(kWidth80);
        } else if (touch == "default") {
            f.page.RestoreDefault();
        }
        f.page.Save();
        QStringList names;
        for (const Write& w : f.registry.writes) {
            QCOMPARE(w.key, PrinterKey(kQmx));
            names << QString::fromStdString(w.name);
        }
        QCOMPARE(names, written);
        for (const char* name : {"PrinterLanguageModel", "BitmapMode", "PaperSensor",
                                 "MapResolution", "PaperModel", "Column"}) {
            QCOMPARE(f.hive.Printer(kQmx, name).has_value(), written.contains(name));
        }
        // A value once set is this printer's: saving again writes nothing more.
        f.page.Save();
        QCOMPARE(f.registry.writes.size(), static_cast<std::size_t>(written.size()));
    }

    void widthsOfferedFollowThePrinterNameValue() {
        Fixture f;
        // The logical name says RT-K6100 but the PrinterName value says RT-K410: the widths
        // follow the value, the 58 mm columns the logical name.
        f.hive.Load(
            {PrinterDevice(kRtk6100,
                           {{"PrinterName", kRtk410}, {"PaperModel", "000"}, {"Column", "001"}})},
            {});
        f.page.Initialize();
        const GeneralControls& c = f.page.Controls();
        QCOMPARE(c.widthEnabled, (std::array<bool, kWidthCount>{true, false, true, false}));
        QVERIFY(c.columnChecked[kCol36] && c.columnEnabled[kCol36] && !c.columnEnabled[kCol32]);
    }

    void storedPositionsPastTheListsAreNotWrittenBackAsGarbage() {
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk6100, {{"PrinterLanguageModel", "020"},
                                              {"BitmapMode", "9"},
                                              {"PaperModel", "007"}})},
                    {});
        f.page.Initialize();
        QCOMPARE(f.page.Controls().language, -1);
        QCOMPARE(f.page.Controls().bitmapMode, -1);
        QCOMPARE(f.page.LanguageText(), std::string());
        f.page.Save();
        QCOMPARE(f.hive.Printer(kRtk6100, "PrinterLanguageModel"),
                 std::optional<std::string>("020"));
        QCOMPARE(f.hive.Printer(kRtk6100, "BitmapMode"), std::optional<std::string>("9"));
        QCOMPARE(f.registry.CountFor("PrinterLanguageModel"), 0);
        QCOMPARE(f.registry.CountFor("BitmapMode"), 0);
    }

    void keysAreNeverCreated() {
        Fixture f;
        f.hive.Load({PrinterDevice(kRtk6100)}, {});
        CSetupRegistry plain;
        QVERIFY(!plain.WriteValue("Port", "COM1:", PrinterKey("Missing.Printer")));
        QVERIFY(!plain.WriteValue("Port", "COM1:", kPrinterRoot));
        QVERIFY(!f.hive.Printer("Missing.Printer", "Port"));
        QVERIFY(plain.WriteValue("Port", "COM1:", PrinterKey(kRtk6100)));
        QCOMPARE(plain.ReadValue("Port", PrinterKey(kRtk6100)),
                 std::optional<std::string>("COM1:"));
    }
};

SETUP_TEST_MAIN(GeneralPageTest)
#include "general_page_test.moc"
