// The tests' virtual printer: the calls every backend shares, the status text read back,
// and the backend that runs thermpos-vprinter as a child process, steered over a loopback
// line it connects to (--control-owner). See test_printer.h.
//
// Threads: none started here. Locks: a child backend's call_, one command and its answer
// at a time.
#include "tests/support/test_printer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "platform/loopback.h"
#include "platform/process.h"
#include "vprinter/ports_entry.h"

namespace thermpos::testing {

namespace vp = thermpos::vprinter;
using namespace std::chrono_literals;

std::unique_ptr<TestPrinter::Backend> DefaultPrinterBackend();  // per system

TestPrinter::TestPrinter() : TestPrinter(DefaultPrinterBackend()) {}

TestPrinter::TestPrinter(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {}

TestPrinter::~TestPrinter() {
    Stop();
}

bool TestPrinter::Start(const std::string& port, const vp::ModelOptions& model,
                        std::string* error) {
    if (!backend_) {
        *error = "no virtual printer for this system (THERMPOS_VPRINTER unset?)";
        return false;
    }
    return backend_->Start(port, model, &port_, &outDir_, error);
}

void TestPrinter::Stop() {
    if (backend_)
        backend_->Stop();
}

void TestPrinter::SetCover(bool open) {
    (void)backend_->Control(open ? "cover open" : "cover close");
}

void TestPrinter::SetPaper(vp::PaperState paper) {
    (void)backend_->Control(paper == vp::PaperState::Ok        ? "paper ok"
                            : paper == vp::PaperState::NearEnd ? "paper near-end"
                                                               : "paper out");
}

void TestPrinter::SetDrawer(bool open) {
    (void)backend_->Control(open ? "drawer open" : "drawer close");
}

void TestPrinter::SetOnline(bool online) {
    (void)backend_->Control(online ? "online" : "offline");
}

void TestPrinter::SetPower(bool on) {
    (void)backend_->Control(on ? "power on" : "power off");
}

void TestPrinter::Unplug() {
    (void)backend_->Control("unplug");
}

bool TestPrinter::Replug(std::string* error) {
    const std::string answer = backend_->Control("replug");
    if (answer.rfind("ok", 0) == 0)
        return true;
    *error = answer;
    return false;
}

vp::PrinterStatus TestPrinter::Status() {
    return backend_->Status();
}

std::string TestPrinter::StatusText() {
    return backend_->Control("status");
}

bool TestPrinter::WaitStatus(const std::function<bool(const vp::PrinterStatus&)>& condition,
                             std::chrono::milliseconds timeout) {
    return backend_->WaitStatus(condition, timeout);
}

bool TestPrinter::WaitReceipts(int count, std::chrono::milliseconds timeout) {
    return backend_->WaitReceipts(count, timeout);
}

int TestPrinter::ReceiptCount() {
    return backend_->ReceiptCount();
}

vp::VirtualPrinter* TestPrinter::InProcess() {
    return backend_ ? backend_->InProcess() : nullptr;
}

vp::PrinterStatus ParseStatusText(const std::string& text, int* written) {
    vp::PrinterStatus s;
    std::string line;
    std::string fields = text;
    if (fields.rfind("ok ", 0) == 0)
        fields.erase(0, 3);
    std::replace(fields.begin(), fields.end(), ';', '\n');
    std::istringstream in(fields);
    const auto number = [](const std::string& v) -> unsigned long long {
        return std::strtoull(v.c_str(), nullptr, 0);  // "0x0F" as well as "12"
    };
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, colon);
        const std::string v = line.substr(colon + 2);
        if (key == "power")
            s.powerOn = v == "on";
        else if (key == "online")
            s.online = v == "yes";
        else if (key == "cover")
            s.coverOpen = v == "open";
        else if (key == "paper")
            s.paper = v == "out"        ? vp::PaperState::Out
                      : v == "near-end" ? vp::PaperState::NearEnd
                                        : vp::PaperState::Ok;
        else if (key == "forced-offline")
            s.forcedOffline = v == "yes";
        else if (key == "drawer")
            s.drawerOpen = v == "open";
        else if (key == "pin3")
            s.pin3High = v == "high";
        else if (key == "selected")
            s.selected = v == "yes";
        else if (key == "mode")
            s.pageMode = v == "page";
        else if (key == "held")
            s.held = v == "yes";
        else if (key == "asb-mask")
            s.asbMask = static_cast<std::uint8_t>(number(v));
        else if (key == "code-table")
            s.codeTable = static_cast<std::uint8_t>(number(v));
        else if (key == "international")
            s.internationalSet = static_cast<std::uint8_t>(number(v));
        else if (key == "bytes-accepted")
            s.bytesAccepted = number(v);
        else if (key == "bytes-processed")
            s.bytesProcessed = number(v);
        else if (key == "bytes-buffered")
            s.bytesBuffered = static_cast<std::size_t>(number(v));
        else if (key == "receipts")
            s.receiptsFinished = static_cast<int>(number(v));
        else if (key == "receipts-dropped")
            s.receiptsDropped = static_cast<int>(number(v));
        else if (key == "current-receipt-dots")
            s.currentReceiptDots = static_cast<int>(number(v));
        else if (key == "commands-skipped")
            s.commandsSkipped = number(v);
        else if (key == "bytes-waiting")
            s.bytesWaiting = static_cast<std::size_t>(number(v));
        else if (key == "host-held")
            s.hostHeld = v == "yes";
        else if (key == "receipts written" && written)
            *written = static_cast<int>(number(v));
    }
    return s;
}

