// The process-wide table of open ports through which every device reaches its port.
//
// A printer and the drawers hung on it share one physical port, so the port is opened
// once and each enabled device holds a PortBinding to it. All port I/O of a device goes
// through the operations below, which serialise it with the port's I/O lock.
//
// Locks, in the order they may be taken:
//   1. the calling device's device lock (ServiceDevice.h), held by the caller
//   2. the table lock (CPortManager::tableLock_), held only while the table is searched
//      or changed; never held while waiting for a port's monitor thread or doing I/O
//   3. a port's thread lock (CPortEntry::threadLock): starting and ending its monitor
//      thread, so two devices enabling and disabling at once agree on whether it runs
//   4. a port's monitor lock (CPortEntry::monitorLock)
//   5. a port's I/O lock (CPortEntry::ioLock)
// Entries are shared_ptr so an operation can drop the table lock and keep using its entry.
//
// Threads: one status monitor thread per port (StatusMonitor.cpp), started by the first
// AddStatusListener and ended by the ReleasePort that leaves the port without queries.
// It runs its polling cycle under the monitor lock, each port call under the I/O lock,
// and calls the interpreters with only the monitor lock held.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/win32.h"

struct DCB;
struct COMMTIMEOUTS;
class CStatusInterpreter;

enum PortKind : LONG {
    PortKindSharable = 1,   // drawer: enabled while only open, shares a port with anything
    PortKindExclusive = 2,  // printer: must be claimed; two of them cannot share a port
};

// What an enabled device holds: the port handle, the binding id (the entry's reference
// count at acquisition, unique per port) and the entry's port name.
struct PortBinding {
    HANDLE handle = INVALID_HANDLE_VALUE;
    LONG id = -1;
    std::string portName;

    // A bad binding has handle 0 or the invalid handle.
    bool IsBad() const { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }
};

// The port library calls the manager makes, replaceable so tests can fail I/O on purpose.
// Each has the signature and result convention of the port library export of that name.
struct PortBackend {
    int (*open)(const char* portName, HANDLE* handle, const char* modelKey);
    int (*close)(HANDLE handle);
    int (*write)(HANDLE handle, const void* data, int length, int* written);
    int (*read)(HANDLE handle, void* buffer, int size, int* read);
    int (*setTimeouts)(HANDLE handle, DWORD readInterval, DWORD readMultiplier, DWORD readConstant,
                       DWORD writeMultiplier, DWORD writeConstant);
    int (*getProperties)(HANDLE handle, DCB* dcb);
    int (*setProperties)(HANDLE handle, const DCB* dcb);
    // Null in backends that cannot report them; the monitor then restores the device
    // core's own time-outs after its immediate reads.
    int (*getTimeouts)(HANDLE handle, COMMTIMEOUTS* timeouts) = nullptr;
};

// One distinct status request on a port and the devices listening to its replies.
struct CStatusQuery {
    std::string command;                         // written to request status
    std::string reply;                           // bytes gathered since the last dispatch
    std::vector<CStatusInterpreter*> listeners;  // in registration order, not owned
    LONG repeatFlag = 1;                         // 1: not written again while a reply is awaited
    bool awaitingReply = false;
    LONG resend = 0;  // what the listeners reported at the last dispatch
};

// The port library's own calls.
const PortBackend& LinkPortBackend();

class CPortEntry {
  public:
    std::mutex ioLock;       // around every read and write on the port
    std::mutex monitorLock;  // the monitor's polling cycle; SuspendMonitor/ResumeMonitor

    // Fixed at creation, read without a lock.
    std::string portName;  // the first device's port name; the lookup key
    std::string modelKey;  // the first device's PhysicalDeviceID
    LONG kind = 0;         // the first device's sharing kind

    // Guarded by the table lock.
    HANDLE handle = INVALID_HANDLE_VALUE;
    LONG referenceCount = 0;         // numbers the bindings; never decremented
    std::vector<LONG> liveBindings;  // ids of the bindings not yet released
    LONG exclusiveBinding = -1;      // id of the live exclusive binding, or -1
    bool opening = false;            // being opened by AcquirePort; not yet usable
    bool closing = false;            // its last binding went; being closed by ReleasePort

    // Status monitor. The thread and the events belong to whoever holds threadLock;
    // the queries to whoever holds monitorLock. pollInterval is set before the thread
    // starts and fixed while it runs.
    std::mutex threadLock;
    std::thread monitorThread;
    thermpos::ManualResetEvent stopEvent;
    thermpos::ManualResetEvent exitEvent;
    DWORD pollInterval = 5;  // milliseconds between monitor cycles
    std::vector<std::unique_ptr<CStatusQuery>> queries;
};

