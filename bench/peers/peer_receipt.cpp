// Our side of the encoder comparison (run.sh): builds the comparison receipt as an
// application hands it to PrintNormal (UTF-16 print data with escape sequences), converts
// it to the system code page as the automation layer does, and translates it for the
// RT-K410, timing the three together and each alone; then feeds our bytes and every peer's
// bytes to the virtual printer's model and compares what each prints, line by line, with
// attributes.
//
//   peer_receipt OUTDIR ITERATIONS
//
// OUTDIR holds peers.tsv and the peers' .bin files written by encode.mjs.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "so/printer/PrinterModels.h"
#include "vprinter/model.h"

using namespace thermpos;

namespace {

// The receipt, as encode.mjs has it, held the way a point-of-sale application holds it:
// its texts in UTF-16 (the automation interface takes the print data as a BSTR), its
// amounts in cents.
constexpr std::size_t kColumns = 48;
struct Item {
    std::u16string_view name;
    int quantity;
    long cents;
};
constexpr Item kItems[] = {
    {u"Flat white", 2, 680},    {u"Croissant", 1, 280},    {u"Pain au chocolat", 2, 620},
    {u"Espresso", 3, 750},      {u"Orange juice", 1, 320}, {u"Bacon roll", 1, 490},
    {u"Porridge", 1, 410},      {u"Cappuccino", 2, 700},   {u"Tea (pot)", 1, 290},
    {u"Scone, jam", 2, 640},    {u"Granola bowl", 1, 560}, {u"Avocado toast", 1, 790},
    {u"Hot chocolate", 1, 360}, {u"Brownie", 2, 580},      {u"Sparkling water", 1, 220},
    {u"Eggs benedict", 1, 950}, {u"Latte", 1, 350},        {u"Banana bread", 1, 330},
    {u"Muffin", 2, 560},        {u"Mocha", 1, 380},
};
constexpr std::u16string_view kHeader = u"HARBOUR CAFE";
constexpr std::u16string_view kAddress[] = {u"12 Quay Street, Portsmouth",
                                            u"Table 4 - Server: Ana"};
constexpr long kSubtotalCents = 10860;
constexpr long kVatCents = 1810;
constexpr std::u16string_view kPayment[] = {u"Card **** 4242          Auth 081234",
                                            u"08/12/2026 11:24     Receipt 000417",
                                            u"Please keep your receipt"};
constexpr std::u16string_view kThanks = u" Thank you for your visit! ";

// The print data built as a careful application builds it: one UTF-16 string kept between
// receipts and reserved once, the texts appended, the numbers formatted with to_chars.
class ReceiptText {
  public:
    ReceiptText() { text_.reserve(4096); }

    std::u16string_view Build() {
        text_.clear();
        Add(u"\x1B|cA\x1B|4C").Add(kHeader).Add(u"\n\x1B|1C");
        for (std::u16string_view line : kAddress) {
            Add(line).Add(u"\n");
        }
        Add(u"\x1B|N").Rule();
        for (const Item& item : kItems) {
            PadEnd(item.name, 34)
                .Number(item.quantity)
                .Add(u" x ")
                .Amount(item.cents, 7)
                .Add(u"\n");
        }
        Rule().Add(u"\x1B|uC").Pair(u"Subtotal", kSubtotalCents, kColumns).Add(u"\n\x1B|N");
        Pair(u"VAT 20% included", kVatCents, kColumns).Add(u"\n\x1B|bC\x1B|2C");
        Pair(u"TOTAL", kSubtotalCents, kColumns / 2).Add(u"\n\x1B|N").Rule();
        for (std::u16string_view line : kPayment) {
            Add(line).Add(u"\n");
        }
        Add(u"\x1B|cA\x1B|rvC").Add(kThanks).Add(u"\n\x1B|N\x1B|3lF\x1B|50P");
        return text_;
    }

