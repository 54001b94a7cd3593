// `--help` for the Qt programs, answered from argv alone: before QApplication exists,
// since that needs a window system a user asking how to start the program may not have.
#pragma once

namespace thermpos::gui {

// True when an argument is --help or -h; usage and help have then been written to
// standard output.
bool PrintHelpIfAsked(int argc, char** argv, const char* usage, const char* help);

}  // namespace thermpos::gui
