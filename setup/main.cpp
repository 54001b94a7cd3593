// SetupSheet: shows the configuration property sheet and ends when it closes.
//
//   SetupSheet                   the sheet, modal
//   SetupSheet --screenshot DIR  renders every page and the serial settings dialog to
//                                PNG files in DIR on the current registry and exits,
//                                writing nothing (works on the offscreen platform)
#include <QApplication>
#include <QStringList>
#include <cstdio>

#include "gui/Help.h"
#include "setup/MessageBoxes.h"
#include "setup/PortServices.h"
#include "setup/QMXSetupSheet.h"
#include "setup/SetupRegistry.h"

namespace {

constexpr char kUsage[] = "usage: SetupSheet [--screenshot DIR]\n";
constexpr char kHelp[] =
    "\n"
    "Shows the configuration property sheet of the printers and drawers; ends when it closes.\n"
    "\n"
    "  --screenshot DIR  render every page and the serial settings dialog to PNG files in\n"
    "                    DIR on the current registry, write nothing, and exit (works on the\n"
    "                    offscreen platform)\n"
    "  --help            print this and exit\n";

}  // namespace

int main(int argc, char** argv) {
    if (thermpos::gui::PrintHelpIfAsked(argc, argv, kUsage, kHelp))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("SetupSheet"));

    const QStringList args = QApplication::arguments();
    QString screenshotDir;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
            screenshotDir = args[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    setup::CSetupRegistry registry;
    if (!screenshotDir.isEmpty()) {
        setup::CLoggedMessageBoxes messages;
        setup::CSystemPortServices services(registry, messages);
        setup::CQMXSetupSheet sheet(registry, messages, services);
        sheet.show();
        const bool saved = sheet.SaveScreenshots(screenshotDir, registry, messages);
        sheet.reject();
        if (!saved) {
            std::fprintf(stderr, "SetupSheet: cannot write the screenshots into %s\n",
                         qPrintable(screenshotDir));
            return 1;
        }
        return 0;
    }

    setup::CQtMessageBoxes messages;
    setup::CSystemPortServices services(registry, messages);
    setup::CQMXSetupSheet sheet(registry, messages, services);
    sheet.exec();
    return 0;
}
