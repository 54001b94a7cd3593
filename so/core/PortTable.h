// The process-wide table of open ports through which every device reaches its port.
//
// A printer and the drawers hung on it share one physical port, so the port is opened
// once and each enabled device holds a PortBinding to it. All port I/O of a device goes
// through the operations below, which serialise it with the port's I/O lock. Each entry
// has its port's status monitor (StatusMonitor.h); the table reaches it only through the
// monitor's own interface.
//
// Locks, in the order they may be taken:
//   1. the calling device's device lock (ServiceDevice.h), held by the caller
//   2. the table lock (CPortManager::tableLock_), held only while the table is searched
//      or changed; never held while calling the monitor or doing I/O
//   3. the locks of a port's monitor (StatusMonitor.h: thread lock, then monitor lock)
//   4. a port's I/O lock (CPortIo::ioLock)
// Entries are shared_ptr so an operation can drop the table lock and keep using its entry.
//
// Results: every operation answers an OPOS result code, except the serial settings'
// pass-through (GetPortProperties, SetPortProperties), which answer the port library's
// 1 or 0. The port library's system errors (SystemError, PortLibrary.h) become OPOS results
// in one place, OposResult.
//
// Threads: none of its own; each entry's monitor owns that port's monitor thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread_safety.h"
#include "platform/win32.h"
#include "so/core/MonitorPolicy.h"
#include "so/core/PortIo.h"
#include "so/core/PortLibrary.h"
#include "so/core/StatusMonitor.h"

namespace thermpos::so {

class CStatusInterpreter;

enum PortKind : LONG {
    PortKindSharable = 1,   // drawer: enabled while only open, shares a port with anything
    PortKindExclusive = 2,  // printer: must be claimed; two of them cannot share a port
};

// What an enabled device holds: the port handle, the binding id (unique per port entry)
// and the entry's port name.
struct PortBinding {
    HANDLE handle = INVALID_HANDLE_VALUE;
    LONG id = -1;
    std::string portName;

    // A bad binding has handle 0 or the invalid handle.
    bool IsBad() const { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }
};

class CPortEntry {
  public:
    // monitoredKind: the port's kind as its monitor sees it (ClassifyMonitoredPort).
    CPortEntry(PortLibrary& library, const std::string& portName, const std::string& modelKey,
               LONG kind, MonitoredPort monitoredKind);

    CPortIo io;       // the handle, the I/O lock, the port name and the model key
    const LONG kind;  // the first device's sharing kind

    // Guarded by the table lock (CPortManager::tableLock_), which the analysis cannot
    // name from here.
    LONG lastBindingId = 0;          // ids count up from 1 and are never reused
    std::vector<LONG> liveBindings;  // ids of the bindings not yet released
    LONG exclusiveBinding = -1;      // id of the live exclusive binding, or -1
    bool opening = false;            // being opened by AcquirePort; not yet usable
    bool closing = false;            // its last binding went; being closed by ReleasePort

    // Declared after io, which it uses: it goes (and stops its thread) first.
    CStatusMonitor monitor;
};

class CPortManager {
  public:
    // The one table of the process, alive for the life of the library.
    static CPortManager& Instance();

    CPortManager();  // over LinkPortLibrary()
    // library must outlive the table.
    explicit CPortManager(PortLibrary& library);
    ~CPortManager();
    CPortManager(const CPortManager&) = delete;
    CPortManager& operator=(const CPortManager&) = delete;

    // Results are OPOS result codes.
    //
    // 0; 102 when an exclusive device already holds the port and kind is exclusive;
    // 111 no name, kind 0, or the port cannot be opened. An existing entry is shared when
    // its name equals portName without regard to case and ignoring one trailing colon.
    [[nodiscard]] LONG AcquirePort(const std::string& portName, LONG kind, PortBinding* binding,
                                   const std::string& modelKey) EXCLUDES(tableLock_);
    // 0 (binding's handle becomes invalid); 106 port not in the table; 111 bad binding.
    // Removes the binding's status listeners; the monitor thread ends when no query is
    // left, and the port closes when its last binding is released.
    [[nodiscard]] LONG ReleasePort(PortBinding* binding) EXCLUDES(tableLock_);

