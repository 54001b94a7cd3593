// The printer model's host link: line pacing, the bounded receive buffer, the
// interpretation loop that stops while printing is held, timers and power.
#include <algorithm>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

std::size_t PrinterModel::Impl::Deselected(const std::uint8_t* p, std::size_t n) {
    if (p[0] == DLE)
        return Dle(p, n);
    if (p[0] == ESC) {
        if (n < 2)
            return 0;
        if (p[1] == 0x3D) {
            if (n < 3)
                return 0;
            selected = p[2] & 1;
            Log(processed, "ESC =", Fmt("n=%d", p[2]));
            return 3;
        }
    }
    return 1;
}

std::size_t PrinterModel::Impl::Interpret(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && !Held()) {
        std::size_t c;
        if (sink.kind != SinkKind::None) {
            c = FeedSink(p + i, n - i);
            if (c == 0 && sink.kind == SinkKind::None)
                continue;  // abandoned at this byte, which is now read as data
        } else if (!selected)
            c = Deselected(p + i, n - i);
        else if (p[i] >= 0x20)
            c = TextRun(p + i, n - i);
        else
            c = Command(p + i, n - i);
        if (c == 0)
            break;
        i += c;
        processed += c;
    }
    return i;
}

void PrinterModel::Impl::Drain() {
    if (!power)
        return;
    while (rxHead < rx.size() && !Held()) {
        const std::size_t c = Interpret(rx.data() + rxHead, rx.size() - rxHead);
        if (c == 0)
            break;
        rxHead += c;
    }
    if (rxHead == rx.size()) {
        rx.clear();
        rxHead = 0;
    } else if (rxHead > 0) {
        rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(rxHead));
        rxHead = 0;
    }
    if (Held())
        ScanRaw(processed);
}

std::size_t PrinterModel::Impl::PacingAllowance(std::size_t n, TimePoint t) {
    if (opt.baud <= 0)
        return n;
    if (!pacingPending) {
        burstStart = t;
        burstBytes = 0;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t - burstStart).count();
    const std::uint64_t arrived =
        elapsed <= 0 ? 0
                     : static_cast<std::uint64_t>(static_cast<unsigned __int128>(elapsed) *
                                                  opt.baud / 10'000'000'000ULL);
    const std::uint64_t room = arrived > burstBytes ? arrived - burstBytes : 0;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(room, n));
    burstBytes += k;
    pacingPending = k < n;
    return k;
}

std::size_t PrinterModel::Impl::Feed(const std::uint8_t* data, std::size_t n, TimePoint t) {
    now = std::max(now, t);
    if (!power || n == 0 || !data)
        return 0;
    RunTimers();
    const std::size_t allowed = PacingAllowance(n, t);
    std::size_t taken = 0;
    while (taken < allowed) {
        const std::size_t space = opt.receiveBufferBytes - (rx.size() - rxHead);
        if (space == 0)
            break;
        const std::size_t k = std::min(space, allowed - taken);
        rx.insert(rx.end(), data + taken, data + taken + k);
        const std::uint64_t from = accepted;
        accepted += k;
        taken += k;
        if (opt.realtimeAnywhere || Held())
            ScanRaw(from);
        Drain();
    }
    if (taken < allowed && opt.baud > 0) {
        // Refused for lack of buffer space: the line stalls until the transport offers
        // the rest again, which then starts a new burst.
        burstBytes -= allowed - taken;
        pacingPending = false;
    }
    return taken;
}

void PrinterModel::Impl::RunTimers() {
    if (drawerCloseAt && now >= *drawerCloseAt) {
        drawerCloseAt.reset();
        if (drawerOpen) {
            drawerOpen = false;
            StatusChanged();
        }
    }
}

std::optional<TimePoint> PrinterModel::Impl::NextEvent() const {
    std::optional<TimePoint> t;
    auto consider = [&](TimePoint c) {
        if (!t || c < *t)
            t = c;
    };
    if (power && pacingPending && opt.baud > 0) {
        const std::uint64_t nextByte = burstBytes + 1;
        const auto ns = static_cast<std::int64_t>(
            (static_cast<unsigned __int128>(nextByte) * 10'000'000'000ULL + opt.baud - 1) /
            opt.baud);
        const TimePoint due = burstStart + std::chrono::duration_cast<ModelClock::duration>(
                                               std::chrono::nanoseconds(ns));
        // A time already past means the transport stopped offering the rest (unplugged,
        // say): it is no reason to wake anyone.
        if (due > now)
            consider(due);
    }
    if (drawerCloseAt)
        consider(*drawerCloseAt);
    if (power && Busy() && rxHead < rx.size())
        consider(busyUntil);
    return t;
}

void PrinterModel::Impl::Changed() {
    StatusChanged();
    if (power && !Held())
        Drain();
    if (power && Held())
        ScanRaw(processed);
}

void PrinterModel::Impl::PowerOn() {
    power = true;
    ResetModes();
    selected = true;
    asbMask = opt.asbDefaultMask & 0x0F;
    lastBlock = Block();
    if (asbMask)
        SendBlock();
}

void PrinterModel::Impl::PowerOff() {
    power = false;
    rx.clear();
    rxHead = 0;
    processed = accepted;
    scannedUpTo = accepted;
    scanLen = 0;
    answered.clear();
    pacingPending = false;
    busyUntil = TimePoint{};
    ResetModes();
}

}  // namespace thermpos::vprinter
