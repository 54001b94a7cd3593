#include "exerciser/ScriptedDemos.h"

#include <QCoreApplication>
#include <cctype>

#include "exerciser/StatusForm.h"
#include "opos/OposConstants.h"

namespace exerciser {

using thermpos::platform::com::OutgoingArgs;

namespace {

// The demonstration's Code 39 symbol, sized in dots like the bar code demonstration's own
// Code 39 row so that a device that checks the sizes prints it.
constexpr LONG kBarCodeHeightDots = 162;
constexpr LONG kBarCodeWidthDots = 200;

std::string Number(LONG value) {
    return std::to_string(value);
}

}  // namespace

std::string OposResultName(LONG code) {
    switch (code) {
        case OPOS_SUCCESS:
            return "OPOS_SUCCESS";
        case OPOS_E_CLOSED:
            return "OPOS_E_CLOSED";
        case OPOS_E_CLAIMED:
            return "OPOS_E_CLAIMED";
        case OPOS_E_NOTCLAIMED:
            return "OPOS_E_NOTCLAIMED";
        case OPOS_E_NOSERVICE:
            return "OPOS_E_NOSERVICE";
        case OPOS_E_DISABLED:
            return "OPOS_E_DISABLED";
        case OPOS_E_ILLEGAL:
            return "OPOS_E_ILLEGAL";
        case OPOS_E_NOHARDWARE:
            return "OPOS_E_NOHARDWARE";
        case OPOS_E_OFFLINE:
            return "OPOS_E_OFFLINE";
        case OPOS_E_NOEXIST:
            return "OPOS_E_NOEXIST";
        case OPOS_E_EXISTS:
            return "OPOS_E_EXISTS";
        case OPOS_E_FAILURE:
            return "OPOS_E_FAILURE";
        case OPOS_E_TIMEOUT:
            return "OPOS_E_TIMEOUT";
        case OPOS_E_BUSY:
            return "OPOS_E_BUSY";
        case OPOS_E_EXTENDED:
            return "OPOS_E_EXTENDED";
        default:
            return "";
    }
}

std::vector<std::string> CharacterTableRows(LONG characterSet) {
    const bool kana = characterSet == 932;
    const int first = kana ? 160 : 32;
    const int rows = kana ? 4 : 14;
    const std::string indent(kana ? 14 : 13, ' ');
    std::vector<std::string> out;
    for (int row = 0; row < rows; ++row) {
        std::string line = indent;
        for (int code = first + row * 16; code < first + row * 16 + 16; ++code) {
            line += static_cast<char>(code);
            line += ' ';
        }
        out.push_back(line + kCrLf);
    }
    return out;
}

std::vector<LONG> CharacterSetEntries(const std::string& list) {
    std::vector<LONG> out;
    if (list.empty())
        return out;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        // Leading blanks are skipped and at most nine digits taken, so no item overflows.
        size_t i = item.find_first_not_of(' ');
        LONG value = 0;
        for (int digits = 0;
             i < item.size() && digits < 9 && std::isdigit(static_cast<unsigned char>(item[i]));
             ++i, ++digits)
            value = value * 10 + (item[i] - '0');
        out.push_back(value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------------

CPrintScript::CPrintScript(CGlobalModule& module, CExerciserWindows& windows)
    : module_(module), windows_(windows) {}

std::string CPrintScript::LogoPath() {
    return QCoreApplication::applicationDirPath().toStdString() + "/" + kLogoFileName;
}

LONG CPrintScript::Print(const std::string& data) {
    OutgoingArgs args;
    args.Long(Station()).String(data);
    const LONG rc = Printer().Call("PrintNormal", args);
    Log("PrintNormal", rc);
    return rc;
}

LONG CPrintScript::Call(const char* method, OutgoingArgs& args) {
    return Printer().Call(method, args);
}

LONG CPrintScript::CallStation(const char* method, LONG value) {
    OutgoingArgs args;
    args.Long(Station()).Long(value);
    return Printer().Call(method, args);
}

LONG CPrintScript::ValidateData(const std::string& data) {
    OutgoingArgs args;
    args.Long(Station()).String(data);
    return Printer().Call("ValidateData", args);
}

LONG CPrintScript::SetBitmapLogo() {
    OutgoingArgs args;
    args.Long(1).Long(Station()).String(LogoPath()).Long(PTR_BM_ASIS).Long(PTR_BM_CENTER);
    return Printer().Call("SetBitmap", args);
}

LONG CPrintScript::SetLogo(LONG location, const std::string& data) {
    OutgoingArgs args;
    args.Long(location).String(data);
    return Printer().Call("SetLogo", args);
}

void CPrintScript::FeedAndCut() {
    if (Station() == PTR_S_RECEIPT) {
        const LONG lines = Printer().GetLong("RecLinesToPaperCut");
        for (LONG i = 0; i < lines; ++i)
            Print(kCrLf);
    }
    Print(std::string(kEsc) + "|P");
}

void CPrintScript::SlipHandOff(SlipHandOffKind kind) {
    for (;;) {
        OutgoingArgs wait;
        wait.Long(5000);
        const LONG rc = Printer().Call("BeginInsertion", wait);
        const bool inserted =
            kind == SlipHandOffKind::EndTransaction ? rc == OPOS_SUCCESS : rc != OPOS_E_FAILURE;
        if (inserted || !Printer().GetBool("CapSlpEmptySensor")) {
            Log("EndInsertion", Printer().Call("EndInsertion"));
            if (kind == SlipHandOffKind::EndTransaction)
                Log("TransactionPrint", CallStation("TransactionPrint", PTR_TP_NORMAL));
            OutgoingArgs noTimeout;
            noTimeout.Long(-1);
            Log("BeginRemoval", Printer().Call("BeginRemoval", noTimeout));
            Log("EndRemoval", Printer().Call("EndRemoval"));
            return;
        }
        const std::string name = OposResultName(Printer().GetLong("ResultCode"));
        const std::string text =
            "BeginInsertion : " + (name.empty() ? std::string("ResultCode Error !?") : name);
        Log("EndInsertion", Printer().Call("EndInsertion"));
        if (module_.Messages().Show(text, "", CMessageBoxes::Icon::Question,
                                    CMessageBoxes::Buttons::RetryCancel) ==
            CMessageBoxes::Reply::Cancel) {
            Log("ClearOutput", Printer().Call("ClearOutput"));
            return;
        }
    }
}

void CPrintScript::FinishTransaction() {
    if (Station() == PTR_S_SLIP)
        SlipHandOff(SlipHandOffKind::EndTransaction);
    else
        Log("TransactionPrint", CallStation("TransactionPrint", PTR_TP_NORMAL));
}

void CPrintScript::WatchForIdle() {
    windows_.Status().SetChecked(StatusBox::FlagIdle, false);
    Printer().SetBool("FlagWhenIdle", true);
}

void CPrintScript::YieldToUi() {
    // The windows repaint and the printer's events arrive; the operator's clicks wait for
    // the script, so no second script starts in the middle of this one.
    for (int i = 0; i < kScriptYields; ++i)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// ---------------------------------------------------------------------------------------

void CScriptedDemos::PrintCharacterSets() {
    if (!Module().CheckPrinterReady())
        return;
    Printer().SetLong("BinaryConversion", OPOS_BC_NONE);
    Log("TransactionPrint", CallStation("TransactionPrint", PTR_TP_TRANSACTION));
    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));

    const LONG original = Printer().GetLong("CharacterSet");
    Print("Current CharacterSet = " + Number(original) + kCrLf);
    for (LONG set : CharacterSetEntries(Printer().GetString("CharacterSetList"))) {
        Printer().SetLong("CharacterSet", set);
        // The table follows what the device took, which is the old set when it refused.
        const LONG active = Printer().GetLong("CharacterSet");
        Print("CharacterSet = " + Number(active) + kCrLf);
        for (const std::string& row : CharacterTableRows(active))
            Print(row);
        Print(kCrLf);
    }
    Printer().SetLong("CharacterSet", original);

    FeedAndCut();
    FinishTransaction();
    WatchForIdle();
}

void CScriptedDemos::PrintMethods() {
    if (!Module().CheckPrinterReady())
        return;
    const std::string crlf = kCrLf;
    Print("Checking Print Normal Fucntion ........OK " + crlf);
    Print("Setting Transaction Printing .............. SET" + crlf);
    Log("TransactionPrint", CallStation("TransactionPrint", PTR_TP_TRANSACTION));
    Print("Setting Rotational Printing To Normal...... SET" + crlf);
    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));
    Printer().SetLong("MapMode", PTR_MM_DOTS);

