// PrnExerciser: exercises a receipt printer and its cash drawer through the POSPrinter and
// CashDrawer control objects.
//
//   PrnExerciser                   the main window
//   PrnExerciser --screenshot DIR  renders the main window with each child window, and the
//                                  drawer and About windows, to PNG files in DIR and exits
//                                  (works on the offscreen platform)
//   PrnExerciser --script FILE     runs the operator script FILE (- for standard input)
//                                  once the window is up; OperatorScript.h has its lines
//   PrnExerciser --virtual [DIR]   the virtual printer workbench: a private registry in DIR
//                                  (asked for when not given), the virtual printer as a
//                                  child process, and its dock (WorkbenchSetup.h); with
//                                  --screenshot, a sample receipt is printed first
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "exerciser/MessageBoxes.h"
#include "exerciser/OperatorScript.h"
#include "exerciser/ParentForm.h"
#include "exerciser/WorkbenchDock.h"
#include "exerciser/WorkbenchSetup.h"
#include "gui/Help.h"

namespace {

constexpr char kUsage[] =
    "usage: PrnExerciser [--screenshot DIR] [--script FILE|-] [--virtual [FOLDER]]\n";
constexpr char kHelp[] =
    "\n"
    "Exercises a receipt printer and its cash drawer through the POSPrinter and CashDrawer\n"
    "control objects.\n"
    "\n"
    "  --screenshot DIR  render the main window, each child window and the dialogs to PNG\n"
    "                    files in DIR and exit (works on the offscreen platform)\n"
    "  --script FILE     run the operator script FILE (- for standard input) once the\n"
    "                    window is up\n"
    "  --virtual [DIR]   the virtual printer workbench, with its private registry in DIR\n"
    "                    (asked for when not given)\n"
    "  --help            print this and exit\n";

// The main window's own size plus the dock's width, so the child windows keep their places.
constexpr QSize kWorkbenchWindow(1340, 800);

// What --screenshot prints on the workbench's printer before the pictures are taken.
constexpr char kScreenshotSession[] =
    "select RT-K410\n"
    "trigger OpenPrinterButton\n"
    "trigger ClaimPrinterButton\n"
    "trigger EnablePrinterButton\n"
    "print \\e|cA\\e|2CThermPOS\\e|N\\n\\e|cAVirtual printer workbench\\n\\n"
    "Coffee                     2.40\\nCroissant                  1.90\\n"
    "\\e|bCTotal                      4.30\\e|N\\n\\n\\e|cAThank you\\n\\e|fP\n"
    "wait-receipts 1 30\n"
    "quit\n";
// A script is a list of operator actions; anything larger is not one.
constexpr qint64 kMaxScriptBytes = 4 << 20;

bool ReadScript(const QString& path, std::vector<exerciser::ScriptLine>* lines) {
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "PrnExerciser: cannot read the script %s: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return false;
    }
    const QByteArray bytes = file.read(kMaxScriptBytes + 1);
    if (bytes.size() > kMaxScriptBytes) {
        std::fprintf(stderr, "PrnExerciser: the script %s is larger than %lld bytes\n",
                     qPrintable(path), static_cast<long long>(kMaxScriptBytes));
        return false;
    }
    QString error;
    if (!exerciser::ParseScript(QString::fromUtf8(bytes), lines, &error)) {
        std::fprintf(stderr, "PrnExerciser: script %s, %s\n", qPrintable(path), qPrintable(error));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (thermpos::gui::PrintHelpIfAsked(argc, argv, kUsage, kHelp))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PrnExerciser"));
    QApplication::setApplicationVersion(QStringLiteral(THERMPOS_VERSION));

    const QStringList args = QApplication::arguments();
    QString screenshotDir;
    QString scriptPath;
    bool virtualPrinter = false;
    QString virtualFolder;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
            screenshotDir = args[++i];
        } else if (args[i] == QLatin1String("--script") && i + 1 < args.size()) {
            scriptPath = args[++i];
        } else if (args[i] == QLatin1String("--virtual")) {
            virtualPrinter = true;
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--")))
                virtualFolder = args[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    // Before any window: the control objects the main window makes must find the private
    // registry. Declared first, so the printer outlives the window that uses it.
    exerciser::CWorkbenchSetup workbench;
    if (virtualPrinter) {
        if (virtualFolder.isEmpty())
            virtualFolder = QFileDialog::getExistingDirectory(
                nullptr, QStringLiteral("Folder for the virtual printer"), QDir::homePath());
        if (virtualFolder.isEmpty()) {
            std::fprintf(stderr, "PrnExerciser: no folder chosen for the virtual printer\n");
            return 1;
        }
        QString error;
        if (!workbench.Start(virtualFolder, &error)) {
            std::fprintf(stderr, "PrnExerciser: %s\n", qPrintable(error));
            // An operator who started it from a desktop sees why it did not come up.
            if (scriptPath.isEmpty() && screenshotDir.isEmpty())
                QMessageBox::critical(nullptr, QStringLiteral("Virtual Printer"), error);
            return 1;
        }
    }
    auto addDock = [&](exerciser::ParentForm& window) -> exerciser::WorkbenchDock* {
        if (!virtualPrinter)
            return nullptr;
        auto* dock =
            new exerciser::WorkbenchDock(workbench.ReceiptDir(), workbench.ControlPath(), &window);
        window.addDockWidget(Qt::RightDockWidgetArea, dock);
        return dock;
    };

    if (!screenshotDir.isEmpty() && virtualPrinter) {
        // The workbench with a receipt in it: the sample session runs as a script would.
        std::vector<exerciser::ScriptLine> session;
        QString error;
        if (!exerciser::ParseScript(QString::fromLatin1(kScreenshotSession), &session, &error))
            return 1;
        exerciser::CLoggedMessageBoxes logged;
        exerciser::CScriptMessageBoxes messages(logged);
        exerciser::ParentForm window(messages);
        exerciser::WorkbenchDock* dock = addDock(window);
        window.resize(kWorkbenchWindow);
        window.show();
        exerciser::OperatorScript runner(std::move(session), window, messages, dock);
        runner.Start();
        if (QApplication::exec() != 0) {
            std::fprintf(stderr, "PrnExerciser: the sample receipt did not print\n");
            return 1;
        }
        if (!window.SaveScreenshots(screenshotDir)) {
            std::fprintf(stderr, "PrnExerciser: cannot write the screenshots into %s\n",
                         qPrintable(screenshotDir));
            return 1;
        }
        return 0;
    }

    if (!screenshotDir.isEmpty()) {
        exerciser::CLoggedMessageBoxes messages;
        exerciser::ParentForm window(messages);
        window.show();
        if (!window.SaveScreenshots(screenshotDir)) {
            std::fprintf(stderr, "PrnExerciser: cannot write the screenshots into %s\n",
                         qPrintable(screenshotDir));
            return 1;
        }
        return 0;
    }

    std::vector<exerciser::ScriptLine> script;
    if (!scriptPath.isEmpty() && !ReadScript(scriptPath, &script))
        return exerciser::kScriptBadLine;

    exerciser::CQtMessageBoxes real;
    exerciser::CScriptMessageBoxes scripted(real);
    scripted.SetScripted(!scriptPath.isEmpty());
    exerciser::ParentForm window(scripted);
    exerciser::WorkbenchDock* dock = addDock(window);
    if (dock)
        window.resize(kWorkbenchWindow);
    window.show();
    std::unique_ptr<exerciser::OperatorScript> runner;
    if (!scriptPath.isEmpty()) {
        runner =
            std::make_unique<exerciser::OperatorScript>(std::move(script), window, scripted, dock);
        runner->Start();
    }
    return QApplication::exec();
}
