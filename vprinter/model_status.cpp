// The printer model's status: the automatic status block, DLE EOT answers, the replies
// queue, and the real-time commands, including the raw scan that answers them ahead of
// held data.
#include <algorithm>
#include <cstring>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

bool PrinterModel::Impl::PaperEndStop() const {
    return paper == PaperState::Out || (paper == PaperState::NearEnd && (sensorsStop & 0x03) != 0);
}

bool PrinterModel::Impl::Online() const {
    return power && !cover && !PaperEndStop() && !forcedOffline;
}

bool PrinterModel::Impl::Pin3High() const {
    return drawerOpen == (opt.drawerPolarity == DrawerPolarity::OpenHigh);
}

bool PrinterModel::Impl::Busy() const {
    return opt.printSpeedMmPerS > 0 && now < busyUntil;
}

bool PrinterModel::Impl::Held() const {
    return !Online() || Busy();
}

std::uint32_t PrinterModel::Impl::Block() const {
    std::uint32_t b1 = 0x10;
    if (Pin3High())
        b1 |= 0x04;
    if (!Online())
        b1 |= 0x08;
    if (cover)
        b1 |= 0x20;
    std::uint32_t b3 = 0;
    if (paper != PaperState::Ok)
        b3 |= 0x03;
    if (paper == PaperState::Out)
        b3 |= 0x0C;
    return b1 | (b3 << 16);
}

std::uint8_t PrinterModel::Impl::Realtime(int n) const {
    std::uint8_t r = 0x12;
    switch (n) {
        case 1:
            if (Pin3High())
                r |= 0x04;
            if (!Online())
                r |= 0x08;
            return r;
        case 2:
            if (cover)
                r |= 0x04;
            if (PaperEndStop())
                r |= 0x20;
            return r;
        case 3:
            return r;
        case 4:
            if (paper != PaperState::Ok)
                r |= 0x0C;
            if (paper == PaperState::Out)
                r |= 0x60;
            return r;
        default:
            return 0;
    }
}

std::uint8_t PrinterModel::Impl::PaperBits() const {
    std::uint8_t r = 0;
    if (paper != PaperState::Ok)
        r |= 0x03;
    if (paper == PaperState::Out)
        r |= 0x0C;
    return r;
}

void PrinterModel::Impl::Reply(const void* data, std::size_t n) {
    if (!power)
        return;
    replies.append(static_cast<const char*>(data), n);
    if (replies.size() > kMaxReplyBytes)
        replies.erase(0, replies.size() - kMaxReplyBytes);
}

void PrinterModel::Impl::SendBlock() {
    const std::uint32_t b = Block();
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(b >> 8),
                                   static_cast<std::uint8_t>(b >> 16),
                                   static_cast<std::uint8_t>(b >> 24)};
    Reply(bytes, 4);
    lastBlock = b;
}

void PrinterModel::Impl::StatusChanged() {
    const std::uint32_t b = Block();
    const std::uint32_t diff = b ^ lastBlock;
    lastBlock = b;
    if (!power || asbMask == 0 || diff == 0)
        return;
    std::uint32_t watched = 0;
    if (asbMask & 0x01)
        watched |= 0x04;
    if (asbMask & 0x02)
        watched |= 0x68;
    if (asbMask & 0x04)
        watched |= 0xFF00;
    if (asbMask & 0x08)
        watched |= 0xFF0000;
    if (diff & watched)
        SendBlock();
}

// ------------------------------------------------------------------ real-time commands

bool PrinterModel::Impl::AlreadyAnswered(std::uint64_t offset) {
    while (!answered.empty() && answered.front() < offset)
        answered.pop_front();
    if (!answered.empty() && answered.front() == offset) {
        answered.pop_front();
        return true;
    }
    return false;
}

void PrinterModel::Impl::Pulse(int pin, std::chrono::milliseconds on) {
    if (now < pulseEnd[pin & 1])
        return;  // a pulse is already being output there
    on = std::min(on, kMaxPulseOn);
    pulseEnd[pin & 1] = now + 2 * on;  // on time plus the equal off time
    if (!drawerOpen) {
        drawerOpen = true;
        if (opt.drawerAutoCloseMs > 0)
            drawerCloseAt = now + std::chrono::milliseconds(opt.drawerAutoCloseMs);
        StatusChanged();
    }
}

void PrinterModel::Impl::ExecuteRealtime(const std::uint8_t* p, std::uint64_t offset) {
    if (p[1] == 0x04) {
        if (p[2] >= 1 && p[2] <= 4)
            ReplyByte(Realtime(p[2]));
        Log(offset, "DLE EOT", Fmt("n=%d", p[2]));
    } else if (p[1] == 0x05) {
        Log(offset, "DLE ENQ", Fmt("n=%d", p[2]));
    } else if (p[1] == 0x14 && p[2] == 1) {
        Pulse(p[3], std::chrono::milliseconds(100 * p[4]));
        Log(offset, "DLE DC4", Fmt("fn=1 pin=%d t=%d00ms", p[3] == 0 ? 2 : 5, p[4]));
    }
}

int PrinterModel::Impl::RealtimeLength(const std::uint8_t* p, int n) {
    if (n < 3 || p[0] != DLE)
        return 0;
    if (p[1] == 0x04 && p[2] >= 1 && p[2] <= 4)
        return 3;
    if (p[1] == 0x05 && p[2] >= 1 && p[2] <= 2)
        return 3;
    // The command reference stops the pulse time at 8 (800 ms); the printers this system
    // drives take any t from 1 and the service objects send 10 or 12, so every t kicks.
    if (p[1] == 0x14 && p[2] == 1 && n >= 5 && p[3] <= 1 && p[4] >= 1)
        return 5;
    return 0;
}

void PrinterModel::Impl::ScanRaw(std::uint64_t from) {
    const std::uint64_t start = std::max(from, processed);
    if (scannedUpTo < start) {  // a gap: what was interpreted in between is not raw
        scanLen = 0;
        scannedUpTo = start;
    }
    const std::uint64_t end = accepted;
    for (std::uint64_t off = scannedUpTo; off < end; ++off) {
        const std::uint8_t b = rx[rxHead + static_cast<std::size_t>(off - processed)];
        if (scanLen == 5) {
            std::memmove(scan, scan + 1, 4);
            scanLen = 4;
        }
        scan[scanLen++] = b;
        // Try each start position in the window; act on a complete command.
        for (int s = 0; s < scanLen; ++s) {
            if (scan[s] != DLE)
                continue;
            const int len = RealtimeLength(scan + s, scanLen - s);
            if (len && s + len == scanLen) {
                const std::uint64_t at = off + 1 - static_cast<std::uint64_t>(len);
                ExecuteRealtime(scan + s, at);
                if (answered.size() >= kMaxAnswered)
                    answered.pop_front();
                answered.push_back(at);
                scanLen = 0;
                break;
            }
        }
    }
    scannedUpTo = end;
}

}  // namespace thermpos::vprinter
