// The operator's control commands: one line in ("cover open", "status", "snapshot
// FILE.png" ...), one line of answer out, each turned into a VirtualPrinter call. The
// control socket (control_server.h) and tests send them.
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <sstream>
#include <vector>

#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {

std::string VirtualPrinter::Control(std::string_view line, bool* quit) {
    if (quit)
        *quit = false;
    std::vector<std::string> words;
    {
        std::istringstream in{std::string(line)};
        std::string word;
        while (in >> word && words.size() < 4)
            words.push_back(word);
    }
    auto is = [&](std::initializer_list<const char*> expected) {
        if (words.size() != expected.size())
            return false;
        std::size_t i = 0;
        for (const char* e : expected)
            if (words[i++] != e)
                return false;
        return true;
    };
    if (words.empty())
        return "error empty command";
    if (is({"cover", "open"}) || is({"cover", "close"})) {
        SetCover(words[1] == "open");
    } else if (is({"paper", "ok"})) {
        SetPaper(PaperState::Ok);
    } else if (is({"paper", "near-end"})) {
        SetPaper(PaperState::NearEnd);
    } else if (is({"paper", "out"})) {
        SetPaper(PaperState::Out);
    } else if (is({"drawer", "open"}) || is({"drawer", "close"})) {
        SetDrawer(words[1] == "open");
    } else if (is({"online"}) || is({"offline"})) {
        SetOnline(words[0] == "online");
    } else if (is({"power", "on"}) || is({"power", "off"})) {
        SetPower(words[1] == "on");
    } else if (is({"unplug"})) {
        Unplug();
    } else if (is({"replug"})) {
        std::string error;
        if (!Replug(&error))
            return "error " + error;
        platform::MutexLock lock(mutex_);
        return "ok " + AddressLocked();
    } else if (is({"status"})) {
        std::string text = StatusText();
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::replace(text.begin(), text.end(), '\n', ';');
        return "ok " + text;
    } else if (words[0] == "snapshot") {
        // The rest of the line is the file name, spaces included.
        std::string_view path = line.substr(line.find("snapshot") + 8);
        while (!path.empty() && std::isspace(static_cast<unsigned char>(path.front())))
            path.remove_prefix(1);
        while (!path.empty() && std::isspace(static_cast<unsigned char>(path.back())))
            path.remove_suffix(1);
        if (path.empty())
            return "error snapshot needs a file name";
        std::string error;
        if (!Snapshot(std::string(path), &error))
            return "error " + error;
    } else if (is({"quit"})) {
        if (quit)
            *quit = true;
    } else {
        return "error unknown command (cover open|close, paper ok|near-end|out, drawer "
               "open|close, online, offline, power on|off, unplug, replug, status, snapshot "
               "FILE.png, quit)";
    }
    return "ok";
}

}  // namespace thermpos::vprinter
