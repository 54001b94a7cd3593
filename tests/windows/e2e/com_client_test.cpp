// A C++ application of each threading model drives the service objects through ole32:
// created by ProgID, its own object as control object, receipts synchronous and
// asynchronous, the cover opened at the printer and the error answered retry through the
// by-reference argument, the drawer opened and waited for. Every callback records the
// thread and apartment it arrived on: an STA client must get each one on its own thread
// (inside its message loop), an MTA client in the multithreaded apartment.
//
// Environment (set by run_e2e.sh): THERMPOS_E2E_PRINTER, THERMPOS_E2E_DRAWER (logical
// device names), THERMPOS_E2E_CONTROL (a command line that sends its arguments to the
// virtual printer's control socket).
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "opos/OposConstants.h"
#include "platform/activation.h"
#include "platform/comserver.h"
#include "platform/dispatch.h"

namespace {

using namespace thermpos::platform::com;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Runs a command of the host (a Linux program under Wine) and waits for it.
DWORD RunHost(const std::string& command) {
    std::wstring line(command.begin(), command.end());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return ::GetLastError() | 0x10000;
    ::WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
    return code;
}

bool InMta() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
}

// The control object: records every callback and where it ran, and wakes the client.
class CControl : public DispatchObject {
  public:
    CControl() : DispatchObject(&Table(), this) {}

    struct Seen {
        std::vector<std::string> calls;
        int onWrongThread = 0;
    };
    Seen Snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool Has(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& c : seen_.calls)
            if (c == call)
                return true;
        return false;
    }

    DWORD ownerThread = 0;  // STA: the one thread callbacks may arrive on; MTA: 0
    HANDLE wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::string control;

  private:
    void Record(const std::string& call) {
        const bool right = ownerThread ? ::GetCurrentThreadId() == ownerThread : InMta();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.calls.push_back(call);
            if (!right)
                ++seen_.onWrongThread;
        }
        ::SetEvent(wake);
    }
    static const DispatchTable& Table() {
        static const DispatchTable table({
            {{"SOStatusUpdate"},
             {ArgKind::I4},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.Self<CControl>().Record("status " + std::to_string(a.Long(0)));
                 return S_OK;
             }},
            {{"SOOutputComplete"},
             {ArgKind::I4},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.Self<CControl>().Record("complete");
                 return S_OK;
             }},
            {{"SOError"},
             {ArgKind::I4, ArgKind::I4, ArgKind::I4, ArgKind::I4Ref},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 auto& self = a.Self<CControl>();
                 RunHost(self.control + " cover close");
                 a.LongRef(3) = OPOS_ER_RETRY;
                 self.Record("error " + std::to_string(a.Long(0)) + "," +
                             std::to_string(a.Long(1)) + "," + std::to_string(a.Long(2)));
                 return S_OK;
             }},
            {{"SODirectIO"},
             {ArgKind::I4, ArgKind::I4Ref, ArgKind::BstrRef},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.Self<CControl>().Record("directio");
                 return S_OK;
             }},
        });
        return table;
    }
    std::mutex mutex_;
    Seen seen_;
};

// Waits up to 20 s for test(); an STA client turns its message loop meanwhile.
bool WaitFor(CControl& control, bool sta, const std::function<bool()>& test) {
    const ULONGLONG end = ::GetTickCount64() + 20000;
    while (!test()) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end)
            return false;
        const DWORD left = static_cast<DWORD>(end - now);
        if (sta) {
            if (::MsgWaitForMultipleObjectsEx(1, &control.wake, left, QS_ALLINPUT,
                                              MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0 + 1) {
                MSG msg;
                while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageW(&msg);
                }
            }
        } else {
            ::WaitForSingleObject(control.wake, left);
        }
    }
    return true;
}

LONG CallLong(DispatchDriver& d, const char* name, OutgoingArgs& args) {
    Variant result;
    LONG value = -1;
    if (FAILED(d.Call(name, args, result.Get())) || !result.ToLong(&value))
        return -1;
    return value;
}

void SetNumber(DispatchDriver& d, LONG index, LONG value) {
    OutgoingArgs args;
    args.Long(index).Long(value);
    d.Call("SetPropertyNumber", args);
}

// Creates a service object by ProgID, then opens it with `control` as its control object,
// claims and enables it.
void OpenDevice(const char* progId, const char* deviceClass, const char* nameVariable,
                IDispatch* control, ComPtr<IDispatch>* device) {
    ASSERT_EQ(CreateObjectByProgID(progId, device->Out()), S_OK);
    DispatchDriver d(device->Get());
    OutgoingArgs open;
    open.String(deviceClass).String(Env(nameVariable)).Dispatch(control);
    ASSERT_EQ(CallLong(d, "OpenService", open), OPOS_SUCCESS);
    OutgoingArgs claim;
    claim.Long(5000);
    ASSERT_EQ(CallLong(d, "ClaimDevice", claim), OPOS_SUCCESS);
    SetNumber(d, PIDX_DeviceEnabled, 1);
}

// A new control object for this thread: an STA's callbacks must come to it here.
ComPtr<CControl> MakeControl(bool sta) {
    auto control = ComPtr<CControl>::Adopt(new CControl);
    control->ownerThread = sta ? ::GetCurrentThreadId() : 0;
    control->control = Env("THERMPOS_E2E_CONTROL");
    return control;
}

