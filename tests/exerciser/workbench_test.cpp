// PrnExerciser --virtual: the whole workbench in a process of its own (private registry,
// the virtual printer as its child, the dock's preview and buttons) driven by a script;
// and the dock's preview and control client on their own.
#include <QDir>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "exerciser/WorkbenchDock.h"
#include "tests/exerciser/ExerciserTestSupport.h"

namespace {

constexpr int kLimitMs = 60000;

QStringList Prefixed(const QByteArray& out, const char* prefix) {
    QStringList lines;
    for (const QByteArray& l : out.split('\n'))
        if (l.startsWith(prefix))
            lines << QString::fromUtf8(l.mid(qstrlen(prefix)));
    return lines;
}

bool SavePng(const QString& path, int height) {
    QImage image(384, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image.save(path, "PNG");
}

}  // namespace

class WorkbenchTest : public QObject {
    Q_OBJECT

  private slots:
    // A receipt printed shows in the preview; the cover opened from the dock stops the
    // next one with an ErrorEvent, and Retry after the cover is closed from the dock (while
    // the question waits) prints it once.
    void workbenchPrintsPreviewsAndProvokesErrors() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QProcess p;
        p.setProgram(QStringLiteral(PRNEXERCISER_PROGRAM));
        p.setArguments({QStringLiteral("--virtual"), folder.path(), QStringLiteral("--script"),
                        QStringLiteral("-")});
        p.start();
        p.write(
            "select RT-K410\n"
            "trigger OpenPrinterButton\n"
            "trigger ClaimPrinterButton\n"
            "trigger EnablePrinterButton\n"
            "print first receipt\\n\\e|fP\n"
            "wait-receipts 1 30\n"
            "dump\n"
            "trigger CoverOpenButton\n"
            "wait-status Cover Open checked 30\n"
            "trigger AsyncFlagCheck\n"
            "print second receipt\\n\\e|fP\n"
            "wait-message Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened. 30\n"
            "trigger CoverCloseButton\n"
            "wait-property CoverOpen 0 30\n"
            "answer retry\n"
            "wait-receipts 2 30\n"
            "trigger ClosePrinterButton\n"
            "dump\n"
            "quit\n");
        p.closeWriteChannel();
        QVERIFY(extest::WaitFor([&] { return p.state() == QProcess::NotRunning; }, kLimitMs));
        const QByteArray out = p.readAllStandardOutput();
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());

        const QStringList sessions = QDir(folder.filePath(QStringLiteral("receipts")))
                                         .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(sessions.size(), 1);
        const QDir receipts(folder.filePath(QStringLiteral("receipts/") + sessions[0]));
        QCOMPARE(receipts.entryList({QStringLiteral("receipt-*.png")}, QDir::Files),
                 QStringList({"receipt-0001.png", "receipt-0002.png"}));
        QCOMPARE(Prefixed(out, "receipts: "),
                 QStringList({"1 preview: " + receipts.filePath("receipt-0001.png"),
                              "2 preview: " + receipts.filePath("receipt-0002.png")}));
        QCOMPARE(Prefixed(out, "message: "),
                 QStringList{"Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened."});
        QVERIFY(Prefixed(out, "event: ").contains("Status: Printer Cover open"));
        QCOMPARE(Prefixed(out, "result: ").last(), QString("Close : Successful"));

