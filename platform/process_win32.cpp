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

}  // namespace

int RunAndWait(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    std::string line;
    for (const std::string& arg : argv) {
        if (!line.empty())
            line += ' ';
        AppendQuoted(arg, &line);
    }
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
