// In-process server helpers: a reference-counted IDispatch base over a DispatchTable,
// class factories, the module's object and lock counts, and self-registration.
//
// The platform library is linked statically into each server library with hidden
// symbols, so each server has its own module counts and registers its own path.
//
// A server library needs little more than a list of its classes:
//
//   class CMySO : public thermpos::platform::com::DispatchObject {
//   public:
//       CMySO() : DispatchObject(&Table(), this) {}
//       static const thermpos::platform::com::DispatchTable& Table();
//   };
//   static const thermpos::platform::com::ServerClass kClasses[] = {
//       {kMyClsid, "My.ProgID", "My object",
//        [] { return static_cast<IUnknown*>(new (std::nothrow) CMySO); }},
//   };
//   THERMPOS_COM_SERVER_EXPORTS(kClasses)
//
// The macro defines DllGetClassObject, DllCanUnloadNow, DllRegisterServer and
// DllUnregisterServer with default visibility.
//
// Threads: none started here. Reference and module counts are atomic; objects may be
// AddRef'd and Released from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

#include "platform/automation.h"
#include "platform/dispatch.h"

namespace thermpos::platform::com {

// ---------------------------------------------------------------------------------------
// Module counts (DllCanUnloadNow).

// Live objects of this module: every DispatchObject counts itself from construction to
// destruction. Other COM objects of the module may count themselves with these calls.
void ModuleObjectCreated();
void ModuleObjectDestroyed();
LONG ModuleObjectCount();
// IClassFactory::LockServer.
void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();
// S_OK when no object is alive and the server is not locked, else S_FALSE.
HRESULT ModuleCanUnloadNow();

// ---------------------------------------------------------------------------------------
// Base of automation objects.

// IDispatch over a DispatchTable, with an atomic reference count that starts at 1 for the
// creator (the class factory's CreateInstance queries the requested interface and drops
// that first reference). The object deletes itself at the last Release.
// GetTypeInfoCount answers 0; GetTypeInfo answers E_NOTIMPL (no type library: binding is
// by name only).
class DispatchObject : public IDispatch {
  public:
    // table: must outlive the object (usually a function-local static).
    // self: the most derived object, as handlers will cast it with DispatchArgs::Self<T>().
    DispatchObject(const DispatchTable* table, void* self);
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* dispIds) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispId, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override;

    ULONG RefCount() const { return refs_.load(); }

  protected:
    // Runs at the last Release, before deletion, while the object is still whole: the
    // place to close what the object holds open.
    virtual void OnFinalRelease() {}
    // Further interfaces answered by QueryInterface (IUnknown and IDispatch are built in).
    // Return the interface pointer without AddRef, or null.
    virtual void* QueryExtraInterface(REFIID /*riid*/) { return nullptr; }
    virtual ~DispatchObject();

  private:
    std::atomic<ULONG> refs_{1};
    const DispatchTable* table_;
    void* self_;
};

// ---------------------------------------------------------------------------------------
// Class factories and the server's class list.

// Creates one object with a reference count of 1, or null when out of memory.
using CreateObjectFn = IUnknown* (*)();

struct ServerClass {
    CLSID clsid;
    const char* progId;       // "Vendor.Object"
    const char* description;  // default value of the CLSID key
    CreateObjectFn create;
    // A name other makers' classes register as well (the standard control objects'
    // ProgIDs): registration leaves such a ProgID alone when it names another class, and
    // fails, rather than take it over.
    bool sharedProgId;
};

// A class factory for one ServerClass, made by GetClassObject with a reference count of 1
// and deleted at its last Release. A live factory counts as a module object, so a
// factory handed out keeps the library loaded until released.
class ClassFactory final : public IClassFactory {
  public:
    explicit ClassFactory(CreateObjectFn create);
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // CLASS_E_NOAGGREGATION with an outer object, E_OUTOFMEMORY when creation fails,
    // else the object's QueryInterface result (the object dies if that fails).
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    ~ClassFactory();
    std::atomic<ULONG> refs_{1};
    CreateObjectFn create_;
};

