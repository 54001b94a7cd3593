// DirectIO of the thermal printer family: page mode and user-defined characters, the
// printer features the POSPrinter methods do not reach.
//
//   command  page mode  sends                            afterwards
//   1000     on         ESC FF, then the string          (page printed, kept)
//   1001     any        ESC % n    n = low byte of data  user characters on/off
//   1002     any        ESC &, then the string           characters defined
//   1003     any        ESC ? n    n = low byte of data  one character cancelled
//   1004     off        ESC L                            page mode on
//   1005     on         ESC S                            page mode off, page dropped
//   1006     on         CAN                              print area erased
//   1007     on         ESC T n    n = low byte of data  print direction
//   1008     on         ESC W xL xH yL yH dxL dxH dyL dyH
//   1009     on         FF                               page printed, page mode off
//
// The string is the argument in the system code page, every byte of it. For 1002 it must
// be one whole definition, y c1 c2 (codes 32 <= c1 <= c2 <= 126) and for each code from c1
// to c2 a width x and y × x column bytes: the printer reads a definition by those numbers,
// so one cut short would swallow the print data that follows, and one too long or with
// codes out of range would print as text.
//
// 1008 takes the print area from the string: four numbers "x,y,width,height" in dots,
// decimal, separated by commas (spaces around them allowed), each 0 to 65535, and width
// and height not 0 (the printer ignores an area without size). Each goes to the printer
// low byte first.
//
// Anything else, a command whose page mode condition does not hold, or a malformed string
// gives 106 and sends nothing. A command the printer took queues a DirectIO event with the
// next event number, the data and the string.
//
// No thread of its own; runs on the caller's thread (see POSPrinterDevice.h).
#include <cctype>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "so/printer/ThermalPrinter.h"

namespace thermpos::so {

namespace {

constexpr char kEsc = 0x1B;

enum PageModeNeed { kAny, kInPageMode, kOutOfPageMode };

struct DirectIOCommand {
    LONG command;
    PageModeNeed need;
};

constexpr DirectIOCommand kCommands[] = {
    {1000, kInPageMode},    {1001, kAny},        {1002, kAny},        {1003, kAny},
    {1004, kOutOfPageMode}, {1005, kInPageMode}, {1006, kInPageMode}, {1007, kInPageMode},
    {1008, kInPageMode},    {1009, kInPageMode},
};

// One of the four numbers of 1008's string; advances past it and its separator.
std::optional<std::uint16_t> AreaNumber(std::string_view* text, bool last) {
    std::string_view& s = *text;
    auto skipSpaces = [&] {
        while (!s.empty() && s.front() == ' ') {
            s.remove_prefix(1);
        }
    };
    skipSpaces();
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (!s.empty() && std::isdigit(static_cast<unsigned char>(s.front())) != 0) {
        value = value * 10 + static_cast<std::uint32_t>(s.front() - '0');
        if (value > 0xFFFF) {
            return std::nullopt;
        }
        s.remove_prefix(1);
        ++digits;
    }
    skipSpaces();
    if (digits == 0) {
        return std::nullopt;
    }
    if (last) {
        if (!s.empty()) {
            return std::nullopt;
        }
    } else {
        if (s.empty() || s.front() != ',') {
            return std::nullopt;
        }
        s.remove_prefix(1);
    }
    return static_cast<std::uint16_t>(value);
}

// ESC W and its eight parameter bytes, or nothing for a malformed area.
std::optional<std::string> PrintAreaCommand(std::string_view text) {
    std::string bytes = {kEsc, 'W'};
    for (int i = 0; i < 4; ++i) {
        const std::optional<std::uint16_t> n = AreaNumber(&text, i == 3);
        if (!n || (i >= 2 && *n == 0)) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(*n & 0xFF));
        bytes.push_back(static_cast<char>(*n >> 8));
    }
    return bytes;
}

// Whether the string is exactly one user-defined character definition.
bool IsWholeDefinition(std::string_view s) {
    if (s.size() < 3) {
        return false;
    }
    const std::size_t y = static_cast<unsigned char>(s[0]);
    const unsigned c1 = static_cast<unsigned char>(s[1]);
    const unsigned c2 = static_cast<unsigned char>(s[2]);
    if (c1 < 32 || c1 > c2 || c2 > 126) {
        return false;
    }
    std::size_t at = 3;
    for (unsigned code = c1; code <= c2; ++code) {
        if (at >= s.size()) {
            return false;
        }
        const std::size_t x = static_cast<unsigned char>(s[at]);
        if (s.size() - at - 1 < y * x) {
            return false;
        }
        at += 1 + y * x;
    }
    return at == s.size();
}

}  // namespace

LONG CThermalPrinter::DirectIO(LONG command, LONG* data, std::string* text) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    const DirectIOCommand* entry = nullptr;
    for (const DirectIOCommand& c : kCommands) {
        if (c.command == command) {
            entry = &c;
        }
    }
    if (entry == nullptr || (entry->need == kInPageMode && !InPageMode()) ||
        (entry->need == kOutOfPageMode && InPageMode())) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    const std::string_view string = text != nullptr ? std::string_view(*text) : std::string_view();
    const char n = data != nullptr ? static_cast<char>(*data & 0xFF) : 0;
    if (data == nullptr && (command == 1001 || command == 1003 || command == 1007)) {
        return SetResult(OPOS_E_ILLEGAL);
    }

    std::string bytes;
    switch (command) {
        case 1000:
            bytes = {kEsc, 0x0C};
            bytes += string;
            break;
        case 1001:
            bytes = {kEsc, '%', n};
            break;
        case 1002:
            if (!IsWholeDefinition(string)) {
                return SetResult(OPOS_E_ILLEGAL);
            }
            bytes = {kEsc, '&'};
            bytes += string;
            break;
        case 1003:
            bytes = {kEsc, '?', n};
            break;
        case 1004:
            bytes = {kEsc, 'L'};
            break;
        case 1005:
            bytes = {kEsc, 'S'};
            break;
        case 1006:
            bytes = {0x18};
            break;
        case 1007:
            bytes = {kEsc, 'T', n};
            break;
        case 1008: {
            std::optional<std::string> area = PrintAreaCommand(string);
            if (!area) {
                return SetResult(OPOS_E_ILLEGAL);
            }
            bytes = std::move(*area);
            break;
        }
        case 1009:
            bytes = {0x0C};
            break;
        default:
            return SetResult(OPOS_E_ILLEGAL);
    }

    r = SubmitOutput(PTR_S_RECEIPT, bytes, false);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if (command == 1004) {
        m_PageModeFlag = 1;
    } else if (command == 1005 || command == 1009) {
        m_PageModeFlag = 0;
    }
    auto event = std::make_unique<CQueuedEvent>(
        EventKindDirectIO, static_cast<LONG>(m_DirectIOEventCount++), data != nullptr ? *data : 0);
    event->text.assign(string);
    QueueEvent(std::move(event));
    return SetResult(OPOS_SUCCESS);
}

}  // namespace thermpos::so
