// `thermpos demo`: the whole road of a receipt, on a private registry and the virtual
// printer. Registers ThermSO, installs the logical devices, serves the virtual printer as
// a COM port (or uses the port named with --port, where a printer answers), then opens, claims and
// enables the RT-K410 printer through the control object core and prints: a sample receipt, then
// opens the cash drawer on connector 1 and waits for it to be closed, then three receipts in
// AsyncMode, and one with the cover opened on the way (when the demo controls the printer's cover).
// Every step is printed with its result code. Where the registry is the system's (Windows), the
// devices are installed there.
//
// Threads: the main thread runs the steps; the service objects' event threads call the
// listeners below, which record events under their mutex and wake the main thread; the
// virtual printer (demo_printer.h) runs its own thread. Locks: each listener's mutex_ only.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "demo_logo.h"
#include "opos/ControlObject.h"
#include "platform/folder.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tools/command.h"
#include "tools/demo_printer.h"
#include "tools/demo_receipt.h"

namespace thermpos::tool {

namespace {

// A printer behind a port: what it prints stays where it is.
class PortDemoPrinter : public DemoPrinter {
  public:
    explicit PortDemoPrinter(std::string port) : port_(std::move(port)) {}
    std::string PortName() const override { return port_; }
    std::string Description() const override {
        return port_ + ": a printer the demo does not control";
    }
    bool ControlsCover() const override { return false; }
    void SetCover(bool) override {}
    bool WaitReceipts(int, std::chrono::seconds) override { return true; }
    void Stop() override {}
    std::vector<std::string> Summary() const override {
        return {"printed on " + port_ + "; its receipts are where that printer keeps them"};
    }

  private:
    std::string port_;
};

}  // namespace

std::unique_ptr<DemoPrinter> UseNamedPort(const std::string& portName) {
    return std::make_unique<PortDemoPrinter>(portName);
}

namespace {

constexpr char kName[] = "demo";
constexpr char kPrinter[] = "RTK410.TALVERN.POSPrinter";
constexpr char kDrawer[] = "RTK410.TALVERN.CD1";
constexpr char kDrawerKey[] =
    "HKLM\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashDrawer\\RTK410.TALVERN.CD1";
// The virtual printer's drawer falls shut this long after a kick, like a cashier's hand.
constexpr int kDrawerAutoCloseMs = 1000;
constexpr char kPortName[] = "COM9";

constexpr char kUsage[] =
    "usage: thermpos demo [--out DIR] [--server LIBRARY] [--port PORT]\n"
    "\n"
    "Prints a sample receipt, opens the cash drawer and a few more receipts on the\n"
    "virtual printer through ThermSO and the control object core, showing each step's\n"
    "result code and the events. Uses a\n"
    "private registry and lock folder under DIR (default ./demo-out) and writes the\n"
    "receipts there as PNG files. LIBRARY is ThermSO (found next to this program when\n"
    "not given, or in $THERMPOS_THERMSO).\n"
    "With --port the demo starts no virtual printer and prints on PORT (COM5, or\n"
    "socket://HOST:PORT), where a printer or `thermpos-vprinter` answers; the cover step\n"
    "is left out. On Windows --port is needed (the virtual printer runs on Linux) and the\n"
    "devices are installed in the system registry.\n";

// Records the events the application receives and answers error events: the cover is
// closed at the virtual printer, then the print is retried.
class DemoListener : public opos::ControlEventListener {
  public:
    explicit DemoListener(DemoPrinter& printer) : printer_(printer) {}

