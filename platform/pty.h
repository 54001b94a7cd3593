// Pseudo-terminals: the far end of a printer port for the virtual printer and the tests.
//
// A PseudoTerminal holds the master side of a pair; hosts open SlavePath() like a serial
// port. Both sides start raw (no echo, no line-end or flow translation), so printer bytes
// pass unchanged. Closing the master is the hang-up: the host's reads and writes on the
// slave then fail, as with a printer that was unplugged; Open again makes a new pair (a
// replug), usually at a new slave path, which a link made with PointLink can follow.
//
// Master reads and writes never block: Read and Write take what is possible at once,
// Receive and SendAll wait with a time limit.
//
// Thread safety: none inside; one owner calls everything. MasterFd() may be polled by the
// owner's thread while no other thread closes or reopens the terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct termios;

namespace thermpos::platform::pty {

enum class IoResult {
    Done,        // at least one byte moved
    WouldBlock,  // nothing possible now (or interrupted); poll and try again
    HungUp,      // the pair is gone: no slave side open any more, or the master failed
};

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal();  // Close()
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Makes a new raw pair, closing the one held before. With keepSlaveOpen the slave
    // stays open here too, so the master never reads a hang-up when a host closes its
    // side (a printer stays plugged in between two jobs). False with *error on failure;
    // nothing is held then.
    [[nodiscard]] bool Open(std::string* error, bool keepSlaveOpen = false);
    // The hang-up: closes the master (and the slave held here). Safe to call twice.
    void Close();
    // Stops the hosts' output into the pair (their writes wait, as behind a line held
    // by flow control), so that what they wrote so far can be read to the end before
    // Close. Needs the slave held here (keepSlaveOpen); false otherwise.
    bool StopHostOutput();
    // Lets the hosts' output flow again after StopHostOutput.
    bool ResumeHostOutput();
    bool IsOpen() const { return master_ >= 0; }
    // The master's descriptor for poll; -1 while closed.
    int MasterFd() const { return master_; }
    // The slave's device path ("/dev/pts/N"); it stays the last path after Close.
    const std::string& SlavePath() const { return slavePath_; }

    // Moves what can move at once; *count is the number of bytes moved (0 unless Done).
    [[nodiscard]] IoResult Read(void* buffer, std::size_t size, std::size_t* count);
    [[nodiscard]] IoResult Write(const void* data, std::size_t size, std::size_t* count);
    // Reads until `count` bytes came, the pair hung up, or `limitMs` passed without data.
    std::string Receive(std::size_t count, int limitMs);
    // Writes everything, waiting at most `limitMs` each time the pty is full.
    [[nodiscard]] bool SendAll(std::string_view data, int limitMs = 5000);

    // The line settings of the pair (one set, shared by both sides).
    [[nodiscard]] bool GetLineSettings(termios* settings) const;
    [[nodiscard]] bool SetLineSettings(const termios& settings);

  private:
    int master_ = -1;
    int slave_ = -1;  // held only with keepSlaveOpen
    std::string slavePath_;
};

// Opens a terminal device for reading and writing, blocking and raw, as a host program
// opens its printer port. Returns the descriptor, or -1 with errno set.
[[nodiscard]] int OpenRawTerminal(const std::string& path);

// Makes `link` a symlink to `target`, replacing an older symlink there without a moment in
// which the path is missing (a host may reopen it during a replug). Refuses to replace
// anything that is not a symlink. False with *error on failure.
[[nodiscard]] bool PointLink(const std::string& link, const std::string& target,
                             std::string* error);
// Removes `link` when it is a symlink to `target`, so a link someone else has pointed
// elsewhere since stays.
void RemoveLinkTo(const std::string& link, const std::string& target);

}  // namespace thermpos::platform::pty
