// No apartments: a handed-over object is called as given, from any thread.
//
// Threads: none started.
#include "platform/apartment.h"

#include <atomic>
#include <utility>

namespace thermpos::platform::com {

struct DispatchHandoff::Impl {
    std::atomic<IDispatch*> target{nullptr};
};

DispatchHandoff::DispatchHandoff() : impl_(std::make_unique<Impl>()) {}
DispatchHandoff::~DispatchHandoff() = default;

HRESULT DispatchHandoff::Give(IDispatch* target) {
    impl_->target = target;
    return S_OK;
}

void DispatchHandoff::Revoke() {
    impl_->target = nullptr;
}

bool DispatchHandoff::Empty() const {
    return impl_->target.load() == nullptr;
}

DispatchHandoff::Use::~Use() = default;

DispatchHandoff::Use::Use(Use&& other) noexcept
    : target_(std::exchange(other.target_, nullptr)), owned_(other.owned_) {}

DispatchHandoff::Use DispatchHandoff::Take() const {
    Use use;
    use.target_ = impl_->target.load();
    return use;
}

CallerApartment::CallerApartment() = default;
CallerApartment::~CallerApartment() = default;

struct ApartmentEvent::Impl {
    ManualResetEvent event;
};

ApartmentEvent::ApartmentEvent() : impl_(std::make_unique<Impl>()) {}
ApartmentEvent::~ApartmentEvent() = default;
void ApartmentEvent::Set() {
    impl_->event.Set();
}
void ApartmentEvent::Reset() {
    impl_->event.Reset();
}
DWORD ApartmentEvent::Wait(DWORD timeoutMs) {
    return impl_->event.Wait(timeoutMs);
}

FreeThreadedMarshaler::FreeThreadedMarshaler(IUnknown*) {}
FreeThreadedMarshaler::~FreeThreadedMarshaler() = default;
void* FreeThreadedMarshaler::Query(REFIID) {
    return nullptr;
}

}  // namespace thermpos::platform::com