class CPortManager {
  public:
    // The one table of the process, alive for the life of the library.
    static CPortManager& Instance();

    CPortManager();
    explicit CPortManager(const PortBackend& backend);
    ~CPortManager();
    CPortManager(const CPortManager&) = delete;
    CPortManager& operator=(const CPortManager&) = delete;

    // Results are OPOS result codes.
    //
    // 0; 102 when an exclusive device already holds the port and kind is exclusive;
    // 111 no name, kind 0, or the port cannot be opened. An existing entry is shared when
    // its name equals portName without regard to case and ignoring one trailing colon.
    [[nodiscard]] LONG AcquirePort(const std::string& portName, LONG kind, PortBinding* binding,
                                   const std::string& modelKey);
    // 0 (binding's handle becomes invalid); 106 port not in the table; 111 bad binding.
    // Removes the binding's status listeners; the monitor thread ends when no query is
    // left, and the port closes when its last binding is released.
    LONG ReleasePort(PortBinding* binding);

    // Registers an interpreter (its command, repeat flag) for the binding's port; the
    // first listener of a port starts its monitor thread, polling every `interval` ms.
    // Interpreters with the same command share one query. The interpreter must outlive
    // the binding's ReleasePort. 0; 106 port not in the table; 111 bad binding, no
    // interpreter or command, or the thread cannot start.
    [[nodiscard]] LONG AddStatusListener(const PortBinding& binding,
                                         CStatusInterpreter* interpreter, LONG interval);

    // 0; 108 system error 21; 112 for 170 or 1460; 107 for 1167; 111 other errors, a bad
    // binding or no data; 106 port not in the table. *written (may be null) gets the count.
    [[nodiscard]] LONG WritePort(const PortBinding& binding, const void* data, LONG length,
                                 LONG* written = nullptr);
    // *length: in the buffer size (non-zero), out the bytes read. 0 (also for system error
    // 234); 111 other errors, bad binding, no buffer or no length; 106 port not in table.
    [[nodiscard]] LONG ReadPort(const PortBinding& binding, void* buffer, LONG* length);

    // Takes the port's monitor lock (a request-and-reply exchange must not race the
    // monitor's own reads); ResumeMonitor releases it, on the same thread. 0; 106; 111.
    [[nodiscard]] LONG SuspendMonitor(const PortBinding& binding);
    LONG ResumeMonitor(const PortBinding& binding);

    // 0; 111 when the port is not in the table, or refuses the time-outs and its name
    // does not contain "USB".
    [[nodiscard]] LONG SetPortTimeouts(const PortBinding& binding, DWORD readInterval,
                                       DWORD readMultiplier, DWORD readConstant,
                                       DWORD writeMultiplier, DWORD writeConstant);
    // Results of the port library calls (1 success, 0 failure, also for an unknown port).
    int GetPortProperties(const PortBinding& binding, DCB* dcb);
    int SetPortProperties(const PortBinding& binding, const DCB& dcb);

    // Port library system error to OPOS result: 21 → 108, 170 and 1460 → 112,
    // 1167 → 107, anything else → 111; 0 stays 0.
    static LONG MapSystemError(LONG systemError);

    // True when a and b name the same port: equal without regard to case, one trailing
    // colon ignored ("COM1" and "com1:" match, "COM1" and "COM10" do not).
    static bool SamePortName(const std::string& a, const std::string& b);

    // Number of ports open in the table (for tests and diagnostics).
    std::size_t OpenPortCount() const;
    // The entry a binding refers to, or null; for the status monitor and tests.
    std::shared_ptr<CPortEntry> FindEntry(const std::string& portName) const;

    // True while the port's monitor thread runs (for tests and diagnostics).
    bool MonitorRunning(const std::string& portName) const;

  private:
    std::shared_ptr<CPortEntry> FindEntryLocked(const std::string& portName) const;
    // The monitor thread of one entry (StatusMonitor.cpp).
    void MonitorMain(CPortEntry* entry);
    // Ends the entry's monitor thread, if any; the caller holds the entry's threadLock.
    static void StopMonitorLocked(CPortEntry* entry);

    PortBackend backend_;
    mutable std::mutex tableLock_;
    std::vector<std::shared_ptr<CPortEntry>> entries_;  // guarded by tableLock_
    std::condition_variable tableChanged_;              // an entry finished opening
};
