// Fault soak: an application prints N asynchronous jobs through the POSPrinter control
// object and the ThermSO server onto the virtual printer over a pty, while the operator
// side injects faults every 20-200 ms (cover, paper, offline, drawer, unplug), the
// application answers error events with retry or clear at random and opens the drawer now
// and then. Each job carries a unique marker; at the end every OutputID must have ended
// exactly once, as printed (its marker found once in what the printer decoded) or as
// cleared, and no job reported complete may be missing.
//
//   soak JOBS [SEED] [--no-unplug]
//
// Exit status 0 when the run holds, 1 when it found a fault: a job lost (reported complete
// but never printed; those near an unplug are counted apart to show where they went), a
// job printed twice, a completion raised twice or for an unknown id, or a hang.
// --no-unplug leaves that fault out, so that the others are seen on their own.
//
// Threads:
//   - main: the application; submits the jobs (at most kWindow outstanding), opens the
//     drawer, drains, then reads the printer's log and prints the table;
//   - injector: applies one fault, waits 20-200 ms, undoes it, waits 20-200 ms, ...;
//   - the service objects' event threads call App's listener methods;
//   - the virtual printer's own thread.
// Locks: App::mutex_ and Injector::mutex_ are each taken alone, never around a call into
// the control objects or the virtual printer.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/dispatch.h"
#include "tests/so/TestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using thermpos::opos::ControlEventListener;
using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;
namespace vp = thermpos::vprinter;

constexpr char kPort[] = "COM31";
constexpr char kPrinter[] = "RTK410.TALVERN.POSPrinter";
constexpr char kDrawer[] = "RTK410.TALVERN.CD1";
constexpr int kWindow = 8;  // outstanding jobs the application allows
// Nothing printed for this long while waiting: a hang. The printer's buffer holds a few
// hundred jobs and it is slower than its line, so a write may wait long while it works.
constexpr auto kStallLimit = 30s;
constexpr auto kProgressCheck = 5s;
constexpr int kDrawerEvery = 37;  // jobs between two drawer openings
constexpr int kCutEvery = 10;     // jobs per receipt
constexpr int kFailuresBeforeReopen = 3;

long RssKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string Marker(int job) {
    char m[16];
    std::snprintf(m, sizeof m, "<J%06d>", job);
    return m;
}

// ---------------------------------------------------------------------------------------

class App : public ControlEventListener {
  public:
    explicit App(unsigned seed) : rng_(seed) {}

    void OnOutputComplete(LONG outputId) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++completions_[{session_, outputId}];
        failuresInARow_ = 0;
        if (outstanding_ > 0)
            --outstanding_;
        ++events_;
        changed_.notify_all();
    }
    void OnError(LONG resultCode, LONG, LONG, LONG* response) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++errors_;
        ++events_;
        // A port that failed (not a printer condition) several times in a row stays
        // failed: clear, and reopen the devices.
        if (resultCode != OPOS_E_EXTENDED && ++failuresInARow_ >= kFailuresBeforeReopen)
            reopen_ = true;
        if (reopen_ || std::uniform_int_distribution<int>(0, 3)(rng_) == 0) {
            *response = OPOS_ER_CLEAR;
            ++clears_;
            // The queue is emptied once the service object reads this answer; until its
            // next idle report, jobs submitted now would vanish with it.
            clearPending_ = true;
            idleAtClear_ = idleEvents_;
        } else {
            *response = OPOS_ER_RETRY;
            ++retries_;
        }
        changed_.notify_all();
    }
    void OnStatusUpdate(LONG status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++statusUpdates_;
        ++events_;
        if (status == PTR_SUE_IDLE) {
            idle_ = true;
            ++idleEvents_;
            if (clearPending_ && idleEvents_ > idleAtClear_) {
                // Whatever was queued is gone; which jobs those were is settled at the end.
                clearPending_ = false;
                outstanding_ = 0;
            }
        }
        changed_.notify_all();
    }

    void Submitted() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++outstanding_;
    }
    // Waits until fewer than kWindow jobs are outstanding; false after `limit` without
    // any event.
    bool WaitForRoom(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (outstanding_ >= kWindow || clearPending_) {
            const auto seen = events_;
            if (!changed_.wait_for(lock, limit, [&] { return events_ != seen; }))
                return false;
        }
        return true;
    }
    // Waits for any event, at most `limit`.
    void WaitForEvent(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto seen = events_;
        changed_.wait_for(lock, limit, [&] { return events_ != seen; });
    }
    bool WaitIdle(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return idle_; });
    }
    void ResetIdle() {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_ = false;
    }

    // The devices were reopened: OutputIDs start again.
    void NewSession() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++session_;
        reopen_ = false;
        failuresInARow_ = 0;
        outstanding_ = 0;
        clearPending_ = false;
    }
    int Session() {
        std::lock_guard<std::mutex> lock(mutex_);
        return session_;
    }
    bool NeedsReopen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reopen_ && !clearPending_;
    }

    std::map<std::pair<int, LONG>, int> Completions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return completions_;
    }
    struct Counts {
        long errors, retries, clears, statusUpdates;
    };
    Counts Totals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {errors_, retries_, clears_, statusUpdates_};
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::mt19937 rng_;                                 // mutex_
    std::map<std::pair<int, LONG>, int> completions_;  // mutex_; (session, OutputID) -> events
    int session_ = 0;                                  // mutex_
    int failuresInARow_ = 0;                           // mutex_
    bool reopen_ = false;                              // mutex_
    int outstanding_ = 0;                              // mutex_
    unsigned long events_ = 0;                         // mutex_
    long errors_ = 0, retries_ = 0, clears_ = 0, statusUpdates_ = 0;  // mutex_
    bool idle_ = false;                                               // mutex_
    bool clearPending_ = false;                                       // mutex_
    unsigned long idleEvents_ = 0, idleAtClear_ = 0;                  // mutex_
};

