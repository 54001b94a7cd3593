// The printed property report (Printers > Print > "POS Printer Properties"): every common
// and POSPrinter property of the open device, one line each, on the device itself, so an
// operator can hold what the service object says against what the printer can do.
//
// A line is the property name in a 25-character field, "= " and the value: plain values
// as the control object answers them, coded values by their OPOS constant name.
#pragma once

#include <string>
#include <vector>

#include "exerciser/ScriptedDemos.h"

namespace exerciser {

struct SymbolName {
    LONG value;
    const char* name;
};

struct ReportProperty {
    const char* name;
    std::vector<SymbolName> symbols;  // empty: the value is printed as it is
};

inline constexpr size_t kReportNameField = 25;

// The properties of the report, in the order they are printed.
const std::vector<ReportProperty>& ReportProperties();

// "<name padded to 25>= <value>" CR LF.
std::string ReportLine(const std::string& name, const std::string& value);
// The constant name of value, or "Error !? (<value>)" when the table has none.
std::string SymbolicValue(const ReportProperty& property, LONG value);
// A value as text: numbers in decimal, Booleans "True" / "False", strings unchanged; a
// failed get gives the empty string.
std::string PlainValue(COposObject& printer, const char* property);
// Reads the property (once) and builds its line.
std::string PropertyReportLine(COposObject& printer, const ReportProperty& property);

class CPropertyReport : public CPrintScript {
  public:
    using CPrintScript::CPrintScript;
    void Run();
};

}  // namespace exerciser