// DllGetClassObject over a class list: CLASS_E_CLASSNOTAVAILABLE for an unknown class,
// E_POINTER for null pointers; the factory's QueryInterface result otherwise.
HRESULT GetClassObject(const ServerClass* classes, size_t count, const GUID* clsid, const GUID* iid,
                       void** out);

// ---------------------------------------------------------------------------------------
// Registration, under HKEY_LOCAL_MACHINE\SOFTWARE\Classes:
//   CLSID\{guid}                 default = description
//   CLSID\{guid}\InprocServer32  default = absolute path of the library, ThreadingModel =
//                                "Both" (docs/threads.md: the objects take calls on any
//                                thread and reach their callers' objects only through
//                                apartment.h)
//   CLSID\{guid}\ProgID          default = ProgID
//   <ProgID>\CLSID               default = "{guid}"
//   <ProgID>                     default = description

// The path of the module this copy of the platform library is linked into (module.h's
// PathOf).
std::string ThisModulePath();

// Writes the entries above for each class with libraryPath as server path.
// S_OK, or SELFREG_E_CLASS when the registry refuses a write (e.g. read-only hive) or a
// shared ProgID already names another class (then nothing is written).
HRESULT RegisterServerClasses(const ServerClass* classes, size_t count,
                              const std::string& libraryPath);
// Removes the values above for each class, and each key the removal leaves with no value
// and no subkey; what anyone else put under the same keys stays, and so does a ProgID
// that names another class by now. Entries already gone are not an error. S_OK, or
// SELFREG_E_CLASS when a deletion is refused.
HRESULT UnregisterServerClasses(const ServerClass* classes, size_t count);

// ---------------------------------------------------------------------------------------
// A non-owning-by-default COM pointer: Release on destruction.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) {
            Reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    // Takes over a reference the caller already owns.
    static ComPtr Adopt(T* p) {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases the current pointer first.
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }

  private:
    T* p_ = nullptr;
};

}  // namespace thermpos::platform::com

// Defines the four server exports over a ServerClass array.
#ifdef _WIN32
// With objbase.h's declarations; the module definition file exports them.
#define THERMPOS_COM_SERVER_EXPORTS(classes)                                   \
    STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {        \
        return ::thermpos::platform::com::GetClassObject(                      \
            classes, sizeof(classes) / sizeof(classes[0]), &clsid, &iid, out); \
    }                                                                          \
    STDAPI DllCanUnloadNow() {                                                 \
        return ::thermpos::platform::com::ModuleCanUnloadNow();                \
    }                                                                          \
    STDAPI DllRegisterServer() {                                               \
        return ::thermpos::platform::com::RegisterServerClasses(               \
            classes, sizeof(classes) / sizeof(classes[0]),                     \
            ::thermpos::platform::com::ThisModulePath());                      \
    }                                                                          \
    STDAPI DllUnregisterServer() {                                             \
        return ::thermpos::platform::com::UnregisterServerClasses(             \
            classes, sizeof(classes) / sizeof(classes[0]));                    \
    }
#else
#define THERMPOS_COM_SERVER_EXPORTS(classes)                                          \
    extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(      \
        const GUID* clsid, const GUID* iid, void** out) {                             \
        return ::thermpos::platform::com::GetClassObject(                             \
            classes, sizeof(classes) / sizeof(classes[0]), clsid, iid, out);          \
    }                                                                                 \
    extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {     \
        return ::thermpos::platform::com::ModuleCanUnloadNow();                       \
    }                                                                                 \
    extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {   \
        return ::thermpos::platform::com::RegisterServerClasses(                      \
            classes, sizeof(classes) / sizeof(classes[0]),                            \
            ::thermpos::platform::com::ThisModulePath());                             \
    }                                                                                 \
    extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { \
        return ::thermpos::platform::com::UnregisterServerClasses(                    \
            classes, sizeof(classes) / sizeof(classes[0]));                           \
    }
#endif  // _WIN32
