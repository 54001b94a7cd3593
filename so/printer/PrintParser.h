// The print data parser: finds the OPOS escape sequences (ESC '|', an optional number, an
// optional lowercase modifier and the command letter) in the text an application prints,
// and hands each recognised one to the device as a command code (PrintCommands.h). What
// the codes become is the device's command table; what the text between them becomes is
// the device's text mapping (PrintText.h).
//
// No state and no threads; every length is taken from the data's size, never from a
// terminator.
#pragma once

#include <string>
#include <string_view>

namespace thermpos::so {

// What the parser needs from its device.
class PrintDataSink {
  public:
    virtual int TranslateCommand(int code, int number, std::string* out, bool validate) = 0;
    // Appends one run of text, mapped as the device's MapCharacterSet says.
    virtual void AppendTextRun(std::string_view run, std::string* out) = 0;

  protected:
    ~PrintDataSink() = default;
};

// Walks text whose line ends are already normalised: text runs go to the sink's
// AppendTextRun, recognised ESC '|' sequences to its TranslateCommand, embedded data and
// the ESC '|' of anything that is not a sequence straight to *out. Nothing is appended
// when validating. Returns the largest result met.
int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate);

}  // namespace thermpos::so
