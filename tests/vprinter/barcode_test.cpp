// Bar code encoders: known symbols, check digits, the CODE128 code-set rules, and the
// bars of an independent encoder (zint) for the same data.
#include <gtest/gtest.h>
#include <zint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vprinter/barcode.h"

namespace thermpos::vprinter {
namespace {

BarcodeSymbol Encode(Symbology s, std::string_view data) {
    BarcodeSymbol symbol;
    std::string error;
    EXPECT_TRUE(EncodeBarcode(s, data, &symbol, &error)) << data << ": " << error;
    return symbol;
}

bool Refused(Symbology s, std::string_view data) {
    BarcodeSymbol symbol;
    symbol.hri = "untouched";
    std::string error;
    const bool ok = EncodeBarcode(s, data, &symbol, &error);
    // A refused symbol leaves the output alone and says why.
    EXPECT_EQ(symbol.hri, ok ? symbol.hri : "untouched");
    EXPECT_TRUE(ok || !error.empty());
    return !ok;
}

std::string Bits(const std::vector<std::uint8_t>& modules) {
    std::string s;
    for (auto m : modules)
        s += m ? '1' : '0';
    return s;
}

// Run lengths of alternating bars and spaces.
std::vector<int> Runs(const std::vector<std::uint8_t>& modules) {
    std::vector<int> runs;
    for (std::size_t i = 0; i < modules.size();) {
        std::size_t j = i;
        while (j < modules.size() && modules[j] == modules[i])
            ++j;
        runs.push_back(static_cast<int>(j - i));
        i = j;
    }
    return runs;
}

// Narrow/wide text of a two-width symbol, whatever its wide:narrow ratio.
std::string NarrowWide(const std::vector<std::uint8_t>& modules) {
    std::string s;
    for (int run : Runs(modules))
        s += run > 1 ? 'w' : 'n';
    return s;
}

struct ZintDeleter {
    void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};

// The modules of the first row zint encodes for `data`, without quiet zones.
std::vector<std::uint8_t> ZintModules(int symbology, const std::string& data) {
    std::unique_ptr<zint_symbol, ZintDeleter> symbol(ZBarcode_Create());
    symbol->symbology = symbology;
    const int rc =
        ZBarcode_Encode(symbol.get(), reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
    EXPECT_LT(rc, ZINT_ERROR) << symbol->errtxt;
    std::vector<std::uint8_t> modules;
    const int row = symbol->rows - 1;  // EAN/UPC keep the bars in the last row
    for (int x = 0; x < symbol->width; ++x)
        modules.push_back((symbol->encoded_data[row][x >> 3] >> (x & 7)) & 1);
    while (!modules.empty() && !modules.back())  // a trailing gap belongs to the quiet zone
        modules.pop_back();
    return modules;
}

TEST(BarcodeGs1, KnownSymbolsAndCheckDigits) {
    // Well-known published numbers with their check digits.
    EXPECT_EQ(Encode(Symbology::Ean13, "400638133393").hri, "4006381333931");
    EXPECT_EQ(Encode(Symbology::Ean13, "4006381333931").hri, "4006381333931");
    EXPECT_EQ(Encode(Symbology::UpcA, "03600029145").hri, "036000291452");
    EXPECT_EQ(Encode(Symbology::Ean8, "9638507").hri, "96385074");
    EXPECT_EQ(Encode(Symbology::UpcE, "04210000526").hri, "04252614");
    EXPECT_EQ(Encode(Symbology::UpcE, "042100005264").hri, "04252614");
    EXPECT_EQ(Encode(Symbology::UpcE, "0425261").hri, "04252614");
    EXPECT_EQ(Encode(Symbology::UpcE, "425261").hri, "04252614");

    EXPECT_EQ(Encode(Symbology::Ean13, "400638133393").modules.size(), 95u);
    EXPECT_EQ(Encode(Symbology::UpcA, "03600029145").modules.size(), 95u);
    EXPECT_EQ(Encode(Symbology::Ean8, "9638507").modules.size(), 67u);
    EXPECT_EQ(Encode(Symbology::UpcE, "0425261").modules.size(), 51u);
    // EAN-8 "96385074": guard, 9 in set A, ..., centre guard, 7 in set C ...
    EXPECT_EQ(Bits(Encode(Symbology::Ean8, "9638507").modules).substr(0, 10), "1010001011");
}

TEST(BarcodeGs1, RefusesWrongDataInsteadOfPrintingIt) {
    EXPECT_TRUE(Refused(Symbology::Ean13, "4006381333932"));  // wrong check digit
    EXPECT_TRUE(Refused(Symbology::UpcA, "036000291453"));
    EXPECT_TRUE(Refused(Symbology::UpcE, "04252615"));
    EXPECT_TRUE(Refused(Symbology::Ean13, "40063813339"));  // too short
    EXPECT_TRUE(Refused(Symbology::Ean8, "96385O7"));       // letter O
    EXPECT_TRUE(Refused(Symbology::UpcE, "01234567890"));   // no UPC-E form
    EXPECT_TRUE(Refused(Symbology::UpcE, "21234567890"));   // number system 2
    EXPECT_TRUE(Refused(Symbology::UpcA, ""));
}

TEST(BarcodeGs1, BarsMatchAnIndependentEncoder) {
    for (const char* d : {"400638133393", "000000000000", "978316148410", "590123412345"})
        EXPECT_EQ(Bits(Encode(Symbology::Ean13, d).modules), Bits(ZintModules(BARCODE_EANX, d)))
            << d;
    for (const char* d : {"9638507", "5512345", "0000000"})
        EXPECT_EQ(Bits(Encode(Symbology::Ean8, d).modules), Bits(ZintModules(BARCODE_EANX, d)))
            << d;
    for (const char* d : {"03600029145", "12345678901", "99999999999"})
        EXPECT_EQ(Bits(Encode(Symbology::UpcA, d).modules), Bits(ZintModules(BARCODE_UPCA, d)))
            << d;
    // Every UPC-E compression rule (last digit 0-9) and both number systems.
    for (const char* d : {"0425261", "0123450", "0123451", "0123452", "0123453", "0123454",
                          "0123455", "0123456", "0123457", "0123458", "0123459", "1654321"})
        EXPECT_EQ(Bits(Encode(Symbology::UpcE, d).modules), Bits(ZintModules(BARCODE_UPCE, d)))
            << d;
}

TEST(BarcodeTwoWidth, ElementsMatchAnIndependentEncoder) {
    for (const char* d : {"ABC-123", "CODE 39", "$/+%.", "0123456789", "WXYZ"}) {
        const auto ours = Encode(Symbology::Code39, d);
        EXPECT_EQ(NarrowWide(ours.modules), NarrowWide(ZintModules(BARCODE_CODE39, d))) << d;
        EXPECT_EQ(ours.hri, std::string("*") + d + "*");
    }
    for (const char* d : {"12", "1234567890", "00", "98765432"})
        EXPECT_EQ(NarrowWide(Encode(Symbology::Itf, d).modules),
                  NarrowWide(ZintModules(BARCODE_C25INTER, d)))
            << d;
    for (const char* d : {"A0123456789B", "C-$:/.+D", "A1B", "D40156C"})
        EXPECT_EQ(NarrowWide(Encode(Symbology::Codabar, d).modules),
                  NarrowWide(ZintModules(BARCODE_CODABAR, d)))
            << d;
}

TEST(BarcodeTwoWidth, DataRules) {
    // Start/stop already present is accepted once, not doubled.
    EXPECT_EQ(Encode(Symbology::Code39, "*AB*").hri, "*AB*");
    EXPECT_EQ(Encode(Symbology::Code39, "*AB*").modules, Encode(Symbology::Code39, "AB").modules);
    EXPECT_TRUE(Refused(Symbology::Code39, "lower"));
    EXPECT_TRUE(Refused(Symbology::Code39, "A*B"));
    EXPECT_TRUE(Refused(Symbology::Code39, "**"));
    // An odd digit count would lose a digit; the symbol is refused instead.
    EXPECT_TRUE(Refused(Symbology::Itf, "12345"));
    EXPECT_TRUE(Refused(Symbology::Itf, "12a4"));
    EXPECT_TRUE(Refused(Symbology::Codabar, "0123"));
    EXPECT_TRUE(Refused(Symbology::Codabar, "A12B34C"));
    // Lower-case start/stop letters encode as their capitals; HRI shows the data as sent.
    EXPECT_EQ(Encode(Symbology::Codabar, "a12b").modules,
              Encode(Symbology::Codabar, "A12B").modules);
    EXPECT_EQ(Encode(Symbology::Codabar, "a12b").hri, "a12b");
}

TEST(BarcodeTwoWidth, PrintedWidthsFollowTheModuleWidthTable) {
    const auto symbol = Encode(Symbology::Itf, "12");
    // ITF "12": start nnnn; bars of 1 (wnnnw) woven with spaces of 2 (nwnnw); stop wnn.
    const int narrow = 4 + 6 + 2;
    const int wide = 4 + 1;
    for (auto [n, w] : {std::pair{2, 5}, {3, 8}, {4, 10}, {5, 13}, {6, 16}}) {
        const auto dots = BarcodeDots(Symbology::Itf, symbol, n);
        EXPECT_EQ(dots.size(), static_cast<std::size_t>(narrow * n + wide * w)) << n;
    }
    const auto runs = Runs(BarcodeDots(Symbology::Itf, symbol, 3));
    EXPECT_EQ(runs.front(), 3);
    EXPECT_EQ(runs[runs.size() - 3], 8);  // stop's wide bar
    // Multi-level codes scale every module alike.
    const auto ean = Encode(Symbology::Ean8, "9638507");
    EXPECT_EQ(BarcodeDots(Symbology::Ean8, ean, 2).size(), 134u);
    EXPECT_EQ(BarcodeDots(Symbology::Ean8, ean, 99).size(), 67u * 6);
}

TEST(BarcodeCode93, MatchesIndependentEncoderIncludingFullAscii) {
    for (const std::string& d :
         std::vector<std::string>{"CODE93", "TEST93", "abc", "A-b.c $/+%",
                                  std::string("x\x01y\x7f", 4), std::string("\0@[`{", 5)}) {
        EXPECT_EQ(Bits(Encode(Symbology::Code93, d).modules), Bits(ZintModules(BARCODE_CODE93, d)))
            << d;
    }
    const std::string box = "\u25A0";
    EXPECT_EQ(Encode(Symbology::Code93, "AB").hri, box + "AB" + box);
    EXPECT_EQ(Encode(Symbology::Code93, std::string("A\x01", 2)).hri, box + "A" + box + "A" + box);
    EXPECT_TRUE(Refused(Symbology::Code93, ""));
    EXPECT_TRUE(Refused(Symbology::Code93, "\x80"));
}

// Element widths (bar, space, ...) of a symbol, one digit per element.
std::string Widths(const std::vector<std::uint8_t>& modules) {
    std::string s;
    for (int run : Runs(modules))
        s += static_cast<char>('0' + run);
    return s;
}

// The CODE128 values these tests use, from the symbology's published table.
const std::map<int, std::string> kValueWidths = {
    {12, "112232"},  {14, "122231"},  {25, "321122"},  {30, "212123"},  {33, "111323"},
    {34, "131123"},  {35, "131321"},  {41, "231311"},  {46, "113321"},  {48, "313121"},
    {49, "211331"},  {50, "231131"},  {55, "311321"},  {56, "331121"},  {63, "111224"},
    {65, "121124"},  {77, "413111"},  {79, "134111"},  {91, "412121"},  {98, "411311"},
    {99, "113141"},  {100, "114131"}, {101, "311141"}, {102, "411131"}, {103, "211412"},
    {104, "211214"}, {105, "211232"},
};

// Widths of start..data values, then the check character and the stop pattern.
std::string Expected(std::vector<int> values) {
    int sum = values[0];
    for (std::size_t i = 1; i < values.size(); ++i)
        sum += static_cast<int>(i) * values[i];
    std::string s;
    for (int v : values)
        s += kValueWidths.at(v);
    return s + "|" + std::to_string(sum % 103);
}

// Splits an encoded symbol into the same form: data widths, then "|check".
std::string Actual(const BarcodeSymbol& symbol) {
    std::string w = Widths(symbol.modules);
    EXPECT_EQ(w.substr(w.size() - 7), "2331112");  // stop
    EXPECT_EQ(symbol.modules.size() % 11, 2u);     // 11 modules per value, stop is 13
    const std::string check = w.substr(w.size() - 13, 6);
    w.resize(w.size() - 13);
    for (const auto& [value, widths] : kValueWidths)
        if (widths == check)
            return w + "|" + std::to_string(value);
    return w + "|?" + check;
}

TEST(BarcodeCode128, CodeSetsAreHonouredExactly) {
    // The manual's example: {B N o . {C 12 34 56 (binary values in set C).
    const auto example = Encode(Symbology::Code128, "{BNo.{C\x0c\x22\x38");
    EXPECT_EQ(example.hri, "No.123456");
    EXPECT_EQ(Actual(example), Expected({104, 46, 79, 14, 99, 12, 34, 56}));
    EXPECT_EQ(Expected({104, 46, 79, 14, 99, 12, 34, 56}).substr(48), "|63");

    // Switching to A and back; a selection of the set already in force adds nothing (its
    // code value would be FNC4 there).
    EXPECT_EQ(Actual(Encode(Symbology::Code128, "{BAB{AC")), Expected({104, 33, 34, 101, 35}));
    EXPECT_EQ(Encode(Symbology::Code128, "{B{BAB").modules,
              Encode(Symbology::Code128, "{BAB").modules);
    // Set A holds control characters (0x01 -> 65); HRI shows them and FNC1 as spaces.
    const auto controls = Encode(Symbology::Code128,
                                 "{A\x01"
                                 "A{1");
    EXPECT_EQ(Actual(controls), Expected({103, 65, 33, 102}));
    EXPECT_EQ(controls.hri, " A ");
    // FNC4 is 101 in set A and 100 in set B; SHIFT takes one character from the other set.
    EXPECT_EQ(Actual(Encode(Symbology::Code128, "{A{4")), Expected({103, 101}));
    EXPECT_EQ(Actual(Encode(Symbology::Code128, "{B{4")), Expected({104, 100}));
    const auto shifted = Encode(Symbology::Code128, "{AA{SaA");
    EXPECT_EQ(Actual(shifted), Expected({103, 33, 98, 65, 33}));
    EXPECT_EQ(shifted.hri, "AaA");
    // "{{" is a literal brace (set B only) and is shown as one.
    const auto brace = Encode(Symbology::Code128, "{B{{A");
    EXPECT_EQ(Actual(brace), Expected({104, 91, 33}));
    EXPECT_EQ(brace.hri, "{A");
    // FNC1 is the one function character set C takes.
    EXPECT_EQ(Actual(Encode(Symbology::Code128, "{C\x0c{1\x38")), Expected({105, 12, 102, 56}));
}

TEST(BarcodeCode128, MatchesIndependentEncoderWhereItsChoiceIsTheSame) {
    EXPECT_EQ(Bits(Encode(Symbology::Code128, "{BHello World").modules),
              Bits(ZintModules(BARCODE_CODE128, "Hello World")));
    EXPECT_EQ(Bits(Encode(Symbology::Code128, "{Ba{{b}~").modules),
              Bits(ZintModules(BARCODE_CODE128, "a{b}~")));
    EXPECT_EQ(Bits(Encode(Symbology::Code128, "{C\x0c\x22\x38\x4e").modules),
              Bits(ZintModules(BARCODE_CODE128, "12345678")));
    EXPECT_EQ(Bits(Encode(Symbology::Code128,
                          "{A\x01"
                          "ABC")
                       .modules),
              Bits(ZintModules(BARCODE_CODE128,
                               "\x01"
                               "ABC")));
}

TEST(BarcodeCode128, AsciiDigitsInSetCAreBinaryValuesNotDigits) {
    // A host that sends "12" as ASCII after {C gets the pairs 49 and 50: shown, not hidden.
    const auto symbol = Encode(Symbology::Code128, "{C12");
    EXPECT_EQ(symbol.hri, "4950");
    EXPECT_EQ(Actual(symbol), Expected({105, 49, 50}));
}

TEST(BarcodeCode128, AbandonsDataThePrinterWouldAbandon) {
    EXPECT_TRUE(Refused(Symbology::Code128, "ABC"));  // no code set selected
    EXPECT_TRUE(Refused(Symbology::Code128, "{"));
    EXPECT_TRUE(Refused(Symbology::Code128, "{D12"));      // unknown selector
    EXPECT_TRUE(Refused(Symbology::Code128, "{BA{x"));     // unknown escape
    EXPECT_TRUE(Refused(Symbology::Code128, "{BA{"));      // escape cut short
    EXPECT_TRUE(Refused(Symbology::Code128, "{C\x64"));    // 100 is not a digit pair
    EXPECT_TRUE(Refused(Symbology::Code128, "{C{S\x01"));  // SHIFT in set C
    EXPECT_TRUE(Refused(Symbology::Code128, "{C{2"));      // only FNC1 in set C
    EXPECT_TRUE(Refused(Symbology::Code128, "{A{{"));      // no brace in set A
    EXPECT_TRUE(Refused(Symbology::Code128, "{Aa"));       // no lower case in set A
    EXPECT_TRUE(Refused(Symbology::Code128, "{BA{S"));     // SHIFT at the end
    EXPECT_TRUE(Refused(Symbology::Code128, "{B\xe9"));    // beyond 7F
    EXPECT_TRUE(Refused(Symbology::Code128, std::string(256, 'A')));
}

}  // namespace
}  // namespace thermpos::vprinter