  private:
    ReceiptText& Add(std::u16string_view s) {
        text_.append(s);
        return *this;
    }
    ReceiptText& PadEnd(std::u16string_view s, std::size_t width) {
        text_.append(s);
        if (s.size() < width) {
            text_.append(width - s.size(), u' ');
        }
        return *this;
    }
    // Digits are ASCII, so each char widens to one UTF-16 unit.
    ReceiptText& Digits(const char* first, const char* last, std::size_t width) {
        const std::size_t n = static_cast<std::size_t>(last - first);
        if (n < width) {
            text_.append(width - n, u' ');
        }
        for (const char* c = first; c != last; ++c) {
            text_.push_back(static_cast<char16_t>(*c));
        }
        return *this;
    }
    ReceiptText& Number(int value) {
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return Digits(digits, end, 0);
    }
    // "12.30" right-aligned in width.
    ReceiptText& Amount(long cents, std::size_t width) {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits - 3, cents / 100).ptr;
        *end++ = '.';
        *end++ = static_cast<char>('0' + cents % 100 / 10);
        *end++ = static_cast<char>('0' + cents % 10);
        return Digits(digits, end, width);
    }
    ReceiptText& Pair(std::u16string_view label, long cents, std::size_t width) {
        return PadEnd(label, width - 10).Amount(cents, 10);
    }
    ReceiptText& Rule() {
        text_.append(kColumns, u'-');
        text_.push_back(u'\n');
        return *this;
    }

    std::u16string text_;
};

// Nanoseconds of this thread's CPU time per call of f: the best of many short batches,
// so that a batch the scheduler interrupted on the shared machine does not count.
template <class F>
double TimePerCall(int iterations, F&& f) {
    auto cpuNow = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
    };
    double best = 1e300;
    for (int batch = 0; batch < 30; ++batch) {
        const double start = cpuNow();
        for (int i = 0; i < iterations; ++i) {
            f();
        }
        best = std::min(best, (cpuNow() - start) / iterations);
    }
    return best;
}

// What the printer made of the bytes: each printed line with its alignment and the
// attributes of each run of text, the blank lines fed before the cut, and the cut.
struct Printed {
    std::vector<std::string> lines;
    int trailingFeeds = 0;
    std::string cut = "none";
    std::uint64_t skipped = 0;
};

struct Attributes {
    bool bold = false;
    int underline = 0;
    bool reverse = false;
    int width = 1, height = 1;
    int align = 0;

    std::string Text() const {
        std::string s;
        if (bold)
            s += "B";
        if (underline)
            s += "U";
        if (reverse)
            s += "R";
        if (width != 1 || height != 1)
            s += std::to_string(width) + "x" + std::to_string(height);
        return s;
    }
};

int Param(const std::string& params, const char* key) {
    const std::string k = std::string(key) + "=";
    const std::size_t at = params.find(k);
    return at == std::string::npos ? 0 : std::atoi(params.c_str() + at + k.size());
}

