// Our side of the encoder comparison (run.sh): builds the comparison receipt as print data
// with escape sequences and translates it for the RT-K410, timing building plus
// translating and translating alone; then feeds our bytes and every peer's bytes to the
// virtual printer's model and compares what each prints, line by line, with attributes.
//
//   peer_receipt OUTDIR ITERATIONS
//
// OUTDIR holds peers.tsv and the peers' .bin files written by encode.mjs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "so/printer/PrinterModels.h"
#include "vprinter/model.h"

using namespace thermpos;

namespace {

// The receipt, as encode.mjs has it.
constexpr std::size_t kColumns = 48;
struct Item {
    std::string_view name, qty, price;
};
constexpr Item kItems[] = {
    {"Flat white", "2", "6.80"},
    {"Croissant", "1", "2.80"},
    {"Pain au chocolat", "2", "6.20"},
    {"Espresso", "3", "7.50"},
    {"Orange juice", "1", "3.20"},
    {"Bacon roll", "1", "4.90"},
    {"Porridge", "1", "4.10"},
    {"Cappuccino", "2", "7.00"},
    {"Tea (pot)", "1", "2.90"},
    {"Scone, jam", "2", "6.40"},
    {"Granola bowl", "1", "5.60"},
    {"Avocado toast", "1", "7.90"},
    {"Hot chocolate", "1", "3.60"},
    {"Brownie", "2", "5.80"},
    {"Sparkling water", "1", "2.20"},
    {"Eggs benedict", "1", "9.50"},
    {"Latte", "1", "3.50"},
    {"Banana bread", "1", "3.30"},
    {"Muffin", "2", "5.60"},
    {"Mocha", "1", "3.80"},
};
constexpr std::string_view kHeader = "HARBOUR CAFE";
constexpr std::string_view kAddress[] = {"12 Quay Street, Portsmouth", "Table 4 - Server: Ana"};
constexpr std::string_view kPayment[] = {"Card **** 4242          Auth 081234",
                                         "08/12/2026 11:24     Receipt 000417",
                                         "Please keep your receipt"};
constexpr std::string_view kThanks = " Thank you for your visit! ";

// Print data composed the way a C++ point-of-sale application would: into a buffer it
// keeps, with the padding written in place (no allocation).
class TextBuilder {
  public:
    void Clear() { used_ = 0; }
    std::string_view View() const { return {buffer_, used_}; }

    TextBuilder& Add(std::string_view s) {
        Copy(buffer_ + used_, s.data(), s.size());
        used_ += s.size();
        return *this;
    }
    TextBuilder& Repeat(char c, std::size_t n) {
        std::memset(buffer_ + used_, c, n);
        used_ += n;
        return *this;
    }
    // Fields up to kField wide: the field is blanked in one fixed-size store, then the
    // text is copied into it.
    TextBuilder& PadEnd(std::string_view s, std::size_t width) {
        std::memset(buffer_ + used_, ' ', kField);
        Copy(buffer_ + used_, s.data(), s.size());
        used_ += std::max(width, s.size());
        return *this;
    }
    TextBuilder& PadStart(std::string_view s, std::size_t width) {
        std::memset(buffer_ + used_, ' ', kField);
        const std::size_t pad = s.size() < width ? width - s.size() : 0;
        Copy(buffer_ + used_ + pad, s.data(), s.size());
        used_ += pad + s.size();
        return *this;
    }
    TextBuilder& Pair(std::string_view label, std::string_view amount, std::size_t width) {
        return PadEnd(label, width - 10).PadStart(amount, 10);
    }
    TextBuilder& Rule() { return Repeat('-', kColumns).Add("\n"); }

  private:
    // Receipt pieces are mostly under 16 bytes: those are copied in place with two
    // overlapping words (reading only the piece), longer ones by memcpy.
    static void Copy(char* d, const char* s, std::size_t n) {
        if (n >= 16) {
            std::memcpy(d, s, n);
        } else if (n >= 8) {
            std::uint64_t head, tail;
            std::memcpy(&head, s, 8);
            std::memcpy(&tail, s + n - 8, 8);
            std::memcpy(d, &head, 8);
            std::memcpy(d + n - 8, &tail, 8);
        } else if (n >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, s, 4);
            std::memcpy(&tail, s + n - 4, 4);
            std::memcpy(d, &head, 4);
            std::memcpy(d + n - 4, &tail, 4);
        } else if (n > 0) {
            d[0] = s[0];
            d[n / 2] = s[n / 2];
            d[n - 1] = s[n - 1];
        }
    }

    static constexpr std::size_t kField = 64;
    char buffer_[4096 + kField];  // the receipt below needs 1.5 KB
    std::size_t used_ = 0;
};

// The print data an application hands to PrintNormal for this receipt.
std::string_view BuildReceipt(TextBuilder* t) {
    t->Clear();
    t->Add("\x1B|cA\x1B|4C").Add(kHeader).Add("\n\x1B|1C");
    for (std::string_view line : kAddress) {
        t->Add(line).Add("\n");
    }
    t->Add("\x1B|N").Rule();
    for (const Item& item : kItems) {
        t->PadEnd(item.name, 34).Add(item.qty).Add(" x ").PadStart(item.price, 7).Add("\n");
    }
    t->Rule().Add("\x1B|uC").Pair("Subtotal", "108.60", kColumns).Add("\n\x1B|N");
    t->Pair("VAT 20% included", "18.10", kColumns).Add("\n\x1B|bC\x1B|2C");
    t->Pair("TOTAL", "108.60", kColumns / 2).Add("\n\x1B|N").Rule();
    for (std::string_view line : kPayment) {
        t->Add(line).Add("\n");
    }
    t->Add("\x1B|cA\x1B|rvC").Add(kThanks).Add("\n\x1B|N\x1B|3lF\x1B|50P");
    return t->View();
}

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

    so::CPrinterRTK410 printer;
    TextBuilder builder;
    std::string out;
    std::size_t sink = 0;
    const double buildAndTranslate = TimePerCall(iterations, [&] {
        const std::string_view text = BuildReceipt(&builder);
        out.clear();
        (void)printer.TranslatePrintData(2, text, &out, false);
        sink += out.size();
    });
    const double buildOnly =
        TimePerCall(iterations, [&] { sink += BuildReceipt(&builder).size(); });
    const std::string_view text = BuildReceipt(&builder);
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
    std::printf("%-46s %12.0f %10s\n", "thermpos: build + translate", buildAndTranslate, "1");
    std::printf("%-46s %12.0f %10s\n", "thermpos: translate only", translateOnly, "-");
    std::printf("%-46s %12.0f %10s\n", "thermpos: build only", buildOnly, "-");

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
        std::printf("\nfastest peer / ours (build + translate): %.0fx\n",
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