    void OnStatusUpdate(LONG data) override {
        std::printf("    event  StatusUpdateEvent(%ld)%s\n", static_cast<long>(data),
                    data == PTR_SUE_COVER_OPEN ? "  cover open"
                    : data == PTR_SUE_COVER_OK ? "  cover closed"
                    : data == PTR_SUE_IDLE     ? "  idle"
                                               : "");
        Record(&statusUpdates_, data);
    }
    void OnOutputComplete(LONG outputId) override {
        std::printf("    event  OutputCompleteEvent(OutputID %ld)\n", static_cast<long>(outputId));
        Record(&outputs_, outputId);
    }
    void OnError(LONG resultCode, LONG extended, LONG locus, LONG* response) override {
        if (ErrorCount() < 3)
            std::printf(
                "    event  ErrorEvent(ResultCode %ld, ResultCodeExtended %ld, locus %ld)\n",
                static_cast<long>(resultCode), static_cast<long>(extended),
                static_cast<long>(locus));
        if (ErrorCount() == 0) {
            std::printf("           closing the cover at the virtual printer\n");
            printer_.SetCover(false);
            // Like an operator who closes the cover and looks at the printer before pressing
            // Retry: the StatusUpdateEvent that reports the cover closed is queued behind
            // this very callback, so the only way to see it now is CoverOpen itself, which
            // the status monitor updates within its poll interval.
            if (control_ != nullptr) {
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
                while (control_->GetPropertyNumber(PIDXPtr_CoverOpen) != 0 &&
                       std::chrono::steady_clock::now() < limit) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            }
            std::printf(
                "           CoverOpen = %ld, answering retry\n",
                control_ ? static_cast<long>(control_->GetPropertyNumber(PIDXPtr_CoverOpen)) : -1L);
        }
        *response = OPOS_ER_RETRY;
        Record(&errors_, resultCode);
    }
    void SetControl(opos::COposControl* control) { control_ = control; }

    bool WaitOutput(LONG outputId, std::chrono::seconds limit) {
        return WaitRecorded(outputs_, outputId, limit);
    }
    bool WaitStatus(LONG status, std::chrono::seconds limit) {
        return WaitRecorded(statusUpdates_, status, limit);
    }
    std::size_t ErrorCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_.size();
    }

  private:
    void Record(std::vector<LONG>* list, LONG value) {
        std::lock_guard<std::mutex> lock(mutex_);
        list->push_back(value);
        changed_.notify_all();
    }
    bool WaitRecorded(const std::vector<LONG>& list, LONG value, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(
            lock, limit, [&] { return std::find(list.begin(), list.end(), value) != list.end(); });
    }

