// Handing application objects to our threads through the global interface table.
//
// Threads: none started. The table's cookie is written by Give and Revoke on the owner's
// thread and read by Take on others; COM's table does its own locking.
#include <atomic>
#include <utility>

#include "platform/apartment.h"

namespace thermpos::platform::com {

namespace {

IGlobalInterfaceTable* Table() {
    IGlobalInterfaceTable* table = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table))))
        return nullptr;
    return table;
}

}  // namespace

struct DispatchHandoff::Impl {
    std::atomic<DWORD> cookie{0};
    // Given on a thread that never initialised COM: a caller in no apartment, whose object
    // is called as given (and kept alive by it), as elsewhere.
    std::atomic<IDispatch*> plain{nullptr};
};

DispatchHandoff::DispatchHandoff() : impl_(std::make_unique<Impl>()) {}

DispatchHandoff::~DispatchHandoff() {
    Revoke();
}

HRESULT DispatchHandoff::Give(IDispatch* target) {
    Revoke();
    if (!target)
        return S_OK;
    IGlobalInterfaceTable* table = Table();
    if (!table) {
        impl_->plain = target;
        return S_OK;
    }
    DWORD cookie = 0;
    const HRESULT hr = table->RegisterInterfaceInGlobal(target, IID_IDispatch, &cookie);
    table->Release();
    if (SUCCEEDED(hr))
        impl_->cookie = cookie;
    return hr;
}

void DispatchHandoff::Revoke() {
    impl_->plain = nullptr;
    const DWORD cookie = impl_->cookie.exchange(0);
    if (!cookie)
        return;
    if (IGlobalInterfaceTable* table = Table()) {
        table->RevokeInterfaceFromGlobal(cookie);
        table->Release();
    }
}

bool DispatchHandoff::Empty() const {
    return impl_->cookie.load() == 0 && impl_->plain.load() == nullptr;
}

DispatchHandoff::Use::~Use() {
    if (owned_ && target_)
        target_->Release();
}

DispatchHandoff::Use::Use(Use&& other) noexcept
    : target_(std::exchange(other.target_, nullptr)), owned_(other.owned_) {}

DispatchHandoff::Use DispatchHandoff::Take() const {
    Use use;
    const DWORD cookie = impl_->cookie.load();
    if (!cookie) {
        use.target_ = impl_->plain.load();
        return use;
    }
    IGlobalInterfaceTable* table = Table();
    if (!table)
        return use;
    IDispatch* target = nullptr;
    if (SUCCEEDED(table->GetInterfaceFromGlobal(cookie, IID_IDispatch,
                                                reinterpret_cast<void**>(&target)))) {
        use.target_ = target;
        use.owned_ = true;
    }
    table->Release();
    return use;
}

CallerApartment::CallerApartment() {
    // S_FALSE: already in the MTA; RPC_E_CHANGED_MODE: a thread someone else made an STA,
    // which keeps its apartment (and is not ours to uninitialise).
    joined_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

CallerApartment::~CallerApartment() {
    if (joined_)
        ::CoUninitialize();
}

struct ApartmentEvent::Impl {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Impl() {
        if (event)
            ::CloseHandle(event);
    }
};

ApartmentEvent::ApartmentEvent() : impl_(std::make_unique<Impl>()) {}
ApartmentEvent::~ApartmentEvent() = default;

void ApartmentEvent::Set() {
    ::SetEvent(impl_->event);
}

void ApartmentEvent::Reset() {
    ::ResetEvent(impl_->event);
}

DWORD ApartmentEvent::Wait(DWORD timeoutMs) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    const bool sta = SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) &&
                     (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
    if (!sta)
        return ::WaitForSingleObject(impl_->event, timeoutMs);
    DWORD index = 0;
    const HRESULT hr = ::CoWaitForMultipleHandles(0, timeoutMs, 1, &impl_->event, &index);
    if (hr == RPC_S_CALLPENDING)
        return WAIT_TIMEOUT;
    return SUCCEEDED(hr) ? WAIT_OBJECT_0 : ::WaitForSingleObject(impl_->event, timeoutMs);
}

FreeThreadedMarshaler::FreeThreadedMarshaler(IUnknown* outer) {
    if (FAILED(::CoCreateFreeThreadedMarshaler(outer, &inner_)))
        inner_ = nullptr;
}

FreeThreadedMarshaler::~FreeThreadedMarshaler() {
    if (inner_)
        inner_->Release();
}

void* FreeThreadedMarshaler::Query(REFIID riid) {
    if (!inner_ || !IsEqualGUID(riid, IID_IMarshal))
        return nullptr;
    IUnknown* marshal = nullptr;
    if (FAILED(inner_->QueryInterface(riid, reinterpret_cast<void**>(&marshal))) || !marshal)
        return nullptr;
    marshal->Release();  // a reference on the outer object, which its QueryInterface adds back
    return marshal;
}

}  // namespace thermpos::platform::com