    Print("PrintBarCode (PTR_BCS_Code39)" + crlf);
    const LONG station = Station();
    if (station == PTR_S_RECEIPT || station == PTR_S_SLIP) {
        if (Printer().GetBool(station == PTR_S_RECEIPT ? "CapRecBarCode" : "CapSlpBarCode")) {
            Printer().SetLong("RotateSpecial", kRotateNormal);
            OutgoingArgs args;
            args.Long(station)
                .String("1234567890")
                .Long(PTR_BCS_Code39)
                .Long(kBarCodeHeightDots)
                .Long(kBarCodeWidthDots)
                .Long(PTR_BC_CENTER)
                .Long(PTR_BC_TEXT_BELOW);
            Log("PrintBarCode", Call("PrintBarCode", args));
        } else {
            Print("BarCode Printing Not Support !?" + crlf);
        }
    }

    Printer().SetLong("MapMode", PTR_MM_DOTS);
    Print("Setting Roation Prting To 180.....SET" + crlf);
    Log("RotatePrint", CallStation("RotatePrint", kRotate180));
    Print("Checking 180 Rotation Printing......OK" + crlf);
    Print("Two Lines To Rotate...." + crlf);
    Print("Setting Roation Prting To Normal.....SET" + crlf);
    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));

    {
        OutgoingArgs args;
        args.Long(station)
            .String("Checking PrintTWONormal........OK")
            .String("Second String of PrintTWONormal Fucntion.....OK" + crlf);
        Log("PrintTwoNormal", Call("PrintTwoNormal", args));
    }
    {
        OutgoingArgs args;
        args.Long(station).String("Checking Print Immediate Function.....OK" + crlf);
        Log("PrintImmediate", Call("PrintImmediate", args));
    }
    FinishTransaction();

    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));
    if (Printer().GetLong("ResultCode") == OPOS_SUCCESS)
        PrintBitmapAndLogos();

    Print("PrintBitmap (PelkoLogo.bmp)" + crlf);
    if (station == PTR_S_RECEIPT || station == PTR_S_SLIP) {
        if (Printer().GetBool(station == PTR_S_RECEIPT ? "CapRecBitmap" : "CapSlpBitmap")) {
            OutgoingArgs args;
            args.Long(station).String(LogoPath()).Long(PTR_BM_ASIS).Long(PTR_BM_CENTER);
            const LONG rc = Call("PrintBitmap", args);
            Log("PrintBitmap", rc);
            if (rc == OPOS_SUCCESS)
                Print(crlf);
        } else {
            Print("Bitmap Printing Not Support !?" + crlf + crlf);
        }
    }

    Print("Cutting Paper.........OK" + crlf + crlf + crlf);
    {
        OutgoingArgs args;
        args.Long(100);
        Log("CutPaper", Call("CutPaper", args));
    }
    WatchForIdle();
}