    // Registers an interpreter (its command, repeat flag) for the binding's port; the
    // first listener of a port starts its monitor thread, polling every `interval` ms.
    // Interpreters with the same command share one query. profile: the printer's (see
    // MonitorProfile for which device's rules the port), null for a drawer. The
    // interpreter must outlive the binding's ReleasePort. 0; 106 port not in the table;
    // 111 bad or released binding, no interpreter or command, or the thread cannot start.
    [[nodiscard]] LONG AddStatusListener(const PortBinding& binding,
                                         CStatusInterpreter* interpreter, LONG interval,
                                         const MonitorProfile* profile = nullptr);

    // Returns once the bytes have left the host (PMDrainPort), not when the system took
    // them; a drain that fails or times out is the write's failure.
    // 0; 108 system error 21; 112 for 170 or 1460; 107 for 1167; 111 other errors, a bad
    // binding or no data; 106 port not in the table. *written (may be null) gets the count.
    [[nodiscard]] LONG WritePort(const PortBinding& binding, const void* data, LONG length,
                                 LONG* written = nullptr);
    // *length: in the buffer size (non-zero), out the bytes read. 0 (also for system error
    // 234); 111 other errors, bad binding, no buffer or no length; 106 port not in table.
    [[nodiscard]] LONG ReadPort(const PortBinding& binding, void* buffer, LONG* length);

    // Waits, holding no lock, until the port has input or timeoutMs passed; on a port that
    // cannot be waited on (a parallel port) fallbackMs passes instead. For a request whose
    // reply nothing else signals; the caller reads afterwards.
    void WaitForInput(const PortBinding& binding, DWORD timeoutMs, DWORD fallbackMs);

    // Pauses the port's monitor between its cycles until *pause goes out of scope (a
    // request-and-reply exchange must not race the monitor's own reads). 0; 106 port not
    // in the table; 111 bad binding or no pause. The caller must not release the port
    // while it holds the pause.
    [[nodiscard]] LONG PauseMonitor(const PortBinding& binding, CMonitorPause* pause);

    // 0; 111 when the port is not in the table, or refuses the time-outs and its name
    // does not contain "USB".
    [[nodiscard]] LONG SetPortTimeouts(const PortBinding& binding, DWORD readInterval,
                                       DWORD readMultiplier, DWORD readConstant,
                                       DWORD writeMultiplier, DWORD writeConstant);
    // Results of the port library calls (1 success, 0 failure, also for an unknown port).
    [[nodiscard]] int GetPortProperties(const PortBinding& binding, DCB* dcb);
    [[nodiscard]] int SetPortProperties(const PortBinding& binding, const DCB& dcb);

    // Which transfer a system error ended.
    enum class Transfer { Write, Read };
    // The one conversion of a port library system error to an OPOS result. A write's:
    // 21 → 108, 170 and 1460 → 112, 1167 → 107, anything else → 111; 0 stays 0. A read's:
    // 0 and 234 (more data: the buffer is full) → 0, anything else → 111.
    static LONG OposResult(SystemError error, Transfer transfer = Transfer::Write);

    // True when a and b name the same port: equal without regard to case, one trailing
    // colon ignored ("COM1" and "com1:" match, "COM1" and "COM10" do not).
    static bool SamePortName(const std::string& a, const std::string& b);

    // Number of ports open in the table (for tests and diagnostics).
    std::size_t OpenPortCount() const EXCLUDES(tableLock_);
    // The usable entry of that name, or null; for tests and diagnostics.
    std::shared_ptr<CPortEntry> FindEntry(const std::string& portName) const EXCLUDES(tableLock_);

    // True while the port's monitor thread runs (for tests and diagnostics).
    bool MonitorRunning(const std::string& portName) const EXCLUDES(tableLock_);

  private:
    std::shared_ptr<CPortEntry> FindEntryLocked(const std::string& portName) const
        REQUIRES(tableLock_);
    // Gives the entry's next binding id to a new binding.
    void BindLocked(CPortEntry& entry, LONG kind, PortBinding* binding) REQUIRES(tableLock_);

    PortLibrary& library_;
    mutable thermpos::platform::Mutex tableLock_;
    std::vector<std::shared_ptr<CPortEntry>> entries_ GUARDED_BY(tableLock_);
    std::condition_variable tableChanged_;  // an entry finished opening or closing
};

}  // namespace thermpos::so
