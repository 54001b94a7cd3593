// GS ( k on the printer model: QR Code and PDF417 drawn at the commanded sizes, justified
// and upside down, the settings kept as the printer keeps them, and every length from the
// host bounded (a store or a setting with a bad length is skipped by its length, a huge
// one neither allocates nor stalls the stream).
#include <gtest/gtest.h>

#include <random>

#include "tests/vprinter/model_test_util.h"
#include "vprinter/symbol2d.h"

namespace thermpos::vprinter::test {
namespace {

const std::string kInit = B({0x1B, 0x40});

// GS ( k pL pH cn fn and the parameters.
std::string K(int cn, int fn, const std::string& parameters) {
    const std::size_t len = parameters.size() + 2;
    return B({0x1D, 0x28, 0x6B, static_cast<int>(len & 0xFF), static_cast<int>(len >> 8), cn, fn}) +
           parameters;
}
std::string Store(int cn, const std::string& data) {
    return K(cn, 0x50, "0" + data);
}
std::string PrintStored(int cn) {
    return K(cn, 0x51, "0");
}

// The modules of the symbol at sx x sy dots each, as the paper shows them.
std::vector<std::uint8_t> Scaled(const Bitmap& modules, int sx, int sy, bool turned) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < modules.height * sy; ++y)
        for (int x = 0; x < modules.width * sx; ++x) {
            const int mx = x / sx, my = y / sy;
            out.push_back(turned ? modules.At(modules.width - 1 - mx, modules.height - 1 - my)
                                 : modules.At(mx, my));
        }
    return out;
}

struct Drawn {
    int justify;  // ESC a
    bool upsideDown;
    int left;  // where the symbol starts on 576 dots
};

}  // namespace

TEST(Symbol2D, QrCodeAtTheCommandedModuleSizeJustifiedAndTurned) {
    const std::string data = "https://harbour-cafe.example/r/0042";
    QrSettings settings;
    settings.level = 1;
    const auto modules = EncodeQr(settings, data, nullptr);
    ASSERT_TRUE(modules);
    const int side = modules->width * 5;
    const Drawn cases[] = {{0, false, 0}, {1, false, (576 - side) / 2}, {2, true, 576 - side}};
    for (const Drawn& c : cases) {
        SCOPED_TRACE(c.justify);
        Rig r;
        std::vector<CommandRecord> log;
        r.model.SetCommandLog([&](const CommandRecord& record) { log.push_back(record); });
        const auto img = r.Print(kInit + B({0x1B, 0x61, c.justify, 0x1B, 0x7B, c.upsideDown}) +
                                 K(0x31, 0x41, B({0x32, 0})) + K(0x31, 0x43, B({5})) +
                                 K(0x31, 0x45, "1") + Store(0x31, data) + PrintStored(0x31));
        EXPECT_EQ(r.model.Status().commandsSkipped, 0u);
        ASSERT_EQ(img.height, side + 2);  // and the cut mark
        const InkBox box = Content(img);
        EXPECT_EQ(box.left, c.left);
        EXPECT_EQ(box.right - box.left + 1, side);
        EXPECT_EQ(Crop(img, c.left, 0, side, side), Scaled(*modules, 5, 5, c.upsideDown));
        // ESC @, ESC a, ESC {, three settings, then the store and the print.
        ASSERT_GE(log.size(), 8u);
        EXPECT_EQ(log[6].mnemonic, "GS ( k");
        EXPECT_EQ(log[6].params, "cn=49 fn=P m=48 k=35");
        EXPECT_EQ(log[7].params, "cn=49 fn=Q printed 29x29 modules as 145x145 dots");
    }
}

TEST(Symbol2D, Pdf417AtTheCommandedColumnsModuleWidthAndRowHeight) {
    const std::string data = "Receipt 0042, 11.43";
    struct Case {
        int columns, moduleDots, rowHeight;
    };
    for (const Case& c : {Case{2, 2, 3}, Case{4, 3, 2}, Case{1, 6, 8}}) {
        SCOPED_TRACE(c.columns);
        Pdf417Settings settings;
        settings.columns = c.columns;
        settings.levelIsRatio = false;
        settings.level = 2;
        const auto modules = EncodePdf417(settings, data, nullptr);
        ASSERT_TRUE(modules);
        ASSERT_EQ(modules->width, 17 * c.columns + 69);
        Rig r;
        const auto img =
            r.Print(kInit + K(0x30, 0x41, B({c.columns})) + K(0x30, 0x43, B({c.moduleDots})) +
                    K(0x30, 0x44, B({c.rowHeight})) + K(0x30, 0x45, "02") + Store(0x30, data) +
                    PrintStored(0x30));
        EXPECT_EQ(r.model.Status().commandsSkipped, 0u);
        const int w = modules->width * c.moduleDots,
                  h = modules->height * c.rowHeight * c.moduleDots;
        ASSERT_EQ(img.height, h + 2);
        EXPECT_EQ(Crop(img, 0, 0, w, h),
                  Scaled(*modules, c.moduleDots, c.rowHeight * c.moduleDots, false));
        EXPECT_TRUE(Ink(img, 255, 0, h).right == w - 1);
    }
}

