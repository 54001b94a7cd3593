// Rotation, cutting and mark feed of the thermal printer family.
//
// Upside-down printing is the printer's own mode (ESC {). Sideways printing has no such
// mode for whole lines, so PrintNormal gathers its translated data while the rotation is
// 90° (POSPrinterDevice.cpp, with the lines broken by SidewaysData.h) and the closing
// RotatePrint prints all of it as one page-mode page whose print direction turns it.
//
// No thread of its own; everything here runs on the caller's thread (see
// POSPrinterDevice.h for the output thread and the lock order).
#include <algorithm>

#include "so/printer/ThermalPrinter.h"

namespace thermpos::so {

using namespace ptr;

namespace {

constexpr char kEsc = 0x1B;
constexpr char kGs = 0x1D;

// ESC T: page-mode print direction. Text turned right starts at the upper right corner
// and runs downwards; turned left it starts at the lower left and runs upwards.
constexpr char kDirectionRight90 = 3;
constexpr char kDirectionLeft90 = 1;

void AppendLe16(std::string* out, LONG value) {
    const LONG v = std::clamp<LONG>(value, 0, 0xFFFF);
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>(v >> 8));
}

}  // namespace

LONG CThermalPrinter::RotatePrint(LONG station, LONG rotation) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if (station != PTR_S_RECEIPT && station != PTR_S_SLIP) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    switch (rotation) {
        case PTR_RP_RIGHT90:
        case PTR_RP_LEFT90:
            m_SidewaysMode = rotation;
            return SetResult(OPOS_SUCCESS);
        case PTR_RP_ROTATE180: {
            m_SidewaysMode = rotation;
            static const char kUpsideDown[] = {kEsc, 'V', 0x00, kEsc, '{', 0x01};
            return SetResult(SubmitOutput(station, {kUpsideDown, sizeof kUpsideDown}, false));
        }
        case PTR_RP_NORMAL: {
            if (m_SidewaysMode == PTR_RP_RIGHT90 || m_SidewaysMode == PTR_RP_LEFT90) {
                return SetResult(PrintSidewaysPage(station));
            }
            m_SidewaysMode = rotation;
            static const char kUpright[] = {kEsc, 'V', 0x00, kEsc, '{', 0x00};
            return SetResult(SubmitOutput(station, {kUpright, sizeof kUpright}, false));
        }
        default:
            // The bar code and bitmap flags are not offered either.
            return SetResult(OPOS_E_ILLEGAL);
    }
}

LONG CThermalPrinter::PrintSidewaysPage(LONG station) {
    if (m_SidewaysBlocks.empty()) {
        m_SidewaysMode = PTR_RP_NORMAL;
        return OPOS_SUCCESS;
    }
    LONG height = 0;
    std::size_t size = 0;
    for (const CSidewaysBlock& block : m_SidewaysBlocks) {
        height = std::max(height, block.widest);
        size += block.bytes.size();
    }
    // The printer refuses a print area of no height, and would then print the page in
    // an area of its own choosing.
    height = std::max<LONG>(height, 1);

    std::string page;
    page.reserve(size + 24);
    page += {kEsc, 'L', kEsc, 'W', 0, 0, 0, 0};
    AppendLe16(&page, ConvertUnits(m_MapMode, PTR_MM_DOTS, m_RecLineWidth));
    AppendLe16(&page, height);
    page += {kEsc, 'T', m_SidewaysMode == PTR_RP_RIGHT90 ? kDirectionRight90 : kDirectionLeft90};
    for (const CSidewaysBlock& block : m_SidewaysBlocks) {
        page += block.bytes;
    }
    // FF prints the page and returns the printer to standard mode.
    page += '\x0C';

    const LONG r = SubmitOutput(station, page, false);
    if (r != OPOS_SUCCESS) {
        // Still gathering: once the printer is ready again the same call prints it all.
        return r;
    }
    m_SidewaysBlocks.clear();
    m_SidewaysMode = PTR_RP_NORMAL;
    m_PageModeFlag = 0;
    return r;
}

LONG CThermalPrinter::MeasureSidewaysData(std::string_view bytes, int startFont, LONG* widest,
                                          std::string* out) {
    return MeasureSideways(bytes, profile_.cells, profile_.fontCount, startFont, widest, out);
}

LONG CThermalPrinter::SendCut(char mode) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    const char cut[] = {kGs, 'V', mode};
    return SetResult(SubmitOutput(PTR_S_RECEIPT, {cut, sizeof cut}, false));
}

// Any percentage is accepted: the cutter knows only a full and a partial cut.
LONG CThermalPrinter::CutPaper(LONG percentage) {
    return SendCut(percentage == 0 || percentage == 100 ? 0x00 : 0x01);
}

LONG CThermalPrinter::MarkFeed(LONG type) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if (type != PTR_MF_TO_CUTTER) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    static const char kFeedToMark[] = {kGs, 0x0C};
    return SetResult(SubmitOutput(PTR_S_RECEIPT, {kFeedToMark, sizeof kFeedToMark}, false));
}

}  // namespace thermpos::so
