// PrnExerciser: exercises a receipt printer and its cash drawer through the POSPrinter and
// CashDrawer control objects.
//
//   PrnExerciser                   the main window
//   PrnExerciser --screenshot DIR  renders the main window with each child window, and the
//                                  drawer and About windows, to PNG files in DIR and exits
//                                  (works on the offscreen platform)
//   PrnExerciser --script FILE     runs the operator script FILE (- for standard input)
//                                  once the window is up; OperatorScript.h has its lines
#include <QApplication>
#include <QFile>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "exerciser/MessageBoxes.h"
#include "exerciser/OperatorScript.h"
#include "exerciser/ParentForm.h"

namespace {

constexpr char kUsage[] = "usage: PrnExerciser [--screenshot DIR] [--script FILE|-]\n";
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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PrnExerciser"));
    QApplication::setApplicationVersion(QStringLiteral(THERMPOS_VERSION));

    const QStringList args = QApplication::arguments();
    QString screenshotDir;
    QString scriptPath;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
            screenshotDir = args[++i];
        } else if (args[i] == QLatin1String("--script") && i + 1 < args.size()) {
            scriptPath = args[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
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
    window.show();
    std::unique_ptr<exerciser::OperatorScript> runner;
    if (!scriptPath.isEmpty()) {
        runner = std::make_unique<exerciser::OperatorScript>(std::move(script), window, scripted,
                                                             nullptr);
        runner->Start();
    }
    return QApplication::exec();
}
