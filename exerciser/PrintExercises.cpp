#include "exerciser/PrintExercises.h"

#include "opos/OposConstants.h"

namespace exerciser {

namespace {

constexpr char16_t kEsc = u'\x1b';

struct BarCodeRow {
    const char* heading;
    std::u16string_view data;
    LONG symbology;
    LONG height;
    LONG width;
};

// Heights and widths are in the device's current map mode units. The UPC-E row starts
// with a zero character, which no printer takes as bar code data: its line in the result
// list shows what the device answers to that.
const BarCodeRow kBarCodes[] = {
    {"Printing BarCode: UPC-A", u"123456789012", PTR_BCS_UPCA, 162, 300},
    {"Printing BarCode: UPC-E",
     std::u16string_view(u"\0"
                         u"98",
                         3),
     PTR_BCS_UPCE, 160, 100},
    {"Printing BarCode: JAN-13 (=EAN-13)", u"1234567890128", PTR_BCS_EAN13, 162, 300},
    {"Printing BarCode: JAN-8 (=EAN-8)", u"12345678", PTR_BCS_EAN8, 162, 300},
    {"Printing BarCode: EAN-128", u"123456789012", PTR_BCS_EAN128, 162, 300},
    {"Printing BarCode: Standard TF", u"123456789012", PTR_BCS_TF, 162, 200},
    {"Printing BarCode: Standard ITF", u"123456789012", PTR_BCS_ITF, 162, 300},
    {"Printing BarCode: CodaBar", u"A123456789012B", PTR_BCS_Codabar, 162, 300},
    {"Printing Bar Code: Code 39", u"123456789012", PTR_BCS_Code39, 162, 200},
    {"Printing Bar Code: Code 93", u"123456789012", PTR_BCS_Code93, 162, 200},
    {"Printing Bar Code: Code 128", u"{A123456", PTR_BCS_Code128, 162, 100},
};

QString Escape(const char* sequence) {
    return QString(QChar(kEsc)) + QLatin1String(sequence);
}

}  // namespace

void AddText(thermpos::platform::com::OutgoingArgs& args, const QString& text) {
    args.WString(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                     static_cast<size_t>(text.size())));
}

LONG PrintOnStation(CGlobalModule& module, const char* method, const QString& data) {
    thermpos::platform::com::OutgoingArgs args;
    args.Long(module.CurrentStation);
    AddText(args, data);
    return module.PrinterCO.Call(method, args);
}

void CPrintExercises::PrintBitmap() {
    if (!module_.CheckPrinterReady() || !module_.SelectBitmapFile())
        return;
    const std::string question = "You have Selected bitmap file (" + module_.BitmapFileName +
                                 ") to Print. To Continue Printing Press 'Yes'";
    if (module_.Messages().Show(question, "Print Bitmap", CMessageBoxes::Icon::Question,
                                CMessageBoxes::Buttons::YesNo) != CMessageBoxes::Reply::Yes)
        return;
    thermpos::platform::com::OutgoingArgs args;
    args.Long(module_.CurrentStation);
    AddText(args, QString::fromStdString(module_.BitmapFileName));
    args.Long(PTR_BM_ASIS).Long(PTR_BM_CENTER);
    module_.LogResult("PrintBitmap", module_.PrinterCO.Call("PrintBitmap", args));
}

bool CPrintExercises::RotatePrint(LONG rotation) {
    thermpos::platform::com::OutgoingArgs args;
    args.Long(module_.CurrentStation).Long(rotation);
    const LONG rc = module_.PrinterCO.Call("RotatePrint", args);
    module_.LogResult("RotatePrint", rc);
    return rc == OPOS_SUCCESS;
}

bool CPrintExercises::TransactionPrint(bool checked) {
    const LONG control = checked ? PTR_TP_NORMAL : PTR_TP_TRANSACTION;
    thermpos::platform::com::OutgoingArgs args;
    args.Long(module_.CurrentStation).Long(control);
    const LONG rc = module_.PrinterCO.Call("TransactionPrint", args);
    module_.LogResult("TransactionPrint", rc);
    return rc == OPOS_SUCCESS && control == PTR_TP_TRANSACTION;
}

void CPrintExercises::FeedLine() {
    module_.LogResult("PrintNormal", PrintOnStation(module_, "PrintNormal", Escape("|lF")));
}

void CPrintExercises::PaperPartialCut() {
    module_.LogResult("Paper Partial Cut:",
                      PrintOnStation(module_, "PrintNormal", Escape("|50P\r\n")));
}

void CPrintExercises::PaperFullCut() {
    module_.LogResult("Paper Full Cut:", PrintOnStation(module_, "PrintNormal", Escape("|P\r\n")));
}

void CPrintExercises::PaperFeedAndCut() {
    module_.LogResult("Paper Full Cut n Feed:",
                      PrintOnStation(module_, "PrintNormal", Escape("|100fP\r\n")));
}

void CPrintExercises::BarCodeDemo() {
    bool first = true;
    for (const BarCodeRow& row : kBarCodes) {
        (void)PrintOnStation(module_, "PrintNormal", QLatin1String(row.heading) + u'\n');
        thermpos::platform::com::OutgoingArgs args;
        args.Long(module_.CurrentStation)
            .WString(row.data)
            .Long(row.symbology)
            .Long(row.height)
            .Long(row.width)
            .Long(PTR_BC_CENTER)
            .Long(PTR_BC_TEXT_BELOW);
        module_.LogResult("PrintBarCode", module_.PrinterCO.Call("PrintBarCode", args));
        (void)PrintOnStation(module_, "PrintNormal",
                             first ? QStringLiteral("\n") : QStringLiteral("\r\n"));
        first = false;
    }
    (void)PrintOnStation(module_, "PrintNormal", QStringLiteral("\r\n\r\n\r\n"));
    thermpos::platform::com::OutgoingArgs cut;
    cut.Long(50);
    module_.LogResult("Paper Partial Cut:", module_.PrinterCO.Call("CutPaper", cut));
}

}  // namespace exerciser
