// Creation of automation objects by ProgID: the registry lookups and library loading
// that CoCreateInstance performs for in-process servers on Windows.
//
// ProgID → HKLM\SOFTWARE\Classes\<ProgID>\CLSID → CLSID\{guid}\InprocServer32 → dlopen →
// DllGetClassObject → IClassFactory::CreateInstance. Libraries stay loaded for the life of
// the process (objects and factories may outlive every pointer we know of), so a library
// is opened once per path and never closed.
//
// Threads: any; the table of loaded libraries is guarded by one mutex, never held while
// calling into a library.
#pragma once

#include <string>
#include <string_view>

#include "platform/automation.h"

#ifdef _WIN32
// ole32 activates: CLSIDFromProgID and CoCreateInstance from objbase.h.
#else
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

// CO_E_CLASSSTRING when the ProgID is not registered (or its CLSID value is not a GUID).
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
// Registered classes only; CLSCTX is accepted but only in-process servers exist.
// REGDB_E_CLASSNOTREG (class has no InprocServer32 path), E_ACCESSDENIED (the path is not
// absolute, or the library or a folder above it belongs to someone other than root and
// this user, or others may write it: platform/file_trust.h, the library's own folder
// writable by its owner only), CO_E_DLLNOTFOUND (library cannot be loaded), CO_E_ERRORINDLL
// (library lacks DllGetClassObject), CLASS_E_NOAGGREGATION, or the server's own failure code.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);
#endif  // _WIN32

namespace thermpos::platform::com {

// A server library's entry points as its callers find them by name. They are __stdcall on
// 32-bit Windows (STDAPI), and a pointer typed without it unbalances the stack of a call
// that passes arguments.
using ServerEntryFn = HRESULT(STDAPICALLTYPE*)();  // DllRegisterServer, DllCanUnloadNow, ...
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(const GUID* clsid, const GUID* iid,
                                                  void** object);

// ProgID in ANSI text (ASCII in practice).
HRESULT ClsidFromProgId(std::string_view progId, CLSID* clsid);

// The registered InprocServer32 path of a class; REGDB_E_CLASSNOTREG when absent.
HRESULT InprocServerPath(const CLSID& clsid, std::string* path);

// Loads the server library at path (an absolute path; it stays loaded, like every server)
// and calls its DllRegisterServer, or DllUnregisterServer. E_ACCESSDENIED for a library
// CoCreateInstance would refuse, CO_E_DLLNOTFOUND when it cannot be loaded (*why, when given,
// receives the loader's reason), CO_E_ERRORINDLL when it lacks the entry point, else the entry
// point's own result.
[[nodiscard]] HRESULT CallServerRegistration(const std::string& path, bool unregister,
                                             std::string* why);

// CreateInstance with QueryInterface for IDispatch. *object is null on failure.
HRESULT CreateObjectByProgID(std::string_view progId, IDispatch** object);

// Why this thread's last failed load of a server library failed (the loader's message, or
// what made the library's file or folder untrusted), for messages.
std::string LastActivationError();

// Text for the failure codes above, for messages ("class not registered", ...).
std::string DescribeActivationError(HRESULT hr);

// Joins the calling thread to a single-threaded apartment of COM for the object's life, as
// a thread must on Windows before it creates objects (CoInitializeEx); there is nothing to
// join elsewhere. Apartment-threaded servers (ours are) are then created in this thread
// and called directly, not through a proxy from another apartment. Result() is S_OK,
// S_FALSE (the thread had joined already) or why not (RPC_E_CHANGED_MODE: the thread is
// in the multithreaded apartment).
class ThreadApartment {
  public:
    ThreadApartment();
    ~ThreadApartment();
    ThreadApartment(const ThreadApartment&) = delete;
    ThreadApartment& operator=(const ThreadApartment&) = delete;
    HRESULT Result() const { return result_; }

  private:
    HRESULT result_;
};

}  // namespace thermpos::platform::com
