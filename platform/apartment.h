// Calls from our own threads into objects an application handed us, in the application's
// apartment.
//
// The service objects' event threads and the control objects' direct events call an
// IDispatch that was given on another thread (OpenService, the EventSink put). On Windows
// that pointer belongs to the giver's apartment: a thread of an STA may be the only one
// allowed to call it, and a raw call from elsewhere fails (RPC_E_WRONG_THREAD) or runs on
// the wrong thread. Here the pointer is handed over through the global interface table:
// the calling thread joins the multithreaded apartment and takes a proxy that COM sends to
// the giver's thread (an STA caller gets its callbacks on its own thread, inside its
// message loop) or the object itself when both share an apartment. Elsewhere there are no
// apartments and the calls go straight to the object, as given.
//
// Threads: a DispatchHandoff is given and revoked by one thread at a time (its owner's
// open and close); Take may run on any thread meanwhile. ApartmentEvent's Set and Wait may
// run on any threads. CallerApartment belongs to the thread that made it.
#pragma once

#include <memory>

#include "platform/automation.h"
#include "platform/sync.h"

namespace thermpos::platform::com {

// An IDispatch given on one thread and called from others.
class DispatchHandoff {
  public:
    DispatchHandoff();
    ~DispatchHandoff();
    DispatchHandoff(const DispatchHandoff&) = delete;
    DispatchHandoff& operator=(const DispatchHandoff&) = delete;

    // On the giving thread. Windows: registers the object (the table holds a reference
    // until Revoke); elsewhere, and from a Windows thread that never initialised COM, the
    // object is borrowed and its giver keeps it alive until Revoke. Null revokes. S_OK, or
    // the table's failure (then nothing is held).
    HRESULT Give(IDispatch* target);
    void Revoke();
    bool Empty() const;

    // The object as this thread may call it, for the length of one call or a few.
    class Use {
      public:
        Use() = default;
        ~Use();
        Use(Use&& other) noexcept;
        Use& operator=(Use&&) = delete;
        Use(const Use&) = delete;
        IDispatch* Get() const { return target_; }
        explicit operator bool() const { return target_ != nullptr; }

      private:
        friend class DispatchHandoff;
        IDispatch* target_ = nullptr;
        bool owned_ = false;  // a reference of ours to release (Windows)
    };
    // Null when nothing was given, or when the object can no longer be reached (its
    // apartment ended).
    Use Take() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// For the life of a thread of ours that calls application objects: on Windows the thread
// is in the multithreaded apartment (CoInitializeEx) from construction to destruction.
class CallerApartment {
  public:
    CallerApartment();
    ~CallerApartment();
    CallerApartment(const CallerApartment&) = delete;
    CallerApartment& operator=(const CallerApartment&) = delete;

  private:
    [[maybe_unused]] bool joined_ = false;  // set on Windows only
};

// A manual-reset event whose waiter lets calls into its own apartment through: a thread of
// an STA waiting for one of our threads to end keeps dispatching the calls that thread is
// making into it (CoWaitForMultipleHandles), instead of both waiting for ever. Elsewhere,
// and on other threads, a plain wait.
class ApartmentEvent {
  public:
    ApartmentEvent();
    ~ApartmentEvent();
    ApartmentEvent(const ApartmentEvent&) = delete;
    ApartmentEvent& operator=(const ApartmentEvent&) = delete;
    void Set();
    void Reset();
    // WAIT_OBJECT_0 when set, WAIT_TIMEOUT when the limit passed first.
    DWORD Wait(DWORD timeoutMs = INFINITE);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// For an object of ours that is safe on any thread and whose callers on our own threads
// must reach it directly, not through its creator's message loop (the control objects'
// callback object, whose events queue for the application themselves): the free-threaded
// marshaler, aggregated. Elsewhere nothing.
class FreeThreadedMarshaler {
  public:
    explicit FreeThreadedMarshaler(IUnknown* outer);
    ~FreeThreadedMarshaler();
    FreeThreadedMarshaler(const FreeThreadedMarshaler&) = delete;
    FreeThreadedMarshaler& operator=(const FreeThreadedMarshaler&) = delete;
    // For the outer object's QueryInterface: the marshaler's interface without a
    // reference (the caller AddRefs the outer object), or null for other interfaces.
    void* Query(REFIID riid);

  private:
    [[maybe_unused]] IUnknown* inner_ = nullptr;  // set on Windows only
};

}  // namespace thermpos::platform::com
