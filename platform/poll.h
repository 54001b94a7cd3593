// Waiting on several descriptors at once, for a loop that serves them all from one thread.
//
// A PollSet is filled with Add (each call gives the next slot number, from 0), waited on
// with Wait, and read back by slot. A slot whose descriptor is negative never becomes
// ready, so a loop may keep its slots in fixed places and leave some unused.
//
// Thread safety: none inside; one thread fills, waits on and reads a set.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace thermpos::platform {

class PollSet {
  public:
    using Slot = std::size_t;

    // Empties the set; the next Add is slot 0 again.
    void Clear() { entries_.clear(); }
    // Watches fd for input (read) and for room to write (write). A hang-up or an error on
    // the descriptor is reported whatever was asked for.
    Slot Add(int fd, bool read, bool write);

    // Blocks until a slot is ready or timeoutMs passed (-1: no limit; 0: only looks).
    // Returns the number of ready slots, 0 when the time passed or a signal interrupted the
    // wait, and -1 with *error when the wait itself failed (a descriptor not open).
    [[nodiscard]] int Wait(int timeoutMs, std::string* error = nullptr);

    // What the last Wait found on a slot; false for a slot that was not added.
    bool Readable(Slot slot) const;  // input waiting (or the end of it)
    bool Writable(Slot slot) const;
    bool Broken(Slot slot) const;  // hung up or failed

  private:
    struct Entry {
        int fd;
        short events;
        short revents;
    };
    std::vector<Entry> entries_;
};

}  // namespace thermpos::platform