// ---------------------------------------------------------------------------------------

enum FaultKind { kCover, kPaperNear, kPaperOut, kOffline, kDrawerOpen, kUnplug, kFaultKinds };
constexpr const char* kFaultNames[kFaultKinds] = {"cover open/close",  "paper near end/ok",
                                                  "paper out/ok",      "offline/online",
                                                  "drawer open/close", "unplug/replug"};

class Injector {
  public:
    Injector(vp::VirtualPrinter& printer, unsigned seed, bool unplug)
        : printer_(printer), rng_(seed), kinds_(unplug ? kFaultKinds : kUnplug) {}
    ~Injector() { Stop(); }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    std::array<long, kFaultKinds> Counts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_;
    }
    // The printer's input stream position at each unplug: jobs written around it may be lost.
    std::vector<std::uint64_t> UnplugOffsets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return unplugs_;
    }
    std::string Failure() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

  private:
    // Waits 20-200 ms unless stopped; false when stopped.
    bool Pause() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto wait =
            std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 200)(rng_));
        return !stopped_.wait_for(lock, wait, [&] { return stop_; });
    }
    void Run() {
        while (Pause()) {
            int kind;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                kind = std::uniform_int_distribution<int>(0, kinds_ - 1)(rng_);
                ++counts_[kind];
            }
            Apply(kind, true);
            Pause();  // the fault lasts 20-200 ms, and is undone even when stopping
            Apply(kind, false);
        }
    }
    void Apply(int kind, bool on) {
        switch (kind) {
            case kCover:
                printer_.SetCover(on);
                break;
            case kPaperNear:
                printer_.SetPaper(on ? vp::PaperState::NearEnd : vp::PaperState::Ok);
                break;
            case kPaperOut:
                printer_.SetPaper(on ? vp::PaperState::Out : vp::PaperState::Ok);
                break;
            case kOffline:
                printer_.SetOnline(!on);
                break;
            case kDrawerOpen:
                printer_.SetDrawer(on);
                break;
            case kUnplug:
                if (on) {
                    const std::uint64_t at = printer_.Status().bytesAccepted;
                    printer_.Unplug();
                    std::lock_guard<std::mutex> lock(mutex_);
                    unplugs_.push_back(at);
                } else {
                    std::string error;
                    if (!printer_.Replug(&error)) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        failure_ = "replug failed: " + error;
                    }
                }
                break;
            default:
                break;
        }
    }

    vp::VirtualPrinter& printer_;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::mt19937 rng_;                        // mutex_
    const int kinds_;                         // the first kinds_ of FaultKind are used
    bool stop_ = false;                       // mutex_
    std::array<long, kFaultKinds> counts_{};  // mutex_
    std::vector<std::uint64_t> unplugs_;      // mutex_
    std::string failure_;                     // mutex_
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------