// Settings keep their values until changed or ESC @; the stored data stays after a print;
// values out of range change nothing.
TEST(Symbol2D, SettingsAndStoredDataAsThePrinterKeepsThem) {
    Rig r;
    const std::string setup = kInit + K(0x31, 0x43, B({4})) + Store(0x31, "abc");
    const auto once = r.Print(setup + PrintStored(0x31));
    ASSERT_EQ(once.height, 21 * 4 + 2);
    // Out of range: module size 17 and 0, level '4', model 4.
    const auto again = r.Print(K(0x31, 0x43, B({17})) + K(0x31, 0x43, B({0})) + K(0x31, 0x45, "4") +
                               K(0x31, 0x41, B({0x34, 0})) + PrintStored(0x31) + PrintStored(0x31));
    EXPECT_EQ(again.height, 2 * 21 * 4 + 2);
    EXPECT_EQ(Crop(again, 0, 0, 84, 84), Crop(once, 0, 0, 84, 84));
    // ESC @ forgets data and settings: nothing to print.
    const auto none = r.Print(kInit + PrintStored(0x31) + PrintStored(0x30));
    EXPECT_TRUE(Content(none).Empty());
    EXPECT_EQ(r.model.Status().commandsSkipped, 2u);
    // An empty store forgets the data too.
    EXPECT_TRUE(Content(r.Print(Store(0x31, "abc") + Store(0x31, "") + PrintStored(0x31))).Empty());
    // Micro QR (model 3) prints, model 1 does not.
    EXPECT_FALSE(
        Content(r.Print(K(0x31, 0x41, B({0x33, 0})) + Store(0x31, "1") + PrintStored(0x31)))
            .Empty());
    EXPECT_TRUE(Content(r.Print(K(0x31, 0x41, B({0x31, 0})) + PrintStored(0x31))).Empty());
}

// Data the settings cannot hold prints nothing; a symbol wider than the print area neither.
TEST(Symbol2D, WhatDoesNotFitIsNotPrinted) {
    Rig r;
    // 2,332 bytes are one more than version 40 holds at level M.
    const auto tooMuch = r.Print(kInit + K(0x31, 0x45, "1") + K(0x31, 0x43, B({1})) +
                                 Store(0x31, std::string(2332, 'a')) + PrintStored(0x31));
    EXPECT_TRUE(Content(tooMuch).Empty());
    const auto fits = r.Print(Store(0x31, std::string(2331, 'a')) + PrintStored(0x31));
    EXPECT_EQ(Content(fits).right + 1, 177);
    // 177 modules at 4 dots are 708 dots, wider than 576.
    EXPECT_TRUE(Content(r.Print(K(0x31, 0x43, B({4})) + PrintStored(0x31))).Empty());
    // Three columns cannot hold 400 bytes in three rows.
    EXPECT_TRUE(Content(r.Print(K(0x30, 0x41, B({3})) + K(0x30, 0x42, B({3})) +
                                Store(0x30, std::string(400, 'z')) + PrintStored(0x30)))
                    .Empty());
    EXPECT_EQ(r.model.Status().commandsSkipped, 3u);
}

// Random GS ( k commands, each as long as its pL pH say, with parameters of any value: the
// model never stalls, never holds more than its buffer, and reads the text after them.
TEST(Symbol2D, BadLengthsAreSkippedByTheirLength) {
    std::mt19937 random(34);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::string s = kInit;
        for (int k = 0; k < 6; ++k) {
            const int cns[] = {0x30, 0x31, 0x32, static_cast<int>(random() & 0xFF)};
            const int fns[] = {
                0x41, 0x43, 0x45, 0x50, 0x51, 0x52, static_cast<int>(random() & 0xFF)};
            const int cn = cns[random() % 4], fn = fns[random() % 7];
            // Mostly short, sometimes 0 or 1 (no room for cn fn), sometimes long.
            const std::size_t lens[] = {0, 1, 2, 3, 4, 5, random() % 64, 3000 + random() % 9000};
            const std::size_t len = lens[random() % 8];
            std::string body =
                B({0x1D, 0x28, 0x6B, static_cast<int>(len & 0xFF), static_cast<int>(len >> 8)});
            for (std::size_t i = 0; i < len; ++i)
                body += static_cast<char>(i == 0 ? cn : i == 1 ? fn : random() & 0xFF);
            s += body;
        }
        s += "END\n";
        Rig r;
        std::vector<CommandRecord> log;
        r.model.SetCommandLog([&](const CommandRecord& record) { log.push_back(record); });
        ASSERT_EQ(r.Send(s), s.size());
        EXPECT_EQ(r.model.Status().bytesProcessed, s.size());
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().mnemonic, "LF");
        EXPECT_EQ(log[log.size() - 2].params, "\"END\"");
    }
}

// pL pH of 65535 for the store: the data streams past, kept only up to the most a symbol
// holds, and what follows is read as usual.
TEST(Symbol2D, HugeStoreIsStreamedNotKept) {
    Rig r;
    ASSERT_EQ(
        r.Send(kInit + Store(0x31, "abc") + B({0x1D, 0x28, 0x6B, 0xFF, 0xFF, 0x31, 0x50, 0x30})),
        13u + 8);
    const std::string block(65532, 'q');
    for (std::size_t sent = 0; sent < block.size(); sent += 4096) {
        const std::string part = block.substr(sent, 4096);
        ASSERT_EQ(r.Send(part), part.size());
        ASSERT_LE(r.model.Status().bytesBuffered, ModelOptions{}.receiveBufferBytes);
    }
    // Too long for any symbol: skipped, and the data stored before is gone.
    const auto img = r.Print(PrintStored(0x31) + "after\n");
    EXPECT_EQ(img.height, 30 + 2);
    EXPECT_EQ(r.model.Status().commandsSkipped, 2u);
}

}  // namespace thermpos::vprinter::test