// The whole session on a thread of the given apartment; failures are recorded there.
void Session(bool sta) {
    ASSERT_TRUE(SUCCEEDED(
        ::CoInitializeEx(nullptr, sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED)));
    {
        ComPtr<CControl> holder = MakeControl(sta);
        CControl* control = holder.Get();
        ComPtr<IDispatch> printer;
        ASSERT_NO_FATAL_FAILURE(OpenDevice("QMX.Thermal.POSPrinter", "POSPrinter",
                                           "THERMPOS_E2E_PRINTER", control, &printer));
        DispatchDriver p(printer.Get());
        OutgoingArgs print;
        print.Long(PTR_S_RECEIPT).String(sta ? "E2E sta sync receipt\n" : "E2E mta sync receipt\n");
        EXPECT_EQ(CallLong(p, "PrintNormal", print), OPOS_SUCCESS);

        SetNumber(p, PIDXPtr_AsyncMode, 1);
        OutgoingArgs async;
        async.Long(PTR_S_RECEIPT).String("E2E async receipt\n");
        EXPECT_EQ(CallLong(p, "PrintNormal", async), OPOS_SUCCESS);
        EXPECT_TRUE(WaitFor(*control, sta, [&] { return control->Has("complete"); }));

        ASSERT_EQ(RunHost(control->control + " cover open"), 0u);
        EXPECT_TRUE(WaitFor(*control, sta, [&] { return control->Has("status 11"); }));
        OutgoingArgs retried;
        retried.Long(PTR_S_RECEIPT)
            .String(sta ? "E2E sta retried receipt\n" : "E2E mta retried receipt\n");
        EXPECT_EQ(CallLong(p, "PrintNormal", retried), OPOS_SUCCESS);
        EXPECT_TRUE(WaitFor(*control, sta, [&] { return control->Has("error 114,201,1"); }));
        EXPECT_TRUE(WaitFor(*control, sta, [&] {
            int n = 0;
            for (const auto& c : control->Snapshot().calls)
                n += c == "complete";
            return n >= 2;
        }));
        SetNumber(p, PIDXPtr_AsyncMode, 0);
        SetNumber(p, PIDX_DeviceEnabled, 0);
        OutgoingArgs none;
        CallLong(p, "ReleaseDevice", none);
        EXPECT_EQ(CallLong(p, "CloseService", none), OPOS_SUCCESS);

        ComPtr<IDispatch> drawer;
        ASSERT_NO_FATAL_FAILURE(OpenDevice("QMX.Thermal.CashDrawer", "CashDrawer",
                                           "THERMPOS_E2E_DRAWER", control, &drawer));
        DispatchDriver d(drawer.Get());
        EXPECT_EQ(CallLong(d, "OpenDrawer", none), OPOS_SUCCESS);
        OutgoingArgs wait;
        wait.Long(10000).Long(1000).Long(100).Long(500);
        EXPECT_EQ(CallLong(d, "WaitForDrawerClose", wait), OPOS_SUCCESS);
        EXPECT_TRUE(WaitFor(*control, sta, [&] { return control->Has("status 0"); }));
        SetNumber(d, PIDX_DeviceEnabled, 0);
        CallLong(d, "ReleaseDevice", none);
        EXPECT_EQ(CallLong(d, "CloseService", none), OPOS_SUCCESS);

        const CControl::Seen seen = control->Snapshot();
        EXPECT_EQ(seen.onWrongThread, 0);
        std::string all;
        for (const auto& c : seen.calls)
            all += c + "; ";
        std::printf("%s callbacks: %s\n", sta ? "STA" : "MTA", all.c_str());
    }
    ::CoUninitialize();
}

// An STA application closes while the event thread is inside a callback to that very
// thread (the cover just opened, the STA not pumping): the close must let the callback in
// while it waits for the event thread, or both wait for ever.
TEST(ComClient, CloseOnAnStaWhileACallbackWaitsForItEnds) {
    std::thread client([] {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        {
            ComPtr<CControl> holder = MakeControl(true);
            CControl* control = holder.Get();
            ComPtr<IDispatch> printer;
            ASSERT_NO_FATAL_FAILURE(OpenDevice("QMX.Thermal.POSPrinter", "POSPrinter",
                                               "THERMPOS_E2E_PRINTER", control, &printer));
            DispatchDriver p(printer.Get());
            ASSERT_EQ(RunHost(control->control + " cover open"), 0u);
            // Without pumping: the property changes as the status update is queued, and the
            // event thread then waits inside its call to this thread. No event tells this
            // thread so (it is the one that would dispatch it), hence the bounded look.
            Variant cover;
            OutgoingArgs index;
            index.Long(PIDXPtr_CoverOpen);
            LONG coverOpen = 0;
            for (int i = 0; i < 2000 && coverOpen != 1; ++i) {
                ::WaitForSingleObject(control->wake, 10);
                if (SUCCEEDED(p.Call("GetPropertyNumber", index, cover.Get())))
                    cover.ToLong(&coverOpen);
            }
            ASSERT_EQ(coverOpen, 1);
            OutgoingArgs none;
            EXPECT_EQ(CallLong(p, "CloseService", none), OPOS_SUCCESS);
            EXPECT_TRUE(control->Has("status 11"));  // let in during the close
            EXPECT_EQ(control->Snapshot().onWrongThread, 0);
            RunHost(control->control + " cover close");
        }
        ::CoUninitialize();
    });
    client.join();
}

TEST(ComClient, SingleThreadedApartmentGetsEveryCallbackOnItsOwnThread) {
    std::thread client([] { Session(true); });
    client.join();
}

TEST(ComClient, MultithreadedApartmentGetsEveryCallbackInTheApartment) {
    std::thread client([] { Session(false); });
    client.join();
}

}  // namespace
