// The real PrnExerciser program in a process of its own, driven by an operator script,
// against the virtual printer on a pty and the real control and service objects; and the
// script reader's handling of what an operator may write.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "exerciser/OperatorScript.h"
#include "tests/exerciser/ExerciserTestSupport.h"
#include "tests/so/TestSupport.h"
#include "tests/support/virtual_printer.h"

using thermpos::vprinter::VirtualPrinter;
using namespace std::chrono_literals;

namespace {

constexpr int kLimitMs = 60000;

// A PrnExerciser run: its output read as it comes, so a test can act on a mark.
struct Run {
    QProcess process;
    QByteArray out;
    QByteArray err;

    explicit Run(const QString& script) {
        process.setProgram(QStringLiteral(PRNEXERCISER_PROGRAM));
        process.setArguments({QStringLiteral("--script"), QStringLiteral("-")});
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        process.start();
        process.write(script.toUtf8());
        process.closeWriteChannel();
    }
    ~Run() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    bool Printed(const char* mark) {
        return extest::WaitFor([&] { return out.contains(mark); }, kLimitMs);
    }
    // Exit code, or -1 when it did not end by itself.
    int Finish() {
        if (!extest::WaitFor([&] { return process.state() == QProcess::NotRunning; }, kLimitMs))
            return -1;
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QStringList Lines(const char* prefix) const {
        QStringList lines;
        for (const QByteArray& l : out.split('\n'))
            if (l.startsWith(prefix))
                lines << QString::fromUtf8(l.mid(qstrlen(prefix)));
        return lines;
    }
};

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QCOMPARE(sotest::RegisterServer(sotest::ServerPath()), LONG(S_OK));
        QCOMPARE(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), LONG(S_OK));
        sotest::DeleteTree("SOFTWARE\\OLEforRetail");
        sotest::WriteDevice("POSPrinter", extest::kPrinter, {{"Port", extest::kPort}});
        sotest::WriteDevice("CashDrawer", extest::kDrawer, {{"Port", extest::kPort}});
    }

    // The operator's first session: select, Open, Claim, Enable, print the current text,
    // the cover opened at the printer while the script waits for it, Close.
    void sessionInItsOwnProcess() {
        VirtualPrinter vp;
        std::string error;
        const std::string outDir = thermpos::testing::StartOnPty(vp, extest::kPort, "e2e", &error);
        QVERIFY2(!outDir.empty(), error.c_str());

        Run run(
            QStringLiteral("select RT-K410\n"
                           "trigger OpenPrinterButton\n"
                           "trigger ClaimPrinterButton\n"
                           "trigger EnablePrinterButton\n"
                           "trigger PrintCurrentTextButton\n"
                           "trigger PrintListButton\n"
                           "trigger PaperCut\n"
                           "echo ready-for-cover\n"
                           "wait-status Cover Open checked 30\n"
                           "wait-event Status: Printer Cover open 30\n"
                           "trigger ClosePrinterButton\n"
                           "dump\n"
                           "quit\n"));
        QVERIFY2(run.Printed("ready-for-cover"), run.err.constData());
        vp.SetCover(true);
        QCOMPARE(run.Finish(), 0);
        QCOMPARE(run.Lines("result: "),
                 QStringList({"Open : Successful", "Claim : Successful",
                              "DeviceEnable=TRUE : Successful", "PrintNormal : Successful",
                              "Paper Full Cut: : Successful", "Close : Successful"}));
        QCOMPARE(run.Lines("event: "), QStringList({"Status: Printer Cover open"}));
        QVERIFY(run.Lines("status: ").contains("CoverOpenCheckBox checked disabled"));
        QVERIFY(vp.WaitReceipts(1, 10s));
        vp.Stop();
        QFile log(QString::fromStdString(outDir + "/commands.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("Enter Text to Format"));
    }

    // What stops a script, and how the caller can tell: 2 with the line for a line that
    // cannot run (found before the window opens, or when it is reached), 3 for a wait
    // that gives up.
    void failuresEndTheProgramWithTheirCode() {
        Run unknown(QStringLiteral("# fine\n\nselect RT-K410\nfrobnicate now\nquit\n"));
        QCOMPARE(unknown.Finish(), exerciser::kScriptBadLine);
        QVERIFY2(unknown.err.contains("line 4: unknown command 'frobnicate'"),
                 unknown.err.constData());

        Run missing(QStringLiteral("echo started\ntrigger NoSuchButton\nquit\n"));
        QCOMPARE(missing.Finish(), exerciser::kScriptBadLine);
        QVERIFY(missing.out.contains("started"));
        QVERIFY2(missing.err.contains("script line 2"), missing.err.constData());

        Run property(QStringLiteral("wait-property NoSuchProperty 1\nquit\n"));
        QCOMPARE(property.Finish(), exerciser::kScriptBadLine);
        QVERIFY2(property.err.contains("cannot read the property NoSuchProperty"),
                 property.err.constData());

        Run waiting(QStringLiteral("wait-event Status: Printer Cover open 0.2\nquit\n"));
        QCOMPARE(waiting.Finish(), exerciser::kScriptTimedOut);
        QVERIFY2(waiting.err.contains("script line 1"), waiting.err.constData());
    }

    void scriptLinesAreReadAsWritten() {
        std::vector<exerciser::ScriptLine> lines;
        QString error;
        QVERIFY(exerciser::ParseScript(QStringLiteral("wait-receipts 2\r\n"
                                                      "wait-receipts 2 5\n"
                                                      "wait-event Status: Printer Online\n"
                                                      "wait-status Cover Open unchecked 1.5\n"
                                                      "print   two  blanks \n"
                                                      "print\n"
                                                      "\twait-event\tStatus: Printer Online\t3\n"),
                                       &lines, &error));
        QCOMPARE(lines.size(), size_t(7));
        // A number alone is the count, not a time limit.
        QCOMPARE(lines[0].args, QStringList{"2"});
        QCOMPARE(lines[0].seconds, 10.0);
        QCOMPARE(lines[1].seconds, 5.0);
        QCOMPARE(lines[2].args, QStringList{"Status: Printer Online"});
        QCOMPARE(lines[3].args, QStringList({"Cover Open", "unchecked"}));
        QCOMPARE(lines[3].seconds, 1.5);
        QCOMPARE(lines[4].args, QStringList{"  two  blanks "});
        QCOMPARE(lines[5].args, QStringList{""});
        QCOMPARE(lines[6].args, QStringList{"Status: Printer Online"});
        QCOMPARE(lines[6].seconds, 3.0);

        for (const char* bad : {"answer maybe", "wait-status Cover Open", "wait-event x 0",
                                "wait-event x 1e9", "trigger", "trigger a b", "dump now",
                                "print \\q", "print \\x4", "wait-receipts many"}) {
            QVERIFY2(!exerciser::ParseScript(QStringLiteral("echo a\n") + bad, &lines, &error),
                     bad);
            QVERIFY2(error.startsWith("line 2: "), qPrintable(error));
        }
        QVERIFY(!exerciser::ParseScript(QString(5000, QLatin1Char('x')), &lines, &error));

        std::string bytes;
        QVERIFY(exerciser::UnescapePrintText(QStringLiteral("a\\e|fP\\x00\\\\\\n"), &bytes));
        QCOMPARE(bytes, std::string("a\x1b|fP\0\\\n", 8));
    }
};

EXERCISER_TEST_MAIN(EndToEndTest)
#include "e2e_test.moc"
