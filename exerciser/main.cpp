// PrnExerciser: exercises a receipt printer and its cash drawer through the POSPrinter and
// CashDrawer control objects.
//
//   PrnExerciser                   the main window
//   PrnExerciser --screenshot DIR  renders the main window with each child window, and the
//                                  drawer and About windows, to PNG files in DIR and exits
//                                  (works on the offscreen platform)
#include <QApplication>
#include <QStringList>
#include <cstdio>

#include "exerciser/MessageBoxes.h"
#include "exerciser/ParentForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PrnExerciser"));
    QApplication::setApplicationVersion(QStringLiteral(THERMPOS_VERSION));

    const QStringList args = QApplication::arguments();
    QString screenshotDir;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
            screenshotDir = args[++i];
        } else {
            std::fprintf(stderr, "usage: PrnExerciser [--screenshot DIR]\n");
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

    exerciser::CQtMessageBoxes messages;
    exerciser::ParentForm window(messages);
    window.show();
    return QApplication::exec();
}
