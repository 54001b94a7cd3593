// Virtual printers served from a child process, so that what a benchmark measures of its
// own process (getrusage, CLOCK_PROCESS_CPUTIME_ID) is the service objects' side alone:
// the printers' reads, model and replies are the child's CPU, as a real printer's are its
// own. The child serves each printer on a pty behind a link path; the parent enters the
// link in the registry's Ports map under the printer's COM name and drives the printers
// with their control command lines ("cover open", "status", ...) over a pipe.
//
// Start must be called while the process has no other thread (before any device or
// printer is made): the child is a fork of it. The child takes no registry and leaves the
// parent's temporary folder alone (it ends with _exit).
//
// Threads: none in the parent; in the child, main answers commands and each printer runs
// its own thread. Not thread-safe: one caller thread in the parent.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_paths.h"
#include "tests/so/TestSupport.h"
#include "vprinter/virtual_printer.h"

namespace bench {

class PrinterProcess {
  public:
    struct Printer {
        std::string comName;                                // entered in the Ports map: "COM21"
        thermpos::vprinter::VirtualPrinterOptions options;  // linkPath and mapName are set here
    };

    PrinterProcess() = default;
    PrinterProcess(const PrinterProcess&) = delete;
    PrinterProcess& operator=(const PrinterProcess&) = delete;
    ~PrinterProcess() { Stop(); }

    // Forks the child, waits until every printer is up, and maps their COM names.
    bool Start(std::vector<Printer> printers, std::string* error) {
        for (std::size_t i = 0; i < printers.size(); ++i) {
            printers[i].options.mapName.clear();
            printers[i].options.linkPath =
                sotest::TempDir() + "/tty" + printers[i].comName + "-" + std::to_string(i);
        }
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            *error = "pipe";
            return false;
        }
        child_ = ::fork();
        if (child_ < 0) {
            *error = "fork";
            return false;
        }
        if (child_ == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::_exit(Serve(printers, toChild[0], fromChild[1]));
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        out_ = toChild[1];
        in_ = ::fdopen(fromChild[0], "r");
        const std::string ready = ReadLine();
        if (ready != "ready") {
            *error = "printer process: " + ready;
            return false;
        }
        for (const Printer& p : printers)
            sotest::SetValue(thermpos::platform::regpath::kPorts, p.comName.c_str(),
                             p.options.linkPath);
        return true;
    }

    // Printer index's answer to a control command line ("ok ...", "error ...").
    std::string Control(std::size_t index, const std::string& line) {
        const std::string request = std::to_string(index) + " " + line + "\n";
        if (out_ < 0 ||
            ::write(out_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return "error no printer process";
        return ReadLine();
    }
    bool SetCover(std::size_t index, bool open) {
        return Control(index, open ? "cover open" : "cover close").rfind("ok", 0) == 0;
    }
    // Waits (at most 10 s) until the printer's automatic status back is on: the host's
    // status request reached it.
    bool WaitStatusRequest(std::size_t index) {
        return Control(index, "wait-asb").rfind("ok", 0) == 0;
    }

    pid_t Pid() const { return child_; }

    void Stop() {
        if (out_ >= 0) {
            ::close(out_);  // end of input: the child stops its printers and ends
            out_ = -1;
        }
        if (in_ != nullptr) {
            std::fclose(in_);
            in_ = nullptr;
        }
        if (child_ > 0) {
            int status = 0;
            ::waitpid(child_, &status, 0);
            child_ = -1;
        }
    }

  private:
    std::string ReadLine() {
        char line[4096];
        if (in_ == nullptr || std::fgets(line, sizeof line, in_) == nullptr)
            return "error no answer";
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

    // The child: starts the printers, then answers "INDEX COMMAND" lines until its input
    // ends.
    static int Serve(const std::vector<Printer>& printers, int in, int out) {
        ::signal(SIGPIPE, SIG_IGN);
        std::FILE* commands = ::fdopen(in, "r");
        std::FILE* answers = ::fdopen(out, "w");
        std::vector<std::unique_ptr<thermpos::vprinter::VirtualPrinter>> running;
        for (const Printer& p : printers) {
            running.push_back(std::make_unique<thermpos::vprinter::VirtualPrinter>());
            std::string error;
            if (!running.back()->Start(p.options, &error)) {
                std::fprintf(answers, "%s\n", error.c_str());
                std::fflush(answers);
                return 1;
            }
        }
        std::fprintf(answers, "ready\n");
        std::fflush(answers);
        char line[4096];
        while (std::fgets(line, sizeof line, commands) != nullptr) {
            char* rest = nullptr;
            const unsigned long index = std::strtoul(line, &rest, 10);
            std::string command(rest);
            while (!command.empty() && (command.back() == '\n' || command.front() == ' '))
                command.erase(command.back() == '\n' ? command.size() - 1 : 0, 1);
            std::string answer;
            if (index >= running.size()) {
                answer = "error no such printer";
            } else if (command == "wait-asb") {
                answer = running[index]->WaitStatus([](const auto& s) { return s.asbMask != 0; },
                                                    std::chrono::seconds(10))
                             ? "ok"
                             : "error no status request";
            } else {
                bool quit = false;
                answer = running[index]->Control(command, &quit);
            }
            std::fprintf(answers, "%s\n", answer.c_str());
            std::fflush(answers);
        }
        for (auto& p : running)
            p->Stop();
        return 0;
    }

    pid_t child_ = -1;
    int out_ = -1;
    std::FILE* in_ = nullptr;
};

}  // namespace bench