    DemoPrinter& printer_;
    opos::COposControl* control_ = nullptr;  // set before the first event can arrive
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LONG> statusUpdates_;  // guarded by mutex_
    std::vector<LONG> outputs_;        // guarded by mutex_
    std::vector<LONG> errors_;         // guarded by mutex_
};

// Records the drawer's status updates; the main thread prints them when it has waited
// for them, so the output reads in order.
class DrawerListener : public opos::ControlEventListener {
  public:
    void OnStatusUpdate(LONG data) override {
        std::lock_guard<std::mutex> lock(mutex_);
        statusUpdates_.push_back(data);
        changed_.notify_all();
    }
    bool WaitStatus(LONG status, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(statusUpdates_.begin(), statusUpdates_.end(), status) !=
                   statusUpdates_.end();
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LONG> statusUpdates_;  // guarded by mutex_
};

// ThermSO: $THERMPOS_THERMSO, else the build tree or the installation next to us.
std::string FindServer() {
    if (const char* env = std::getenv("THERMPOS_THERMSO"); env != nullptr && *env != '\0') {
        return env;
    }
    const std::filesystem::path dir =
        std::filesystem::path(platform::module::ExecutablePath()).parent_path();
    for (const char* candidate :
         {"../so/libThermSO.so", "../lib/libThermSO.so", "../lib/x86_64-linux-gnu/libThermSO.so",
          "libThermSO.so", "ThermSO.dll"}) {
        std::error_code ec;
        const auto path = std::filesystem::weakly_canonical(dir / candidate, ec);
        if (!ec && std::filesystem::exists(path, ec))
            return path.string();
    }
    return std::string();
}

// Runs another subcommand of this program; its exit code, or -1 when it cannot start.
int RunSelf(const std::vector<std::string>& args) {
    std::fflush(stdout);
    std::vector<std::string> all = {platform::module::ExecutablePath()};
    all.insert(all.end(), args.begin(), args.end());
    return platform::RunAndWait(all);
}

void Step(const char* text) {
    std::printf("\n%s\n", text);
}

void Show(const char* call, LONG result) {
    std::printf("  %-52s -> %ld\n", call, static_cast<long>(result));
}

// The drawer step: open, kick, see it open, wait until the virtual printer closes it.
LONG DemoDrawer() {
    DrawerListener listener;
    opos::COposControl drawer("CashDrawer");
    drawer.SetListener(&listener);
    LONG r = drawer.Open(kDrawer);
    Show("Open(\"RTK410.TALVERN.CD1\")", r);
    if (r != OPOS_SUCCESS)
        return r;
    platform::com::OutgoingArgs claimArgs;
    claimArgs.Long(1000);
    Show("ClaimDevice(1000)", drawer.CallLong("ClaimDevice", claimArgs));
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    Show("DeviceEnabled = 1; ResultCode", drawer.GetPropertyNumber(PIDX_ResultCode));
    std::printf("  CapStatus %ld, DrawerOpened %ld\n",
                static_cast<long>(drawer.GetPropertyNumber(PIDXCash_CapStatus)),
                static_cast<long>(drawer.GetPropertyNumber(PIDXCash_DrawerOpened)));
    r = drawer.CallLong("OpenDrawer");
    Show("OpenDrawer()", r);
    if (listener.WaitStatus(CASH_SUE_DRAWEROPEN, std::chrono::seconds(3))) {
        std::printf("    event  StatusUpdateEvent(%ld)  drawer open\n",
                    static_cast<long>(CASH_SUE_DRAWEROPEN));
    } else {
        std::printf("    no StatusUpdateEvent(1) within 3 s\n");
    }
    std::printf("  DrawerOpened %ld; the virtual printer closes its drawer %d ms after the kick\n",
                static_cast<long>(drawer.GetPropertyNumber(PIDXCash_DrawerOpened)),
                kDrawerAutoCloseMs);
    if (r == OPOS_SUCCESS) {
        const auto start = std::chrono::steady_clock::now();
        platform::com::OutgoingArgs waitArgs;
        waitArgs.Long(1000).Long(800).Long(100).Long(500);
        const LONG waited = drawer.CallLong("WaitForDrawerClose", waitArgs);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        Show("WaitForDrawerClose(1000, 800, 100, 500)", waited);
        std::printf("  returned after %lld ms\n", static_cast<long long>(ms));
        if (listener.WaitStatus(CASH_SUE_DRAWERCLOSED, std::chrono::seconds(3))) {
            std::printf("    event  StatusUpdateEvent(%ld)  drawer closed\n",
                        static_cast<long>(CASH_SUE_DRAWERCLOSED));
        } else {
            std::printf("    no StatusUpdateEvent(0) within 3 s\n");
        }
        r = waited;
    }
    const LONG closed = drawer.Close();
    Show("Close()", closed);
    return r != OPOS_SUCCESS ? r : closed;
}

LONG Print(opos::COposControl& printer, const std::string& data) {
    platform::com::OutgoingArgs args;
    args.Long(PTR_S_RECEIPT).String(data);
    return printer.CallLong("PrintNormal", args);
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string out = "demo-out";
    std::string server;
    std::string port;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--out" || args[i] == "--server" || args[i] == "--port") &&
            i + 1 < args.size()) {
            (args[i] == "--out" ? out : args[i] == "--server" ? server : port) = args[i + 1];
            ++i;
        } else {
            return Fail(kName, "unknown argument '" + args[i] + "' (see --help)");
        }
    }
    if (server.empty())
        server = FindServer();
    if (server.empty())
        return Fail(kName, "cannot find the ThermSO library (use --server)");

    // The folder's registry names the library loaded below: made private when missing,
    // and otherwise used only when it is this user's own and nobody else may write in it.
    for (const std::string& folder : {out, out + "/receipts", out + "/locks"}) {
        std::string why;
        if (!platform::MakeFolder(folder, platform::FolderRule::Own, &why))
            return Fail(kName, "cannot use " + folder + ": " + why);
    }
    std::error_code ec;
    const std::string base = std::filesystem::absolute(out).lexically_normal().string();
    // A fresh hive and fresh receipts each run; only files inside the demo folder go.
    std::filesystem::remove(base + "/registry.reg", ec);
    for (const auto& entry : std::filesystem::directory_iterator(base + "/receipts", ec)) {
        std::filesystem::remove(entry.path(), ec);
    }
    platform::SetEnvironment("THERMPOS_REGISTRY", base + "/registry.reg", true);
    platform::SetEnvironment("THERMPOS_LOCK_DIR", base + "/locks", true);
    // The settling wait after opening a port is for real hardware.
    platform::SetEnvironment("THERMPOS_OPEN_WAIT_MS", "50", false);

    // The printer first: without one there is nothing to install the devices for.
    std::string error;
    std::unique_ptr<DemoPrinter> printerBehind =
        port.empty()
            ? StartVirtualPrinter(kPortName, base + "/receipts", kDrawerAutoCloseMs, &error)
            : UseNamedPort(port);
    if (!printerBehind)
        return Fail(kName, "virtual printer: " + error);
    const std::string portName = printerBehind->PortName();

