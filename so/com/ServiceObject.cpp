#include "so/com/ServiceObject.h"

#include <new>
#include <vector>

#include "opos/OposConstants.h"
#include "platform/nocase.h"
#include "so/core/DeviceClasses.h"
#include "so/core/DeviceFactory.h"

namespace thermpos::so {

using thermpos::platform::com::ArgKind;
using thermpos::platform::com::DispatchArgs;
using thermpos::platform::com::DispatchEntry;
using thermpos::platform::com::DispatchTable;
using thermpos::platform::com::ResultKind;

namespace {

constexpr const char kErrorText[] = "[Error]";

DispatchEntry Method(std::vector<std::string> names, std::vector<ArgKind> args, ResultKind result,
                     thermpos::platform::com::DispatchHandler handler) {
    DispatchEntry entry;
    entry.names = std::move(names);
    entry.args = std::move(args);
    entry.result = result;
    entry.handler = std::move(handler);
    return entry;
}

CServiceObjectBase& Object(DispatchArgs& a) {
    return a.Self<CServiceObjectBase>();
}

// Forwards a method with a long result, answering 101 while there is no device.
template <class Fn>
HRESULT ForwardLong(DispatchArgs& a, VARIANT* r, Fn&& fn) {
    auto device = Object(a).Device();
    return a.ReturnLong(r, device ? fn(*device) : OPOS_E_CLOSED);
}

template <class Slots, class Fn>
HRESULT ForwardClassLong(DispatchArgs& a, VARIANT* r, Fn&& fn) {
    auto held = Object(a).Device();
    auto* device = dynamic_cast<Slots*>(held.get());
    return a.ReturnLong(r, device ? fn(*device) : OPOS_E_CLOSED);
}

// A by-reference string argument handed to the device as narrow text and written back.
template <class Fn>
HRESULT ForwardStringRef(DispatchArgs& a, VARIANT* r, size_t index, Fn&& fn) {
    auto device = Object(a).Device();
    if (!device)
        return a.ReturnLong(r, OPOS_E_CLOSED);
    std::string text = a.StringRef(index);
    const std::string before = text;
    LONG rc = fn(*device, &text);
    if (text != before) {
        HRESULT hr = a.SetStringRef(index, text);
        if (FAILED(hr))
            return hr;
    }
    return a.ReturnLong(r, rc);
}

std::vector<DispatchEntry> CommonEntries() {
    using K = ArgKind;
    return {
        Method({"OpenService"}, {K::Bstr, K::Bstr, K::Dispatch}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return a.ReturnLong(
                       r, Object(a).OpenService(a.String(0), a.String(1), a.Dispatch(2)));
               }),
        Method(
            {"CloseService", "Close"}, {}, ResultKind::I4,
            [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, Object(a).CloseService()); }),
        Method({"ClaimDevice", "Claim"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r,
                                      [&](CServiceDevice& d) { return d.ClaimDevice(a.Long(0)); });
               }),
        Method({"ReleaseDevice", "Release"}, {}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r, [](CServiceDevice& d) { return d.ReleaseDevice(); });
               }),
        Method({"CheckHealth"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r,
                                      [&](CServiceDevice& d) { return d.CheckHealth(a.Long(0)); });
               }),
        Method({"ClearInput"}, {}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r, [](CServiceDevice& d) { return d.ClearInput(); });
               }),
        Method({"ClearOutput"}, {}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r, [](CServiceDevice& d) { return d.ClearOutput(); });
               }),
        Method({"DirectIO"}, {K::I4, K::I4Ref, K::BstrRef}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardStringRef(a, r, 2, [&](CServiceDevice& d, std::string* text) {
                       return d.DirectIO(a.Long(0), &a.LongRef(1), text);
                   });
               }),
        Method({"ResetStatistics"}, {K::BstrRef}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardStringRef(a, r, 0, [](CServiceDevice& d, std::string* text) {
                       return d.ResetStatistics(text);
                   });
               }),
        Method({"RetrieveStatistics"}, {K::BstrRef}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardStringRef(a, r, 0, [](CServiceDevice& d, std::string* text) {
                       return d.RetrieveStatistics(text);
                   });
               }),
        Method({"UpdateStatistics"}, {K::BstrRef}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardStringRef(a, r, 0, [](CServiceDevice& d, std::string* text) {
                       return d.UpdateStatistics(text);
                   });
               }),
        Method({"COFreezeEvents"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(a, r,
                                      [&](CServiceDevice& d) { return d.FreezeEvents(a.Long(0)); });
               }),
        Method(
            {"GetOpenResult"}, {}, ResultKind::I4,
            [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, Object(a).GetOpenResult()); }),
        Method({"GetPropertyNumber"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardLong(
                       a, r, [&](CServiceDevice& d) { return d.GetPropertyNumber(a.Long(0)); });
               }),
        Method({"SetPropertyNumber"}, {K::I4, K::I4}, ResultKind::Void,
               [](DispatchArgs& a, VARIANT*) {
                   if (auto d = Object(a).Device())
                       d->SetPropertyNumber(a.Long(0), a.Long(1));
                   return S_OK;
               }),
        Method({"GetPropertyString"}, {K::I4}, ResultKind::Bstr,
               [](DispatchArgs& a, VARIANT* r) {
                   auto d = Object(a).Device();
                   return a.ReturnString(r, d ? d->GetPropertyString(a.Long(0)) : kErrorText);
               }),
        Method({"SetPropertyString"}, {K::I4, K::Bstr}, ResultKind::Void,
               [](DispatchArgs& a, VARIANT*) {
                   if (auto d = Object(a).Device())
                       d->SetPropertyString(a.Long(0), a.String(1));
                   return S_OK;
               }),
    };
}

