// The simulated transport clock: model time that moves only when the port thread would
// otherwise wait for it (see virtual_printer.h). Its mutex is taken alone or last.
#include <algorithm>

#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {

TimePoint SimulatedClock::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

bool SimulatedClock::SkipTo(TimePoint deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = std::max(now_, deadline);
    return true;
}

void SimulatedClock::Advance(ModelClock::duration by) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += by;
}

}  // namespace thermpos::vprinter
