// What a test script cannot do for itself under a script host: wait for its callbacks
// without a busy loop, and tell which thread it runs on.
//
// "ThermPOS.Test.ScriptHelper":
//   Wait(ms)   pumps the calling thread's messages (the calls COM delivers into its
//              apartment among them) until Signal is called or ms pass; true if signalled.
//              The signal is consumed.
//   Signal()   ends the current or next Wait; any thread, any object of the class.
//   ThreadId() the calling thread's id.
//
// Threads: none started. The signal is one process-wide manual-reset event.
#include <new>

#include "platform/comserver.h"

namespace {

using thermpos::platform::com::ArgKind;
using thermpos::platform::com::DispatchArgs;
using thermpos::platform::com::ResultKind;

// {3E8C1F52-7B04-4D9A-A1C6-58E2B0F94D17}
constexpr CLSID kHelperClsid = {
    0x3E8C1F52, 0x7B04, 0x4D9A, {0xA1, 0xC6, 0x58, 0xE2, 0xB0, 0xF9, 0x4D, 0x17}};

HANDLE Signal() {
    static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

bool PumpUntilSignalled(DWORD ms) {
    HANDLE event = Signal();
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        const DWORD rc =
            ::MsgWaitForMultipleObjectsEx(1, &event, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (rc == WAIT_OBJECT_0) {
            ::ResetEvent(event);
            return true;
        }
        if (rc != WAIT_OBJECT_0 + 1)
            return false;  // time-out or failure
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

class CScriptHelper : public thermpos::platform::com::DispatchObject {
  public:
    CScriptHelper() : DispatchObject(&Table(), this) {}

    static const thermpos::platform::com::DispatchTable& Table() {
        static const thermpos::platform::com::DispatchTable table({
            {{"Wait"},
             {ArgKind::I4},
             ResultKind::Bool,
             [](DispatchArgs& a, VARIANT* r) {
                 const LONG ms = a.Long(0);
                 return a.ReturnBool(r, PumpUntilSignalled(ms > 0 ? static_cast<DWORD>(ms) : 0));
             }},
            {{"Signal"},
             {},
             ResultKind::Void,
             [](DispatchArgs&, VARIANT*) {
                 ::SetEvent(Signal());
                 return S_OK;
             }},
            {{"ThreadId"},
             {},
             ResultKind::I4,
             [](DispatchArgs& a, VARIANT* r) {
                 return a.ReturnLong(r, static_cast<LONG>(::GetCurrentThreadId()));
             }},
        });
        return table;
    }
};

const thermpos::platform::com::ServerClass kClasses[] = {
    {kHelperClsid, "ThermPOS.Test.ScriptHelper", "ThermPOS test script helper",
     [] { return static_cast<IUnknown*>(new (std::nothrow) CScriptHelper); }, false},
};

}  // namespace

THERMPOS_COM_SERVER_EXPORTS(kClasses)
