// A loopback TCP line between this process and a helper program it starts: this process
// listens on 127.0.0.1, the program connects to the port, and both exchange lines. The
// tests' virtual printer is steered this way from Windows programs under Wine, which can
// hand a Linux program neither pipes nor a local socket.
//
// Thread safety: one line is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace thermpos::platform {

class LoopbackLine {
  public:
    LoopbackLine() = default;
    ~LoopbackLine();  // Close()
    LoopbackLine(const LoopbackLine&) = delete;
    LoopbackLine& operator=(const LoopbackLine&) = delete;

    // Listens on 127.0.0.1 on a free port. False with *error.
    [[nodiscard]] bool Listen(std::string* error);
    // The port listened on; 0 before Listen.
    int Port() const { return port_; }
    // Takes the program's connection, waiting at most `limit`, and stops listening.
    // False with *error when none came.
    [[nodiscard]] bool Accept(std::chrono::milliseconds limit, std::string* error);
    // Sends all of data; false once the program went away or took nothing for `limit`.
    bool Send(std::string_view data, std::chrono::milliseconds limit);
    // Reads one line (without its end), waiting at most `limit` in all; false when the
    // connection ended or the time passed first. Lines longer than 64 KiB end it too.
    bool ReadLine(std::string* line, std::chrono::milliseconds limit);
    // Closes the connection (the program's cue to end) and the listener.
    void Close();

  private:
    // Socket handles of the system; -1 when not open.
    std::intptr_t listener_ = -1;
    std::intptr_t connection_ = -1;
    int port_ = 0;
    std::string pending_;  // read past the last line
};

}  // namespace thermpos::platform