std::vector<DispatchEntry> PrinterEntries() {
    using K = ArgKind;
    using P = CPOSPrinterSlots;
    std::vector<DispatchEntry> entries = CommonEntries();
    std::vector<DispatchEntry> own = {
        Method({"BeginInsertion"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r,
                                              [&](P& d) { return d.BeginInsertion(a.Long(0)); });
               }),
        Method({"BeginRemoval"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r,
                                              [&](P& d) { return d.BeginRemoval(a.Long(0)); });
               }),
        Method({"ChangePrintSide"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r,
                                              [&](P& d) { return d.ChangePrintSide(a.Long(0)); });
               }),
        Method({"CutPaper"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) { return d.CutPaper(a.Long(0)); });
               }),
        Method({"EndInsertion"}, {}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [](P& d) { return d.EndInsertion(); });
               }),
        Method({"EndRemoval"}, {}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [](P& d) { return d.EndRemoval(); });
               }),
        Method({"MarkFeed"}, {K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) { return d.MarkFeed(a.Long(0)); });
               }),
        Method({"PrintBarCode"}, {K::I4, K::Bstr, K::I4, K::I4, K::I4, K::I4, K::I4},
               ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) {
                       return d.PrintBarCode(a.Long(0), a.String(1), a.Long(2), a.Long(3),
                                             a.Long(4), a.Long(5), a.Long(6));
                   });
               }),
        Method({"PrintBitmap"}, {K::I4, K::Bstr, K::I4, K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) {
                       return d.PrintBitmap(a.Long(0), a.String(1), a.Long(2), a.Long(3));
                   });
               }),
        Method({"PrintImmediate"}, {K::I4, K::Bstr}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.PrintImmediate(a.Long(0), a.String(1)); });
               }),
        Method({"PrintNormal"}, {K::I4, K::Bstr}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.PrintNormal(a.Long(0), a.String(1)); });
               }),
        Method({"PrintTwoNormal"}, {K::I4, K::Bstr, K::Bstr}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) {
                       return d.PrintTwoNormal(a.Long(0), a.String(1), a.String(2));
                   });
               }),
        Method({"RotatePrint"}, {K::I4, K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.RotatePrint(a.Long(0), a.Long(1)); });
               }),
        Method({"SetBitmap"}, {K::I4, K::I4, K::Bstr, K::I4, K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(a, r, [&](P& d) {
                       return d.SetBitmap(a.Long(0), a.Long(1), a.String(2), a.Long(3), a.Long(4));
                   });
               }),
        Method({"SetLogo"}, {K::I4, K::Bstr}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.SetLogo(a.Long(0), a.String(1)); });
               }),
        Method({"TransactionPrint"}, {K::I4, K::I4}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.TransactionPrint(a.Long(0), a.Long(1)); });
               }),
        Method({"ValidateData"}, {K::I4, K::Bstr}, ResultKind::I4,
               [](DispatchArgs& a, VARIANT* r) {
                   return ForwardClassLong<P>(
                       a, r, [&](P& d) { return d.ValidateData(a.Long(0), a.String(1)); });
               }),
    };
    for (auto& e : own)
        entries.push_back(std::move(e));
    return entries;
}

