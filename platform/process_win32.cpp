// Processes and the environment on Windows.
#include "platform/process.h"

#include <io.h>

#include <algorithm>
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

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

void CloseIf(std::intptr_t& h) {
    if (h != -1)
        ::CloseHandle(AsHandle(h));
    h = -1;
}

std::string LastErrorText(const std::string& what) {
    return what + ": error " + std::to_string(::GetLastError());
}

}  // namespace

ChildProcess::~ChildProcess() {
    (void)Finish(std::chrono::seconds(5));
    CloseIf(output_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
    if (process_ != -1 || argv.empty()) {
        *error = process_ != -1 ? "already started" : "no program";
        return false;
    }
    // The child's ends are inherited, this process's ends are not.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        *error = LastErrorText("CreatePipe");
        return false;
    }
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        *error = LastErrorText("CreatePipe");
        ::CloseHandle(inRead);
        ::CloseHandle(inWrite);
        return false;
    }
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::string line = CommandLine(argv);
    const BOOL started = ::CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &process);
    if (!started)
        *error = LastErrorText("CreateProcess " + argv[0]);
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    if (!started) {
        ::CloseHandle(inWrite);
        ::CloseHandle(outRead);
        return false;
    }
    ::CloseHandle(process.hThread);
    process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
    input_ = reinterpret_cast<std::intptr_t>(inWrite);
    output_ = reinterpret_cast<std::intptr_t>(outRead);
    return true;
}

bool ChildProcess::Write(std::string_view data) {
    while (!data.empty() && input_ != -1) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 16));
        if (!::WriteFile(AsHandle(input_), data.data(), chunk, &written, nullptr) || written == 0)
            return false;
        data.remove_prefix(written);
    }
    return data.empty();
}

std::size_t ChildProcess::Read(char* buffer, std::size_t size) {
    if (output_ == -1 || size == 0)
        return 0;
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 16));
    if (!::ReadFile(AsHandle(output_), buffer, chunk, &read, nullptr))
        return 0;  // ERROR_BROKEN_PIPE: it ended
    return read;
}

int ChildProcess::Finish(std::chrono::milliseconds limit) {
    CloseIf(input_);
    if (process_ == -1)
        return -1;
    HANDLE process = AsHandle(process_);
    process_ = -1;
    DWORD code = 0;
    int result = -1;
    if (::WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(process, &code)) {
        result = static_cast<int>(code);
    } else {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, 5000);
    }
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