namespace {

// How often a child printer's status is asked for while a test waits on it: its state
// lives in another process, which tells of no change by itself.
constexpr auto kStatusPoll = 5ms;
// The value of one field of a status answer ("device" of "ok power: on;device: x;...").
std::string StatusField(const std::string& status, const std::string& key) {
    const std::string marker = key + ": ";
    std::size_t at = status.find(";" + marker);
    at = at == std::string::npos ? std::string::npos : at + 1;
    if (status.rfind("ok " + marker, 0) == 0)
        at = 3;
    if (at == std::string::npos)
        return "";
    const std::size_t begin = at + marker.size();
    return status.substr(begin, status.find(';', begin) - begin);
}

// The longest wait for one answer of the program.
constexpr auto kAnswerLimit = 20s;

// The COM names of the harness that this process holds, so that two printers of one test
// never share a line.
std::mutex comsInUse;
std::vector<std::string> comsTaken;

class ChildBackend final : public TestPrinter::Backend {
  public:
    ChildBackend(std::string program, std::string comLinks, std::string preferredCom)
        : program_(std::move(program)),
          comLinks_(std::move(comLinks)),
          preferredCom_(std::move(preferredCom)) {}
    // The output folders are this object's: kept past Stop for the log to be read, then
    // removed with it.
    ~ChildBackend() override {
        Stop();
        for (const std::string& folder : folders_) {
            std::error_code ignored;
            std::filesystem::remove_all(HostPath(folder), ignored);
        }
    }

    bool Start(const std::string& port, const vp::ModelOptions& model, std::string* hostPort,
               std::string* outDir, std::string* error) override {
        Stop();
        std::vector<std::string> argv{program_};
        const bool tcp = port.rfind("IP_", 0) == 0;
        if (tcp) {
            argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
        } else if (comLinks_.empty()) {
            // On Linux: the program enters its pty in the registry this process uses.
            argv.insert(argv.end(), {"--map", port});
        } else if (!TakeCom(error)) {
            return false;
        } else {
            argv.insert(argv.end(), {"--link", link_});
        }
        if (model.paperWidthDots != vp::ModelOptions{}.paperWidthDots)
            argv.insert(argv.end(), {"--paper", model.paperWidthDots == 384   ? "58"
                                                : model.paperWidthDots == 432 ? "60"
                                                                              : "83"});
        if (model.baud > 0)
            argv.insert(argv.end(), {"--baud", std::to_string(model.baud)});
        if (model.drawerPolarity == vp::DrawerPolarity::OpenLow)
            argv.insert(argv.end(), {"--drawer-open-level", "low"});
        if (model.twoFontModel)
            argv.push_back("--two-font");
        linuxOut_ = NewOutFolder();
        folders_.push_back(linuxOut_);
        argv.insert(argv.end(), {"--out", linuxOut_});
        line_ = std::make_unique<platform::LoopbackLine>();
        if (!line_->Listen(error)) {
            Stop();
            return false;
        }
        argv.insert(argv.end(), {"--control-owner", "127.0.0.1:" + std::to_string(line_->Port())});
        child_ = std::make_unique<platform::ChildProcess>();
        if (!child_->Start(argv, error) || !line_->Accept(kAnswerLimit, error)) {
            *error = program_ + " did not start: " + *error + " (see its message above)";
            Stop();
            return false;
        }
        // Its first answer comes once it serves the line, and names the device.
        const std::string status = Control("status");
        const std::string device = StatusField(status, "device");
        if (status.rfind("ok", 0) != 0 || device.empty()) {
            *error = program_ + ": " + status;
            Stop();
            return false;
        }
        if (tcp) {
            // The Ports map of this system's registry sends the IP_ name to the listener.
            if (!portsEntry_.Publish(port, "socket://" + device, error)) {
                Stop();
                return false;
            }
            *hostPort = port;
        } else {
            *hostPort = com_.empty() ? port : com_;
        }
        *outDir = HostPath(linuxOut_);
        return true;
    }