// Where each marker appears in the printer's decoded text: the input stream offsets of
// the text records it starts in. Text records of one line may be split where a read
// ended, so the records are joined before searching.
std::map<int, std::vector<std::uint64_t>> FindMarkers(const std::string& logPath) {
    std::ifstream log(logPath);
    std::string text;
    std::vector<std::pair<std::size_t, std::uint64_t>> starts;  // text position -> offset
    for (std::string line; std::getline(log, line);) {
        const std::size_t mnemonic = line.find_first_not_of(" 0123456789");
        if (mnemonic == std::string::npos || line.compare(mnemonic, 6, "TEXT  ") != 0)
            continue;
        const std::uint64_t offset = std::strtoull(line.c_str(), nullptr, 10);
        std::string params = line.substr(mnemonic + 6);
        if (params.size() >= 2 && params.front() == '"')
            params = params.substr(1, params.rfind('"') - 1);
        starts.emplace_back(text.size(), offset);
        text += params;
    }
    std::map<int, std::vector<std::uint64_t>> found;
    for (std::size_t at = text.find("<J"); at != std::string::npos; at = text.find("<J", at + 1)) {
        if (at + 9 > text.size() || text[at + 8] != '>')
            continue;
        const int job = std::atoi(text.substr(at + 2, 6).c_str());
        auto it = std::upper_bound(starts.begin(), starts.end(), std::make_pair(at, UINT64_MAX));
        found[job].push_back(std::prev(it)->second);
    }
    return found;
}

