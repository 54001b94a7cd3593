// Processes and the environment on Windows.
#include "platform/process.h"

#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"

namespace thermpos::platform {

namespace {

// One argument quoted as the C runtime's command-line parser reads it back.
void AppendQuoted(const std::string& arg, std::string* line) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += arg;
        return;
    }
    *line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            line->append(backslashes * 2 + 1, '\\');
        else
            line->append(backslashes, '\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

std::string CommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty())
            line += ' ';
        AppendQuoted(arg, &line);
    }
    return line;
}

}  // namespace

ChildProcess::~ChildProcess() {
    (void)Finish(std::chrono::seconds(5));
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
    if (process_ != -1 || argv.empty()) {
        *error = process_ != -1 ? "already started" : "no program";
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string line = CommandLine(argv);
    if (!::CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        *error = "CreateProcess " + argv[0] + ": error " + std::to_string(::GetLastError());
        return false;
    }
    if (process.hThread)
        ::CloseHandle(process.hThread);
    process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
    return true;
}

int ChildProcess::Finish(std::chrono::milliseconds limit) {
    if (process_ == -1)
        return -1;
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    process_ = -1;
    DWORD code = 0;
    int result = -1;
    const DWORD waited = ::WaitForSingleObject(process, static_cast<DWORD>(limit.count()));
    if (waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(process, &code)) {
        result = static_cast<int>(code);
    } else if (waited == WAIT_TIMEOUT) {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 5000);
    }
    if (process)
        ::CloseHandle(process);
    return result;
}

int RunAndWait(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    std::string line = CommandLine(argv);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process))
        return -1;
    ::CloseHandle(process.hThread);
    DWORD code = 0;
    const bool ended = ::WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                       ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    return ended ? static_cast<int>(code) : -1;
}

bool SetEnvironment(const char* name, const std::string& value, bool replace) {
    if (!name || !*name || std::string_view(name).find('=') != std::string_view::npos)
        return false;
    if (!replace && std::getenv(name))
        return true;
    // Both copies: the C runtime's (getenv) and the process's (inherited by children).
    return ::_putenv_s(name, value.c_str()) == 0 &&
           ::SetEnvironmentVariableA(name, value.c_str()) != FALSE;
}

// Windows has no death signal: a child started by this process's tools ends on its own,
// and a job object would have to be made by the parent before the child starts.
void EndWithParent() {}

bool StandardInputIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

}  // namespace thermpos::platform