    void Stop() override {
        if (line_) {
            // "quit", and the line closing, each end it; then it is waited for.
            (void)Control("quit");
            line_->Close();
        }
        if (child_)
            (void)child_->Finish(10s);
        child_.reset();
        line_.reset();
        portsEntry_.Withdraw();
        ReleaseCom();
    }

    std::string Control(const std::string& line) override {
        std::lock_guard<std::mutex> call(call_);
        std::string answer;
        if (!line_ || !line_->Send(line + "\n", kAnswerLimit))
            return "error the printer program is gone";
        if (!line_->ReadLine(&answer, kAnswerLimit))
            return "error no answer from the printer program";
        return answer;
    }

    vp::PrinterStatus Status() override { return ParseStatusText(Control("status")); }

    bool WaitStatus(const std::function<bool(const vp::PrinterStatus&)>& condition,
                    std::chrono::milliseconds timeout) override {
        return WaitText([&](const std::string& text) { return condition(ParseStatusText(text)); },
                        timeout);
    }

    int ReceiptCount() override {
        int written = 0;
        (void)ParseStatusText(Control("status"), &written);
        return written;
    }

    bool WaitReceipts(int count, std::chrono::milliseconds timeout) override {
        return WaitText(
            [&](const std::string& text) {
                int written = 0;
                (void)ParseStatusText(text, &written);
                return written >= count;
            },
            timeout);
    }

  private:
    // Asks for the status until its text satisfies `done` or the time is up.
    bool WaitText(const std::function<bool(const std::string&)>& done,
                  std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::string text = Control("status");
            if (text.rfind("ok", 0) != 0)
                return false;
            if (done(text))
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(kStatusPoll);
        }
    }

    // Takes a COM name of the harness for this printer: the preferred one when it is
    // free, else the first free one.
    bool TakeCom(std::string* error) {
        std::vector<std::pair<std::string, std::string>> links;
        std::istringstream in(comLinks_);
        for (std::string entry; std::getline(in, entry, ';');) {
            const std::size_t eq = entry.find('=');
            if (eq != std::string::npos && eq > 0 && eq + 1 < entry.size())
                links.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
        std::stable_partition(links.begin(), links.end(),
                              [&](const auto& l) { return l.first == preferredCom_; });
        std::lock_guard<std::mutex> lock(comsInUse);
        for (const auto& [com, link] : links) {
            if (std::find(comsTaken.begin(), comsTaken.end(), com) != comsTaken.end())
                continue;
            comsTaken.push_back(com);
            com_ = com;
            link_ = link;
            return true;
        }
        *error = links.empty() ? "no COM lines mapped (THERMPOS_WINE_COM_LINKS is empty)"
                               : "every mapped COM line is in use";
        return false;
    }
    void ReleaseCom() {
        if (com_.empty())
            return;
        std::lock_guard<std::mutex> lock(comsInUse);
        comsTaken.erase(std::remove(comsTaken.begin(), comsTaken.end(), com_), comsTaken.end());
        com_.clear();
    }

    // A folder name below /tmp no other test (of any prefix) picks.
    static std::string NewOutFolder() {
        static std::mt19937_64 random{std::random_device{}()};
        static int starts = 0;
        std::ostringstream name;
        name << "/tmp/thermpos-wine-printer-" << std::hex << random() << "-" << std::dec
             << ++starts;
        return name.str();
    }

    const std::string program_;
    const std::string comLinks_;
    const std::string preferredCom_;
    std::string com_;   // taken from the harness's names; empty on TCP
    std::string link_;  // the link Wine maps com_ to
    std::string linuxOut_;
    std::vector<std::string> folders_;  // every start's linuxOut_
    vp::PortsEntry portsEntry_;
    std::unique_ptr<platform::ChildProcess> child_;  // one per start
    std::unique_ptr<platform::LoopbackLine> line_;   // its control line
    std::mutex call_;
};

}  // namespace

std::unique_ptr<TestPrinter::Backend> ChildPrinterBackend(const std::string& program,
                                                          const std::string& comLinks,
                                                          const std::string& preferredCom) {
    return std::make_unique<ChildBackend>(program, comLinks, preferredCom);
}

}  // namespace thermpos::testing