void CScriptedDemos::PrintBitmapAndLogos() {
    const std::string crlf = kCrLf;
    if (Station() == PTR_S_RECEIPT || Station() == PTR_S_SLIP)
        Log("SetBitmap", SetBitmapLogo());
    YieldToUi();
    const LONG rc = ValidateData(std::string(10, ' ') + kEsc + "|1B" + std::string(3, ' '));
    if (rc != OPOS_SUCCESS)
        Print(NotSupportedLine("SetBitmap", rc) + crlf + crlf);
    else
        Print("SetBitmap (<ESC>|1B)" + crlf + kEsc + "|1B");

    Print("Testing SetLogo Fucntion " + crlf);
    PrintStoredLogo(PTR_L_TOP, "Pelko Infotech Ltd.(TopLogo)", "|tL", "SetLogo (<ESC>|tL)");
    PrintStoredLogo(PTR_L_BOTTOM, "Pelko Infotech Ltd.(BottomLogo)", "|bL", "SetLogo (<ESC>|bL)");
}

void CScriptedDemos::PrintStoredLogo(LONG location, const char* logoText, const char* sequence,
                                     const char* caption) {
    const std::string crlf = kCrLf;
    Log("SetLogo", SetLogo(location, logoText + crlf));
    const LONG rc = ValidateData(kEsc + std::string(sequence));
    if (rc != OPOS_SUCCESS) {
        Print(NotSupportedLine("SetLogo", rc) + crlf);
    } else {
        Print(caption + crlf);
        Print(std::string(5, ' ') + kEsc + sequence + crlf);
    }
}

std::string NotSupportedLine(const std::string& what, LONG code) {
    // The line names what the device answered: a device may refuse with any code.
    const std::string name = OposResultName(code);
    return what +
           " Printing Not Support !?, ResultCode Returned:" + (name.empty() ? Number(code) : name);
}

}  // namespace exerciser