    std::printf("ThermPOS demo: RT-K410 receipt printer on %s\n",
                port.empty() ? "the virtual printer" : port.c_str());
    Step("1. Private registry and lock folder");
    // Where the registry is the system's own, that is where the devices go.
    std::printf("  registry  %s\n  locks     %s/locks\n", platform::registry::HivePath().c_str(),
                base.c_str());

    Step("2. Register ThermSO and install the logical devices");
    Show(("thermpos register " + server).c_str(), RunSelf({"register", server}));
    // --force: where the registry outlives the demo (Windows), an earlier run's port stays
    // otherwise.
    Show(("thermpos install-devices --port " + portName + " --force").c_str(),
         RunSelf({"install-devices", "--port", portName, "--force"}));
    // What the configuration utility writes for a drawer whose open state can be sensed.
    Show("thermpos reg add ...\\CD1 /v CapStatus /d 001",
         RunSelf({"reg", "add", kDrawerKey, "/v", "CapStatus", "/d", "001", "/f"}));

    Step(("3. The printer on " + portName).c_str());
    std::printf("  %s\n", printerBehind->Description().c_str());
    DemoPrinter& virtualPrinter = *printerBehind;

    Step("4. Open, claim and enable the printer through the control object");
    DemoListener listener(virtualPrinter);
    opos::COposControl printer("POSPrinter");
    printer.SetListener(&listener);
    listener.SetControl(&printer);
    LONG r = printer.Open(kPrinter);
    Show("Open(\"RTK410.TALVERN.POSPrinter\")", r);
    if (r != OPOS_SUCCESS)
        return Fail(kName, "the printer did not open");
    std::printf("  ServiceObjectDescription: %s\n",
                printer.GetPropertyString(PIDX_ServiceObjectDescription).c_str());
    platform::com::OutgoingArgs claimArgs;
    claimArgs.Long(1000);
    r = printer.CallLong("ClaimDevice", claimArgs);
    Show("ClaimDevice(1000)", r);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    Show("DeviceEnabled = 1; ResultCode", printer.GetPropertyNumber(PIDX_ResultCode));
    if (printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1) {
        printer.Close();
        return Fail(kName, "the printer could not be enabled");
    }
    std::printf("  RecLineChars %ld, RecLineWidth %ld, CharacterSet %ld\n",
                static_cast<long>(printer.GetPropertyNumber(PIDXPtr_RecLineChars)),
                static_cast<long>(printer.GetPropertyNumber(PIDXPtr_RecLineWidth)),
                static_cast<long>(printer.GetPropertyNumber(PIDXPtr_CharacterSet)));

    Step(
        "5. The sample receipt (logo, fonts, bold, underline, sizes, alignment, reverse, "
        "colour, feeds, a sideways stamp, bar codes, a bitmap, a QR code, cut)");
    const std::string logo = base + "/harbour-cafe-logo.bmp";
    std::ofstream(logo, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(kDemoLogoBmp), sizeof kDemoLogoBmp);
    for (const demo::ReceiptPart& part : demo::SampleReceipt(logo)) {
        const std::string what = std::string(part.what) + ")";
        platform::com::OutgoingArgs args;
        switch (part.kind) {
            case demo::ReceiptPart::kPrintNormal:
                Show(("PrintNormal(PTR_S_RECEIPT, " + what).c_str(), Print(printer, part.data));
                break;
            case demo::ReceiptPart::kPrintBarCode:
                args.Long(PTR_S_RECEIPT)
                    .String(part.data)
                    .Long(part.symbology)
                    .Long(part.height)
                    .Long(part.width)
                    .Long(part.alignment)
                    .Long(part.textPosition);
                Show(("PrintBarCode(PTR_S_RECEIPT, " + what).c_str(),
                     printer.CallLong("PrintBarCode", args));
                break;
            case demo::ReceiptPart::kSetBitmap:
                // In NV memory the printer takes about a millisecond per byte to store it.
                args.Long(part.bitmapNumber)
                    .Long(PTR_S_RECEIPT)
                    .String(part.data)
                    .Long(part.width)
                    .Long(part.alignment);
                Show(("SetBitmap(" + std::to_string(part.bitmapNumber) + ", " + what).c_str(),
                     printer.CallLong("SetBitmap", args));
                break;
            case demo::ReceiptPart::kPrintBitmap:
                args.Long(PTR_S_RECEIPT).String(part.data).Long(part.width).Long(part.alignment);
                Show(("PrintBitmap(PTR_S_RECEIPT, " + what).c_str(),
                     printer.CallLong("PrintBitmap", args));
                break;
            case demo::ReceiptPart::kRotatePrint:
                args.Long(PTR_S_RECEIPT).Long(part.value);
                Show(
                    ("RotatePrint(PTR_S_RECEIPT, " + std::to_string(part.value) + "): " + part.what)
                        .c_str(),
                    printer.CallLong("RotatePrint", args));
                break;
            case demo::ReceiptPart::kCutPaper:
                args.Long(part.value);
                Show(("CutPaper(" + std::to_string(part.value) + "): " + part.what).c_str(),
                     printer.CallLong("CutPaper", args));
                break;
        }
    }