bool LogEndsWith(const std::string& logPath, const std::string& what) {
    std::ifstream log(logPath, std::ios::ate);
    const std::streamoff size = log.tellg();
    log.seekg(std::max<std::streamoff>(0, size - 65536));
    std::string tail((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    return tail.find(what) != std::string::npos;
}

// A hang is a stretch with nothing printed: a slow printer working through what it was
// sent is not one.
class ProgressWatch {
  public:
    explicit ProgressWatch(vp::VirtualPrinter& printer)
        : printer_(printer),
          bytes_(printer.Status().bytesProcessed),
          since_(std::chrono::steady_clock::now()) {}
    bool Stalled() {
        const std::uint64_t now = printer_.Status().bytesProcessed;
        if (now != bytes_) {
            bytes_ = now;
            since_ = std::chrono::steady_clock::now();
            return false;
        }
        return std::chrono::steady_clock::now() - since_ > kStallLimit;
    }

  private:
    vp::VirtualPrinter& printer_;
    std::uint64_t bytes_;
    std::chrono::steady_clock::time_point since_;
};

LONG Print(COposControl& printer, const std::string& data) {
    OutgoingArgs args;
    args.Long(PTR_S_RECEIPT).String(data);
    return printer.CallLong("PrintNormal", args);
}

LONG Claim(COposControl& c) {
    OutgoingArgs args;
    args.Long(1000);
    return c.CallLong("ClaimDevice", args);
}

// Opens, claims and enables both devices, the printer in AsyncMode. Retried until the
// printer stops making progress: right after a replug, or while a full buffer holds the
// line, the printer may not answer the claim's status request for a while.
bool OpenDevices(App& app, COposControl& ptr, COposControl& drawer, vp::VirtualPrinter& printer) {
    for (ProgressWatch watch(printer); !watch.Stalled();) {
        ptr.Close();
        drawer.Close();
        if (ptr.Open(kPrinter) == OPOS_SUCCESS && Claim(ptr) == OPOS_SUCCESS &&
            drawer.Open(kDrawer) == OPOS_SUCCESS && Claim(drawer) == OPOS_SUCCESS) {
            // Enabling asks the printer for its status, which fails while it is unplugged:
            // each step is checked, or the application would go on with a disabled device.
            ptr.SetPropertyNumber(PIDX_DeviceEnabled, 1);
            const bool enabled = ptr.GetPropertyNumber(PIDX_ResultCode) == OPOS_SUCCESS;
            drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
            const bool drawerEnabled = drawer.GetPropertyNumber(PIDX_ResultCode) == OPOS_SUCCESS;
            ptr.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
            // Every time the queue empties: how the application learns that a clear
            // took effect.
            ptr.SetPropertyNumber(PIDXPtr_FlagWhenIdle, 1);
            if (enabled && drawerEnabled && ptr.GetPropertyNumber(PIDX_ResultCode) == OPOS_SUCCESS)
                return true;
        }
        app.WaitForEvent(200ms);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int jobs = argc > 1 ? std::atoi(argv[1]) : 300;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    const bool unplug = !(argc > 3 && std::string(argv[3]) == "--no-unplug");
    if (jobs <= 0 || jobs > 999999 || (argc > 3 && unplug) || argc > 4) {
        std::fprintf(stderr, "usage: %s JOBS [SEED] [--no-unplug]\n", argv[0]);
        return 2;
    }
    if (sotest::RegisterServer(sotest::ServerPath()) != S_OK) {
        std::fprintf(stderr, "cannot register the server\n");
        return 2;
    }
    const std::string dir = sotest::TempDir() + "/soak";
    vp::VirtualPrinterOptions options;
    options.mapName = kPort;
    options.linkPath = sotest::TempDir() + "/ttySOAK";
    options.outDir = dir;
    options.keepReceipts = 4;
    options.maxLogBytes = 1ull << 32;
    // A printer on a 9600 baud line that takes its time: the port's buffer fills, writes
    // wait, and the faults land among jobs still on their way.
    options.model.printSpeedMmPerS = 150;
    options.model.baud = 9600;
    vp::VirtualPrinter printer;
    std::string error;
    if (!printer.Start(options, &error)) {
        std::fprintf(stderr, "virtual printer: %s\n", error.c_str());
        return 2;
    }
    sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}});
    sotest::WriteDevice("CashDrawer", kDrawer, {{"Port", kPort}, {"CapStatus", "001"}});

    App app(seed);
    COposControl ptr("POSPrinter");
    COposControl drawer("CashDrawer");
    ptr.SetListener(&app);
    drawer.SetListener(&app);
    if (!OpenDevices(app, ptr, drawer, printer)) {
        std::fprintf(stderr, "cannot open, claim and enable the devices\n");
        return 2;
    }

    Injector injector(printer, seed * 7919u + 1, unplug);
    const auto start = std::chrono::steady_clock::now();
    const long rssStart = RssKb();
    long rssQuarter = 0;
    // (session, OutputID) per job; OutputID 0: never accepted.
    std::vector<std::pair<int, LONG>> outputIds(jobs, {0, 0});
    long reopens = 0;
    std::map<LONG, long> refusals;       // PrintNormal result -> count
    std::map<LONG, long> drawerResults;  // OpenDrawer result -> count
    bool hang = false;
    const char* hangWhere = "";
    injector.Start();
    for (int job = 0; job < jobs && !hang; ++job) {
        if (job == jobs / 4)
            rssQuarter = RssKb();
        ProgressWatch watch(printer);
        while (!hang && !app.WaitForRoom(kProgressCheck))
            hang = watch.Stalled();
        if (hang) {
            hangWhere = "waiting for the outstanding jobs";
            break;
        }
        if (app.NeedsReopen()) {
            ++reopens;
            app.NewSession();
            if (!OpenDevices(app, ptr, drawer, printer)) {
                hang = true;
                hangWhere = "opening the devices again";
                break;
            }
        }
        std::string data = Marker(job) + " soak line\n";
        if (job % kCutEvery == kCutEvery - 1)
            data += "\x1B|fP";
        // A refused call (the printer is in a fault right now) is tried again after the
        // next event, as an application would after telling its operator.
        // A device that is no longer enabled (the port failed under the service object)
        // is opened again.
        LONG rc = Print(ptr, data);
        for (int attempt = 0; rc != OPOS_SUCCESS && attempt < 200; ++attempt) {
            ++refusals[rc];
            if (rc == OPOS_E_DISABLED || rc == OPOS_E_CLOSED || rc == OPOS_E_NOTCLAIMED) {
                ++reopens;
                app.NewSession();
                if (!OpenDevices(app, ptr, drawer, printer))
                    app.WaitForEvent(100ms);
            } else {
                app.WaitForEvent(100ms);
            }
            rc = Print(ptr, data);
        }
        if (rc != OPOS_SUCCESS) {
            ++refusals[rc];
            continue;
        }
        outputIds[job] = {app.Session(), ptr.GetPropertyNumber(PIDX_OutputID)};
        app.Submitted();
        if (job % kDrawerEvery == kDrawerEvery - 1)
            ++drawerResults[drawer.CallLong("OpenDrawer")];
    }
    // Drain while the faults go on: wait for the queue to empty (the idle event, or the
    // state when it was idle already), then until a last job, printed synchronously, shows
    // in the printer's log: every earlier byte has then been through the printer too.
    const std::string logPath = dir + "/commands.log";
    bool endSeen = false;
    if (!hang) {
        app.ResetIdle();
        ProgressWatch watch(printer);
        while (!app.WaitIdle(1s) && ptr.GetPropertyNumber(PIDX_State) != OPOS_S_IDLE) {
            if (watch.Stalled()) {
                hang = true;
                hangWhere = "waiting for the queue to empty";
                break;
            }
        }
    }
    const long rssEnd = RssKb();
    if (!hang) {
        ptr.SetPropertyNumber(PIDXPtr_AsyncMode, 0);
        ProgressWatch watch(printer);
        int failures = 0;
        while (!endSeen && !watch.Stalled()) {
            const LONG rc = Print(ptr, "<END>\n");
            if (rc == OPOS_SUCCESS) {
                failures = 0;
                // Not seen: the bytes went down with an unplug; print it again.
                endSeen = printer.WaitStatus(
                    [&](const vp::PrinterStatus&) { return LogEndsWith(logPath, "<END>"); }, 10s);
            } else if (rc != OPOS_E_EXTENDED && ++failures >= kFailuresBeforeReopen) {
                ++reopens;
                app.NewSession();
                failures = 0;
                if (OpenDevices(app, ptr, drawer, printer))
                    ptr.SetPropertyNumber(PIDXPtr_AsyncMode, 0);
            } else {
                app.WaitForEvent(100ms);
            }
        }
        hang = !endSeen;
        if (hang)
            hangWhere = "waiting for the last job";
    }
    injector.Stop();
    std::string hangState;
    if (hang) {
        hangState = "printer State " + std::to_string(ptr.GetPropertyNumber(PIDX_State)) +
                    ", DeviceEnabled " + std::to_string(ptr.GetPropertyNumber(PIDX_DeviceEnabled)) +
                    ", PowerState " + std::to_string(ptr.GetPropertyNumber(PIDX_PowerState)) +
                    "; virtual printer: " + printer.StatusText();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    drawer.Close();
    ptr.Close();
    const vp::PrinterStatus finalStatus = printer.Status();
    printer.Stop();

    // Settle every job.
    const auto completions = app.Completions();
    const auto markers = FindMarkers(logPath);
    const auto unplugs = injector.UnplugOffsets();
    long accepted = 0, printed = 0, cleared = 0, lostAtUnplug = 0, lostOther = 0, doubled = 0,
         clearedButPrinted = 0, doubleCompletions = 0, notAccepted = 0;
    std::map<std::pair<int, LONG>, int> idToJob;
    for (int job = 0; job < jobs; ++job)
        if (outputIds[job].second != 0)
            idToJob[outputIds[job]] = job;
    long unknownCompletions = 0;
    for (const auto& [id, n] : completions)
        if (idToJob.count(id) == 0)
            unknownCompletions += n;
    auto offsetOf = [&](int job) -> const std::vector<std::uint64_t>* {
        auto it = markers.find(job);
        return it == markers.end() ? nullptr : &it->second;
    };
    std::vector<int> lostJobs, doubledJobs, clearedPrintedJobs;
    for (int job = 0; job < jobs; ++job) {
        const auto* found = offsetOf(job);
        const std::size_t times = found ? found->size() : 0;
        if (outputIds[job].second == 0) {
            ++notAccepted;
            continue;
        }
        ++accepted;
        auto c = completions.find(outputIds[job]);
        const int completed = c == completions.end() ? 0 : c->second;
        if (completed > 1)
            ++doubleCompletions;
        if (times > 1) {
            ++doubled;
            doubledJobs.push_back(job);
        }
        if (completed >= 1 && times == 1) {
            ++printed;
        } else if (completed == 0 && times == 0) {
            ++cleared;
        } else if (completed == 0) {
            ++clearedButPrinted;
            clearedPrintedJobs.push_back(job);
        } else if (times == 0) {
            // Between the nearest printed jobs before and after it, was the printer unplugged?
            std::uint64_t before = 0, after = UINT64_MAX;
            for (int j = job - 1; j >= 0; --j)
                if (const auto* f = offsetOf(j)) {
                    before = f->front();
                    break;
                }
            for (int j = job + 1; j < jobs; ++j)
                if (const auto* f = offsetOf(j)) {
                    after = f->front();
                    break;
                }
            const bool unplugged = std::any_of(unplugs.begin(), unplugs.end(),
                                               [&](auto u) { return u >= before && u <= after; });
            (unplugged ? lostAtUnplug : lostOther)++;
            lostJobs.push_back(job);
        }
    }

    const auto faults = injector.Counts();
    const auto totals = app.Totals();
    long faultTotal = 0;
    for (long n : faults)
        faultTotal += n;
    std::printf("soak: %d jobs, seed %u, %.1f s\n\n", jobs, seed, seconds);
    std::printf(
        "| jobs | accepted | printed | cleared | lost (unplug) | lost (other) | doubled | "
        "cleared but printed |\n|---|---|---|---|---|---|---|---|\n");
    std::printf("| %d | %ld | %ld | %ld | %ld | %ld | %ld | %ld |\n\n", jobs, accepted, printed,
                cleared, lostAtUnplug, lostOther, doubled, clearedButPrinted);
    std::printf("faults injected: %ld\n", faultTotal);
    for (int k = 0; k < kFaultKinds; ++k)
        std::printf("  %-20s %ld\n", kFaultNames[k], faults[k]);
    std::printf("devices reopened after the port failed: %ld\n", reopens);
    std::printf("error events: %ld (retry %ld, clear %ld); status updates %ld\n", totals.errors,
                totals.retries, totals.clears, totals.statusUpdates);
    std::printf("PrintNormal refusals:");
    for (const auto& [rc, n] : refusals)
        std::printf(" %ld x %ld", static_cast<long>(rc), n);
    std::printf("\nOpenDrawer results:");
    for (const auto& [rc, n] : drawerResults)
        std::printf(" %ld x %ld", static_cast<long>(rc), n);
    std::printf("\nnot accepted: %ld; completions twice: %ld; completions of unknown ids: %ld\n",
                notAccepted, doubleCompletions, unknownCompletions);
    std::printf("printer: %d receipts finished, %d dropped\n", finalStatus.receiptsFinished,
                finalStatus.receiptsDropped);
    std::printf("RSS: start %ld KiB, at a quarter %ld KiB, end %ld KiB\n", rssStart, rssQuarter,
                rssEnd);
    auto list = [](const char* what, const std::vector<int>& jobsOf) {
        if (jobsOf.empty())
            return;
        std::printf("%s:", what);
        for (std::size_t i = 0; i < jobsOf.size() && i < 20; ++i)
            std::printf(" %d", jobsOf[i]);
        std::printf("%s\n", jobsOf.size() > 20 ? " ..." : "");
    };
    list("lost jobs", lostJobs);
    list("doubled jobs", doubledJobs);
    list("cleared but printed", clearedPrintedJobs);
    if (!injector.Failure().empty())
        std::printf("injector: %s\n", injector.Failure().c_str());
    if (hang)
        std::printf("HANG: no progress for %lld s %s (%s)\n",
                    static_cast<long long>(kStallLimit.count()), hangWhere, hangState.c_str());

    const bool holds = !hang && endSeen && lostAtUnplug == 0 && lostOther == 0 && doubled == 0 &&
                       doubleCompletions == 0 && unknownCompletions == 0 &&
                       injector.Failure().empty();
    if (!holds) {
        // The printer's log goes with the temporary folder: keep it for a look afterwards.
        const std::string kept = "soak-" + std::to_string(seed) + "-commands.log";
        std::ifstream from(logPath, std::ios::binary);
        std::ofstream to(kept, std::ios::binary);
        to << from.rdbuf();
        std::printf("the printer's log: %s\n", to ? kept.c_str() : "not kept");
    }
    std::printf("%s\n", holds ? "HOLDS" : "FAULTS FOUND");
    return holds ? 0 : 1;
}
