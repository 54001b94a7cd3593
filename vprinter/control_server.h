// The virtual printer program's operator side: the control socket, and the signals that
// end it. The printer itself is VirtualPrinter (virtual_printer.h).
//
// Threads: a ControlServer runs on the thread that calls Serve (the program's main
// thread) and starts none. TakeOverSignals must run before any other thread starts, so
// that every thread inherits the blocked signals and only Serve sees them.
// No locks.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/signals.h"

namespace thermpos::vprinter {

class ControlServer {
  public:
    // Answers one command line; sets *quit to end serving after the answer is sent.
    using Answer = std::function<std::string(std::string_view line, bool* quit)>;

    ControlServer() = default;
    ~ControlServer();  // Close()
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // SIGINT, SIGTERM and SIGHUP end Serve instead of the process; a client that went
    // away does not kill it with SIGPIPE. False with *error when that cannot be set up.
    [[nodiscard]] bool TakeOverSignals(std::string* error);
    // Listens for clients on a UNIX stream socket at `path`, mode 0600 whatever the
    // umask, in a folder of this user or root that others may write in only with the
    // sticky bit (refused otherwise). A socket left behind by an earlier run is replaced;
    // any other file there is not. False with *error.
    [[nodiscard]] bool Listen(const std::string& path, std::string* error);
    // Connects to a client listening at `address` ("127.0.0.1:PORT", an address literal)
    // and serves it as any other: the program that started this one (a test under Wine,
    // which can reach neither its pipes nor a local socket). When that connection ends,
    // its owner gone, Serve ends as "quit" does. False with *error.
    [[nodiscard]] bool ConnectOwner(const std::string& address, std::string* error);
    // Answers each complete line of each client (at most 16 at a time, lines of at most
    // 4096 bytes) until a signal taken over arrives or an answer sets quit. Answers are
    // sent as each client takes them, never waited for: a client whose unread answers
    // pass 64 KiB is disconnected, and the others are served meanwhile. Returns false
    // with *error if waiting fails.
    [[nodiscard]] bool Serve(const Answer& answer, std::string* error);
    // Disconnects the clients, stops listening and removes the socket file.
    void Close();

  private:
    struct Client {
        int fd = -1;
        std::string input;
        std::string output;  // answers not yet taken by the client
        bool owner = false;  // its end is the server's (ConnectOwner)
    };
    // Reads what a client sent and answers each complete line. False: close the client.
    bool ServeClient(const Answer& answer, Client& client, bool* quit);
    // Adds an answer to the client's output; false when that would pass the bound.
    static bool Queue(Client& client, const std::string& text);
    // Sends what the client takes now; false when it went away.
    static bool Flush(Client& client);

    platform::ShutdownSignals signals_;
    int listenFd_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

// Connects to a control socket, as an operator's tool does. Returns the connected
// descriptor (blocking, close it with close()), or -1 with errno set.
[[nodiscard]] int ConnectControl(const std::string& path);

}  // namespace thermpos::vprinter