// Reads the model's command log: attributes change with the commands, text is attributed
// to the line it is printed on.
Printed Decode(const std::string& bytes) {
    vprinter::PrinterModel model;
    Printed printed;
    Attributes a;
    std::string line;
    std::string lineAttributes;  // of the run being collected
    bool lineHasText = false;
    int lineAlign = 0;
    std::vector<std::string> all;
    auto endLine = [&]() {
        static const char* const kAlign[] = {"left", "centre", "right", "right"};
        // Trailing spaces print nothing.
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        all.push_back(lineHasText ? std::string(kAlign[lineAlign & 3]) + " " + line : "");
        line.clear();
        lineAttributes.clear();
        lineHasText = false;
    };
    model.SetCommandLog([&](const vprinter::CommandRecord& r) {
        const std::string& m = r.mnemonic;
        if (m == "TEXT") {
            std::string text = r.params.substr(1, r.params.size() - 2);
            if (!lineHasText) {
                lineAlign = a.align;
                lineHasText = true;
            }
            const std::string attributes = a.Text();
            if (attributes != lineAttributes || line.empty()) {
                line += "{" + attributes + "}";
                lineAttributes = attributes;
            }
            line += text;
        } else if (m == "LF") {
            endLine();
        } else if (m == "ESC d") {
            endLine();
            for (int i = 1; i < Param(r.params, "n"); ++i) {
                endLine();
            }
        } else if (m == "ESC @") {
            a = Attributes{};
        } else if (m == "ESC !") {
            const int n = Param(r.params, "n");
            a.bold = n & 0x08;
            a.height = (n & 0x10) ? 2 : 1;
            a.width = (n & 0x20) ? 2 : 1;
            a.underline = (n & 0x80) ? 1 : 0;
        } else if (m == "ESC E" || m == "ESC G") {
            a.bold = Param(r.params, "n") & 1;
        } else if (m == "ESC -") {
            a.underline = Param(r.params, "n") & 3;
        } else if (m == "GS !") {
            const int n = Param(r.params, "n");
            a.width = ((n >> 4) & 7) + 1;
            a.height = (n & 7) + 1;
        } else if (m == "GS B") {
            a.reverse = Param(r.params, "n") & 1;
        } else if (m == "ESC a") {
            a.align = Param(r.params, "n") & 3;
        }
    });
    const auto now = vprinter::ModelClock::now();
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t taken =
            model.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset,
                       bytes.size() - offset, now);
        if (taken == 0) {
            break;
        }
        offset += taken;
    }
    if (!line.empty() || lineHasText) {
        endLine();
    }
    for (const auto& receipt : model.TakeFinishedReceipts()) {
        printed.cut = receipt.cut == vprinter::CutKind::Partial ? "partial"
                      : receipt.cut == vprinter::CutKind::Full  ? "full"
                                                                : "none";
    }
    printed.skipped = model.Status().commandsSkipped;
    while (!all.empty() && all.back().empty()) {
        all.pop_back();
        ++printed.trailingFeeds;
    }
    printed.lines = std::move(all);
    return printed;
}

std::string Collapse(std::string s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' && !out.empty() && out.back() == ' ')
            continue;
        out += c;
    }
    return out;
}