        // What the printer decoded: the retried job once.
        QFile log(receipts.filePath(QStringLiteral("commands.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray decoded = log.readAll();
        QCOMPARE(decoded.count("second receipt"), qsizetype(1));
        QCOMPARE(decoded.count("first receipt"), qsizetype(1));

        // The registry was the folder's; the printer was stopped with the program.
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("registry.reg"))));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("printer"))));
    }

    // A script that fails ends the program with its code, and the printer with it; so
    // does killing the program.
    void failedSessionStopsThePrinter() {
        QTemporaryDir folder;
        QProcess p;
        p.start(QStringLiteral(PRNEXERCISER_PROGRAM),
                {QStringLiteral("--virtual"), folder.path(), QStringLiteral("--script"),
                 QStringLiteral("-")});
        p.write("echo up\nvprinter cover ajar\nquit\n");
        p.closeWriteChannel();
        QVERIFY(extest::WaitFor([&] { return p.state() == QProcess::NotRunning; }, kLimitMs));
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(p.exitCode(), 2);
        QVERIFY2(err.contains("script line 2 (vprinter): the virtual printer answered: error"),
                 err.constData());
        QVERIFY(p.readAllStandardOutput().contains("up"));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("printer"))));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("printer.ctl"))));

        // Killed outright, the program takes its printer with it.
        QProcess killed;
        killed.start(QStringLiteral(PRNEXERCISER_PROGRAM),
                     {QStringLiteral("--virtual"), folder.path(), QStringLiteral("--script"),
                      QStringLiteral("-")});
        killed.write("echo up\n");
        killed.closeWriteChannel();
        QVERIFY(extest::WaitFor([&] { return killed.readAllStandardOutput().contains("up"); },
                                kLimitMs));
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("printer.ctl"))));
        killed.kill();
        QVERIFY(killed.waitForFinished(kLimitMs));
        QVERIFY(extest::WaitFor(
            [&] { return !QFile::exists(folder.filePath(QStringLiteral("printer.ctl"))); },
            kLimitMs));
    }

    // The folder's registry names the libraries this program loads: a folder another user
    // made, or one others may write in, is refused before anything is read from it or
    // written to it; a missing one is made private.
    void foreignOrOpenFolderIsRefusedAndAMissingOneMadePrivate() {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const auto runQuit = [](const QString& folder, QByteArray* err) {
            QProcess p;
            p.start(QStringLiteral(PRNEXERCISER_PROGRAM),
                    {QStringLiteral("--virtual"), folder, QStringLiteral("--script"),
                     QStringLiteral("-")});
            p.write("quit\n");
            p.closeWriteChannel();
            if (!p.waitForFinished(kLimitMs))
                p.kill();
            p.waitForFinished(kLimitMs);
            *err = p.readAllStandardError();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };

        const QString fresh = base.filePath(QStringLiteral("new/wb"));
        const mode_t old = umask(0);
        QByteArray err;
        const int code = runQuit(fresh, &err);
        umask(old);
        QVERIFY2(code == 0, err.constData());
        struct stat st {};
        QCOMPARE(stat(QFile::encodeName(fresh).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0700u);
        for (const char* sub : {"receipts", "locks"}) {
            QCOMPARE(stat(QFile::encodeName(fresh + "/" + sub).constData(), &st), 0);
            QCOMPARE(st.st_mode & 077, 0u);
        }

        if (geteuid() != 0)
            QSKIP("needs root to give a folder to uid 65534");
        struct Case {
            const char* name;
            uid_t owner;
            gid_t group;
            mode_t mode;
        };
        const Case cases[] = {
            {"foreign", 65534, 65534, 0755},
            {"foreign-private", 65534, 65534, 0700},
            {"open", geteuid(), getegid(), 0777},
            {"group", geteuid(), 65534, 0770},
        };
        for (const Case& c : cases) {
            const QString folder = base.filePath(QString::fromLatin1(c.name));
            const QByteArray native = QFile::encodeName(folder);
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(chown(native.constData(), c.owner, c.group) == 0);
            QVERIFY(chmod(native.constData(), c.mode) == 0);
            QVERIFY2(runQuit(folder, &err) == 1, c.name);
            QVERIFY2(err.contains(native) && err.contains("mode"), err.constData());
            QVERIFY2(QDir(folder).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                     c.name);
        }
    }

    // The preview follows the newest complete receipt of the folder; files being written
    // and other names are not receipts.
    void previewShowsTheNewestReceipt() {
        QTemporaryDir dir;
        exerciser::WorkbenchDock dock(dir.path(), dir.filePath(QStringLiteral("none.ctl")));
        QCOMPARE(dock.ReceiptCount(), 0);
        QVERIFY(dock.CurrentReceipt().isEmpty());

        QVERIFY(SavePng(dir.filePath(QStringLiteral("receipt-0001.png")), 200));
        QVERIFY(extest::WaitFor([&] { return dock.ReceiptCount() == 1; }));
        QCOMPARE(dock.CurrentReceipt(), dir.filePath(QStringLiteral("receipt-0001.png")));

        QVERIFY(SavePng(dir.filePath(QStringLiteral("receipt-0002.png.part")), 100));
        QVERIFY(SavePng(dir.filePath(QStringLiteral("notes.png")), 100));
        QFile broken(dir.filePath(QStringLiteral("receipt-0003.png")));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not a picture");
        broken.close();
        QVERIFY(extest::WaitFor([&] { return dock.ReceiptCount() == 2; }));
        // A file that cannot be shown leaves the preview on the last good receipt.
        QCOMPARE(dock.CurrentReceipt(), dir.filePath(QStringLiteral("receipt-0001.png")));
        QVERIFY(dock.Preview()->text().startsWith("Cannot show receipt-0003.png"));

        QVERIFY(SavePng(dir.filePath(QStringLiteral("receipt-0004.png")), 300));
        QVERIFY(extest::WaitFor([&] { return dock.ReceiptCount() == 3; }));
        QCOMPARE(dock.CurrentReceipt(), dir.filePath(QStringLiteral("receipt-0004.png")));
        // An earlier receipt chosen in the list is shown.
        dock.Receipts()->setCurrentRow(2);
        QCOMPARE(dock.CurrentReceipt(), dir.filePath(QStringLiteral("receipt-0001.png")));

        // After receipt 9999 the names grow a digit; the newest is still the newest.
        QVERIFY(SavePng(dir.filePath(QStringLiteral("receipt-9999.png")), 50));
        QVERIFY(SavePng(dir.filePath(QStringLiteral("receipt-10000.png")), 50));
        QVERIFY(extest::WaitFor([&] { return dock.ReceiptCount() == 5; }));
        QCOMPARE(dock.CurrentReceipt(), dir.filePath(QStringLiteral("receipt-10000.png")));
        QCOMPARE(dock.Receipts()->item(1)->text(), QString("receipt-9999.png"));
    }

    // Answers come back in order, one per command; a printer that is not there, or that
    // goes away with commands outstanding, answers each of them with an error.
    void controlClientAnswersEveryCommand() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("printer.ctl"));
        exerciser::CPrinterControlClient client(path);
        QStringList answers;
        client.Send(QStringLiteral("status"), [&](QString a) { answers << a; });
        QVERIFY(extest::WaitFor([&] { return answers.size() == 1; }));
        QVERIFY(answers[0].startsWith("error"));

        QLocalServer server;
        QVERIFY(server.listen(path));
        QLocalSocket* peer = nullptr;
        connect(&server, &QLocalServer::newConnection, this,
                [&] { peer = server.nextPendingConnection(); });
        client.Send(QStringLiteral("cover open"), [&](QString a) { answers << a; });
        client.Send(QStringLiteral("paper\nout"), [&](QString a) { answers << a; });
        client.Send(QStringLiteral("status"), [&](QString a) { answers << a; });
        QVERIFY(extest::WaitFor([&] { return peer && peer->bytesAvailable() >= 28; }));
        QCOMPARE(peer->readAll(), QByteArray("cover open\npaper out\nstatus\n"));
        peer->write("ok\nok\n");
        QVERIFY(extest::WaitFor([&] { return answers.size() == 3; }));
        QCOMPARE(answers.mid(1), QStringList({"ok", "ok"}));
        peer->disconnectFromServer();
        QVERIFY(extest::WaitFor([&] { return answers.size() == 4; }));
        QVERIFY(answers[3].startsWith("error"));

        QCOMPARE(exerciser::StateSummary("ok power: on;online: no;cover: open;paper: ok;"
                                         "forced-offline: no;drawer: closed;pin3: low"),
                 QString("power on | online no | cover open | paper ok | drawer closed"));
        QCOMPARE(exerciser::StateSummary("error unknown command"),
                 QString("error unknown command"));
    }
};

EXERCISER_TEST_MAIN(WorkbenchTest)
#include "workbench_test.moc"