    // The drawer's enable probe expects the printer to answer at once, which it does only
    // when it is not busy with a receipt.
    if (!virtualPrinter.WaitReceipts(1, std::chrono::seconds(10))) {
        std::printf("  the sample receipt was not finished within 10 s\n");
    }

    Step("6. Open the cash drawer on connector 1 and wait until it is closed");
    const LONG drawerResult = DemoDrawer();

    // The sample receipt, three orders, and the retried one when the cover step runs.
    int receiptsExpected = 4;
    Step("7. Three receipts in AsyncMode");
    printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    Show("AsyncMode = 1; ResultCode", printer.GetPropertyNumber(PIDX_ResultCode));
    LONG lastId = 0;
    for (int i = 1; i <= 3; ++i) {
        r = Print(printer, demo::ShortReceipt(i));
        lastId = printer.GetPropertyNumber(PIDX_OutputID);
        Show(("PrintNormal(order " + std::to_string(i) + "), OutputID " + std::to_string(lastId))
                 .c_str(),
             r);
    }
    if (!listener.WaitOutput(lastId, std::chrono::seconds(10))) {
        std::printf("  the OutputCompleteEvents did not all arrive within 10 s\n");
    }

    Step("8. Open the cover, print, and answer the error with retry");
    if (!virtualPrinter.ControlsCover()) {
        std::printf("  left out: the demo cannot open the cover of the printer on %s\n",
                    portName.c_str());
    } else {
        virtualPrinter.SetCover(true);
        std::printf("  cover opened at the virtual printer\n");
        if (listener.WaitStatus(PTR_SUE_COVER_OPEN, std::chrono::seconds(3))) {
            std::printf("  CoverOpen = %ld\n",
                        static_cast<long>(printer.GetPropertyNumber(PIDXPtr_CoverOpen)));
            r = Print(printer, demo::ShortReceipt(4));
            lastId = printer.GetPropertyNumber(PIDX_OutputID);
            Show(("PrintNormal(order 4), OutputID " + std::to_string(lastId)).c_str(), r);
            ++receiptsExpected;
            if (!listener.WaitOutput(lastId, std::chrono::seconds(10))) {
                std::printf("  no OutputCompleteEvent for the retried print within 10 s\n");
            }
        } else {
            // Without a status monitor the service object never hears of the cover.
            std::printf(
                "  no StatusUpdateEvent within 3 s: this build has no status monitor,\n"
                "  so the cover step is skipped; closing the cover again\n");
            virtualPrinter.SetCover(false);
        }
    }

    // OutputCompleteEvent means the service object has sent the job, not that the printer
    // has cut it yet: stopping the virtual printer now could lose the last receipt.
    if (!virtualPrinter.WaitReceipts(receiptsExpected, std::chrono::seconds(10))) {
        std::printf("  the printer did not finish %d receipts within 10 s\n", receiptsExpected);
    }

    Step("9. Close");
    printer.SetPropertyNumber(PIDXPtr_AsyncMode, 0);
    r = printer.Close();
    Show("Close()", r);
    virtualPrinter.Stop();

    Step("Receipts");
    for (const std::string& line : virtualPrinter.Summary()) {
        std::printf("  %s\n", line.c_str());
    }
    return r == OPOS_SUCCESS && drawerResult == OPOS_SUCCESS ? 0 : 1;
}

const ToolCommand kCommand(kName, "print sample receipts on the virtual printer", Run);

}  // namespace
}  // namespace thermpos::tool
