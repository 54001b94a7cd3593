// The printer model's command dispatch and the single-byte controls.
#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

std::size_t PrinterModel::Impl::Dispatch(const CommandTable& table, const std::uint8_t* p,
                                         std::size_t n) {
    const std::size_t at = table.Selector();
    if (n <= at)
        return 0;
    const CommandEntry& c = table.Find(p[at]);
    if (n < at + 1 + c.params)
        return 0;
    return (this->*c.run)(c, p, n);
}

const PrinterModel::Impl::CommandTable PrinterModel::Impl::kControls{
    0,
    {
        {0x0A, 0, "LF", &Impl::CtlLineFeed},
        {0x0D, 0, "CR", &Impl::CtlIgnored},  // no automatic line feed on this model
        {0x09, 0, "HT", &Impl::CtlTab},
        {0x0C, 0, "FF", &Impl::CtlFormFeed},
        {0x18, 0, "CAN", &Impl::CtlCancel},
        {DLE, 0, "DLE", &Impl::CtlPrefix},
        {ESC, 0, "ESC", &Impl::CtlPrefix},
        {GS, 0, "GS", &Impl::CtlPrefix},
        {FS, 0, "FS", &Impl::CtlPrefix},
    },
    // Other control bytes print nothing.
    {0, 0, "", &Impl::CtlIgnored},
};

std::size_t PrinterModel::Impl::CtlLineFeed(const CommandEntry& c, const std::uint8_t*,
                                            std::size_t) {
    Log(processed, c.name);
    FlushLine(LineSpacing());
    return 1;
}

std::size_t PrinterModel::Impl::CtlIgnored(const CommandEntry&, const std::uint8_t*, std::size_t) {
    return 1;
}

std::size_t PrinterModel::Impl::CtlTab(const CommandEntry& c, const std::uint8_t*, std::size_t) {
    Tab();
    Log(processed, c.name);
    return 1;
}

std::size_t PrinterModel::Impl::CtlFormFeed(const CommandEntry& c, const std::uint8_t*,
                                            std::size_t) {
    Log(processed, c.name);
    if (pageMode)
        PrintPage(false);
    return 1;
}

std::size_t PrinterModel::Impl::CtlCancel(const CommandEntry& c, const std::uint8_t*, std::size_t) {
    Log(processed, c.name);
    if (pageMode)
        CancelPage();
    return 1;
}

std::size_t PrinterModel::Impl::CtlPrefix(const CommandEntry&, const std::uint8_t* p,
                                          std::size_t n) {
    switch (p[0]) {
        case DLE:
            return Dle(p, n);
        case ESC:
            return Esc(p, n);
        case GS:
            return Gs(p, n);
        default:
            return Fs(p, n);
    }
}

}  // namespace thermpos::vprinter