std::vector<DispatchEntry> DrawerEntries() {
    using K = ArgKind;
    using D = CCashDrawerSlots;
    std::vector<DispatchEntry> entries = CommonEntries();
    entries.push_back(Method({"OpenDrawer"}, {}, ResultKind::I4, [](DispatchArgs& a, VARIANT* r) {
        return ForwardClassLong<D>(a, r, [](D& d) { return d.OpenDrawer(); });
    }));
    entries.push_back(Method({"WaitForDrawerClose"}, {K::I4, K::I4, K::I4, K::I4}, ResultKind::I4,
                             [](DispatchArgs& a, VARIANT* r) {
                                 return ForwardClassLong<D>(a, r, [&](D& d) {
                                     return d.WaitForDrawerClose(a.Long(0), a.Long(1), a.Long(2),
                                                                 a.Long(3));
                                 });
                             }));
    return entries;
}

}  // namespace

CServiceObjectBase::CServiceObjectBase(const DispatchTable* table, const char* deviceClass)
    : DispatchObject(table, static_cast<CServiceObjectBase*>(this)), deviceClass_(deviceClass) {}

CServiceObjectBase::~CServiceObjectBase() = default;

std::shared_ptr<CServiceDevice> CServiceObjectBase::Device() const {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    return device_;
}

LONG CServiceObjectBase::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                     IDispatch* dispatch) {
    std::shared_ptr<CServiceDevice> device;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        failedOpenResult_ = OPOS_E_CLOSED;
        if (!device_ && platform::EqualNoCase(deviceClass, deviceClass_))
            device_ = CreateDeviceObject(deviceClass, deviceName);
        device = device_;
    }
    if (!device)
        return OPOS_E_CLOSED;
    const LONG rc = device->OpenService(deviceClass, deviceName, dispatch);
    // A device whose open failed is not kept: the next OpenService on this object may
    // name another model, whose own class must answer it. A closed device runs no thread.
    if (rc != OPOS_SUCCESS && device->State() == OPOS_S_CLOSED) {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        if (device_ == device) {
            device_.reset();
            failedOpenResult_ = rc;
        }
    }
    return rc;
}

LONG CServiceObjectBase::GetOpenResult() const {
    std::shared_ptr<CServiceDevice> device;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        if (!device_)
            return failedOpenResult_;
        device = device_;
    }
    return device->GetOpenResult();
}

LONG CServiceObjectBase::CloseService() {
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        failedOpenResult_ = OPOS_E_CLOSED;
    }
    auto device = Device();
    if (!device)
        return OPOS_E_CLOSED;
    LONG rc = device->CloseDevice();
    // A device that stayed open refused to close from inside one of its own callbacks;
    // destroying it there would free it under its running event thread. A call still
    // inside the device on another thread holds it until that call returns.
    if (device->State() == OPOS_S_CLOSED) {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        if (device_ == device)
            device_.reset();
    }
    return rc;
}

void CServiceObjectBase::OnFinalRelease() {
    // An application that drops its last reference without closing: close and destroy
    // the device here, while the derived device is whole, so its threads and port go.
    std::shared_ptr<CServiceDevice> device;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        device = std::move(device_);
    }
    if (!device)
        return;
    if (device->State() != OPOS_S_CLOSED)
        device->CloseDevice();
    // Released from inside a callback the device cannot stop its own event thread; it is
    // left to run down rather than freed under that thread.
    if (device->State() != OPOS_S_CLOSED)
        (void)new std::shared_ptr<CServiceDevice>(std::move(device));
}

CQMXThermalPrinterSO::CQMXThermalPrinterSO() : CServiceObjectBase(&Table(), "POSPrinter") {}

const DispatchTable& CQMXThermalPrinterSO::Table() {
    static const DispatchTable table(PrinterEntries());
    return table;
}

CQMXCashDrawerSO::CQMXCashDrawerSO() : CServiceObjectBase(&Table(), "CashDrawer") {}

const DispatchTable& CQMXCashDrawerSO::Table() {
    static const DispatchTable table(DrawerEntries());
    return table;
}

}  // namespace thermpos::so
