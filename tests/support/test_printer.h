// The virtual printer as the tests on real ports start, steer and read it, wherever they
// run. On Linux it runs in the test's own process (vprinter::VirtualPrinter, on a pty
// entered in the Ports map). Under Wine it is the Linux program thermpos-vprinter, started
// beside the test as a child process and steered over a loopback line that it connects to
// (`--control-owner`; Wine hands a Linux program neither pipes nor local sockets): on a
// COM name that Wine maps to a link the harness set up (scripts/test-windows.sh), or on
// loopback TCP entered in the Ports map here. Its state lives in the other process and
// tells of no change by itself, so waits on it ask for the status every few ms.
//
// The test names the port it wants ("COM12", or "IP_127.0.0.1" for TCP); Port() is the
// name the host must open, which under Wine is one of the harness's COM names.
//
// Threads: none of its own. Calls may come from any of the test's threads; for a child
// printer each command waits for its answer under one lock, so calls take turns.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vprinter/model.h"

namespace thermpos::vprinter {
class VirtualPrinter;
}

namespace thermpos::testing {

class TestPrinter {
  public:
    // How one is run; the fixture picks the one of this system (Local on Linux).
    class Backend;

    TestPrinter();
    explicit TestPrinter(std::unique_ptr<Backend> backend);
    ~TestPrinter();  // Stop()
    TestPrinter(const TestPrinter&) = delete;
    TestPrinter& operator=(const TestPrinter&) = delete;

    // Starts the printer for `port` ("COMn": a serial line; "IP_...": loopback TCP) with
    // the model's options, its receipts and command log in a new folder. False with
    // *error; nothing is left running then.
    [[nodiscard]] bool Start(const std::string& port, const vprinter::ModelOptions& model,
                             std::string* error);
    // Ends it: pending receipts written, the log complete. Safe to call twice.
    void Stop();

    // The name the host opens, valid after Start.
    const std::string& Port() const { return port_; }
    // The folder of commands.log and the receipts, as this process reads it.
    const std::string& OutDir() const { return outDir_; }

    // ---- operator controls ----
    void SetCover(bool open);
    void SetPaper(vprinter::PaperState paper);
    void SetDrawer(bool open);
    void SetOnline(bool online);
    void SetPower(bool on);
    // Closes the line (the host's next write fails) and makes a new one on the same name.
    void Unplug();
    [[nodiscard]] bool Replug(std::string* error);

    // ---- observation ----
    vprinter::PrinterStatus Status();
    std::string StatusText();
    // Waits (real time, at most `timeout`) until the status satisfies `condition`.
    bool WaitStatus(const std::function<bool(const vprinter::PrinterStatus&)>& condition,
                    std::chrono::milliseconds timeout);
    // Waits until `count` receipts have been finished and written.
    bool WaitReceipts(int count, std::chrono::milliseconds timeout);
    int ReceiptCount();

    // The printer in this process, for the Linux-only tests that read its drawings or use
    // its other options; null for a printer run as a program of its own.
    vprinter::VirtualPrinter* InProcess();

  private:
    std::unique_ptr<Backend> backend_;
    std::string port_;
    std::string outDir_;
};

class TestPrinter::Backend {
  public:
    virtual ~Backend() = default;
    // Starts the printer; sets *port (the name to open) and *outDir.
    virtual bool Start(const std::string& port, const vprinter::ModelOptions& model,
                       std::string* hostPort, std::string* outDir, std::string* error) = 0;
    virtual void Stop() = 0;
    // One control command line ("cover open", "status"); its one-line answer.
    virtual std::string Control(const std::string& line) = 0;
    virtual vprinter::PrinterStatus Status() = 0;
    virtual bool WaitStatus(const std::function<bool(const vprinter::PrinterStatus&)>& condition,
                            std::chrono::milliseconds timeout) = 0;
    virtual int ReceiptCount() = 0;
    virtual bool WaitReceipts(int count, std::chrono::milliseconds timeout) = 0;
    virtual vprinter::VirtualPrinter* InProcess() { return nullptr; }
};

// The backends. The child one runs `program` (an absolute path of thermpos-vprinter);
// its COM lines come from `comLinks` ("COM5=/abs/link;COM6=..."), the first one free
// in this process unless `preferredCom` names one of them.
std::unique_ptr<TestPrinter::Backend> LocalPrinterBackend();  // Linux only
std::unique_ptr<TestPrinter::Backend> ChildPrinterBackend(const std::string& program,
                                                          const std::string& comLinks,
                                                          const std::string& preferredCom);

// The status text as the printer prints it ("cover: open" ..., one field a line or ';'
// between fields) read back into a status; fields it does not name stay at their
// defaults. The field "receipts written" (the store's count) goes to *written if given.
vprinter::PrinterStatus ParseStatusText(const std::string& text, int* written = nullptr);

// A path of the Linux file system as this process opens it ("Z:" in front under Wine).
std::string HostPath(const std::string& linuxPath);

}  // namespace thermpos::testing
