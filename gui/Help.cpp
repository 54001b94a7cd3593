#include "gui/Help.h"

#include <cstdio>
#include <cstring>

namespace thermpos::gui {

bool PrintHelpIfAsked(int argc, char** argv, const char* usage, const char* help) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            std::fputs(help, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace thermpos::gui