// "same", or where the peer's print differs from ours.
std::vector<std::string> Differences(const Printed& ours, const Printed& peer) {
    std::vector<std::string> notes;
    const std::size_t n = std::max(ours.lines.size(), peer.lines.size());
    int spacingOnly = 0;
    int shown = 0;
    int differing = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string a = i < ours.lines.size() ? ours.lines[i] : "(none)";
        const std::string b = i < peer.lines.size() ? peer.lines[i] : "(none)";
        if (a == b)
            continue;
        if (Collapse(a) == Collapse(b)) {
            ++spacingOnly;
            continue;
        }
        ++differing;
        if (shown++ < 4) {
            notes.push_back("line " + std::to_string(i + 1) + ": ours \"" + a + "\"\n" +
                            std::string(10 + std::to_string(i + 1).size(), ' ') + "peer \"" + b +
                            "\"");
        }
    }
    if (differing > shown)
        notes.push_back("... " + std::to_string(differing - shown) + " more differing lines");
    if (spacingOnly > 0)
        notes.push_back(std::to_string(spacingOnly) + " lines differ in spacing only");
    if (ours.lines.size() != peer.lines.size())
        notes.push_back(std::to_string(peer.lines.size()) + " printed lines against our " +
                        std::to_string(ours.lines.size()));
    if (ours.trailingFeeds != peer.trailingFeeds)
        notes.push_back("feeds " + std::to_string(peer.trailingFeeds) +
                        " blank lines before the cut, we feed " +
                        std::to_string(ours.trailingFeeds));
    if (ours.cut != peer.cut)
        notes.push_back("cut: " + peer.cut + ", ours " + ours.cut);
    if (peer.skipped != 0)
        notes.push_back(std::to_string(peer.skipped) + " commands the printer skipped");
    return notes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR ITERATIONS\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int iterations = std::max(1, std::atoi(argv[2]));

    // The like-for-like figure: the application builds the text as the interface takes it
    // (UTF-16), the service converts it to the system code page as its automation layer
    // does with every string argument (com::WideToAnsi), then translates it. Not included: the
    // automation call itself, the state checks and handing the bytes to the output queue.
    so::CPrinterRTK410 printer;
    ReceiptText builder;
    std::string out;
    std::size_t sink = 0;
    const double buildAndTranslate = TimePerCall(iterations, [&] {
        const std::string text = platform::com::WideToAnsi(builder.Build());
        out.clear();
        (void)printer.TranslatePrintData(2, text, &out, false);
        sink += out.size();
    });
    const double buildOnly = TimePerCall(iterations, [&] { sink += builder.Build().size(); });
    const std::u16string wide(builder.Build());
    const double convertOnly =
        TimePerCall(iterations, [&] { sink += platform::com::WideToAnsi(wide).size(); });
    const std::string text = platform::com::WideToAnsi(wide);
    const double translateOnly = TimePerCall(iterations, [&] {
        out.clear();
        (void)printer.TranslatePrintData(2, text, &out, false);
        sink += out.size();
    });
    out.clear();
    (void)printer.TranslatePrintData(2, text, &out, false);
    std::ofstream(dir + "/thermpos.bin", std::ios::binary) << out;
    const Printed ours = Decode(out);

    std::printf("receipt: %zu bytes of print data, %zu printer bytes, %zu lines (check %zu)\n\n",
                text.size(), out.size(), ours.lines.size(), sink % 7);
    std::printf("%-46s %12s %10s\n", "encoder", "ns/receipt", "vs ours");
    std::printf("%-46s %12.0f %10s\n", "thermpos: build + convert + translate", buildAndTranslate,
                "1");
    std::printf("%-46s %12.0f %10s\n", "thermpos: build only (UTF-16)", buildOnly, "-");
    std::printf("%-46s %12.0f %10s\n", "thermpos: convert only (UTF-16 to ANSI)", convertOnly, "-");
    std::printf("%-46s %12.0f %10s\n", "thermpos: translate only", translateOnly, "-");

    std::ifstream list(dir + "/peers.tsv");
    std::string row;
    double fastest = 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> reports;
    while (std::getline(list, row)) {
        std::vector<std::string> f;
        std::stringstream fields(row);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() < 4)
            continue;
        if (f[2] != "ok") {
            std::printf("%-46s %12s %10s  (%s)\n", f[0].c_str(), "-", "-", f[2].c_str());
            continue;
        }
        const double ns = std::atof(f[1].c_str());
        fastest = fastest == 0 ? ns : std::min(fastest, ns);
        std::printf("%-46s %12.0f %9.0fx\n", f[0].c_str(), ns, ns / buildAndTranslate);
        reports.emplace_back(f[0], Differences(ours, Decode(ReadFile(dir + "/" + f[3]))));
    }
    if (fastest > 0) {
        std::printf("\nfastest peer / ours (build + convert + translate): %.0fx\n",
                    fastest / buildAndTranslate);
    }

    std::printf("\nOur receipt as the virtual printer prints it ({attributes} before each run):\n");
    for (const auto& line : ours.lines)
        std::printf("  | %s\n", line.c_str());
    std::printf("  then %d blank lines, cut: %s\n", ours.trailingFeeds, ours.cut.c_str());
    std::printf("\nWhat each peer prints differently:\n");
    for (const auto& [name, notes] : reports) {
        std::printf("%s: %s\n", name.c_str(), notes.empty() ? "the same receipt" : "");
        for (const auto& note : notes)
            std::printf("    %s\n", note.c_str());
    }
    return 0;
}
