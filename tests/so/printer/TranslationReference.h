// The reference translation (TranslationReference.cpp): the straightforward form of the
// command tables and the parser, against which the production code is compared.
#pragma once

#include <string>
#include <string_view>

#include "so/printer/PrintTranslation.h"

namespace thermpos::so::reference {

int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int number, std::string* out, bool validate);
int ModelTranslateCommand(PrinterModel model, const ThermalCommandSettings& settings,
                          FormattingState* state, int code, int number, std::string* out,
                          bool validate);
int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate);

}  // namespace thermpos::so::reference
