// The virtual printer program's control socket and the signals that end it.
//
// Threads: none of its own; everything runs on the thread calling Serve (see
// control_server.h).
#include "vprinter/control_server.h"

#include <filesystem>
#include <system_error>

#include "platform/descriptor.h"
#include "platform/folder.h"
#include "platform/netport.h"
#include "platform/poll.h"
#include "platform/socket.h"

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxLine = 4096;
// Answers waiting for a client that does not read them, at most; past this the client is
// dropped, and nobody else ever waits for it.
constexpr std::size_t kMaxPendingAnswers = 64 * 1024;
// The last answer before the server ends (the "ok" to quit) may wait this long.
constexpr int kFinalAnswerMs = 1000;
// The owner listens before it starts this program: a connection is made at once or not.
constexpr DWORD kOwnerConnectMs = 5000;

}  // namespace

ControlServer::~ControlServer() {
    Close();
}

bool ControlServer::TakeOverSignals(std::string* error) {
    return signals_.TakeOver(error);
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
    namespace fs = std::filesystem;
    // The folder must be one others cannot swap the socket out of: this user's or root's,
    // writable by others only with the sticky bit (as /tmp).
    std::string problem =
        platform::FolderProblem(platform::FolderOf(path), platform::FolderRule::Shared);
    if (!problem.empty()) {
        *error = "control socket " + path + ": " + problem;
        return false;
    }
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(path, ec);
    if (!ec && fs::exists(existing)) {
        if (existing.type() != fs::file_type::socket) {
            *error = path + " exists and is not a socket";
            return false;
        }
        fs::remove(path, ec);
    }
    // Only this user (and root) may connect, whatever the umask.
    if (!platform::ListenLocal(path, 8, 0600, &listenFd_, error))
        return false;
    path_ = path;
    return true;
}

bool ControlServer::ConnectOwner(const std::string& address, std::string* error) {
    platform::netport::Endpoint endpoint;
    int fd = -1;
    if (platform::netport::ParseListenAddress(address, &endpoint) != 0) {
        *error = "bad control address " + address + " (HOST:PORT, HOST an address)";
        return false;
    }
    const LONG rc = platform::netport::Connect(endpoint, kOwnerConnectMs, &fd);
    if (rc != 0) {
        *error = "control connection to " + address + ": error " + std::to_string(rc);
        return false;
    }
    Client owner;
    owner.fd = fd;
    owner.owner = true;
    clients_.push_back(std::move(owner));
    return true;
}

bool ControlServer::Queue(Client& client, const std::string& text) {
    if (client.output.size() + text.size() > kMaxPendingAnswers)
        return false;
    client.output += text;
    return true;
}

bool ControlServer::Flush(Client& client) {
    while (!client.output.empty()) {
        std::size_t sent = 0;
        switch (platform::Send(client.fd, client.output.data(), client.output.size(), &sent)) {
            case platform::StreamResult::Done:
                client.output.erase(0, sent);
                break;
            case platform::StreamResult::WouldBlock:
                return true;  // the rest when it reads
            case platform::StreamResult::Closed:
                return false;
        }
    }
    return true;
}

bool ControlServer::ServeClient(const Answer& answer, Client& client, bool* quit) {
    char buffer[1024];
    std::size_t n = 0;
    switch (platform::Receive(client.fd, buffer, sizeof buffer, &n)) {
        case platform::StreamResult::Done:
            break;
        case platform::StreamResult::WouldBlock:
            return true;
        case platform::StreamResult::Closed:
            return false;
    }
    client.input.append(buffer, n);
    std::size_t newline;
    while ((newline = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, newline);
        client.input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool stop = false;
        const std::string reply = answer(line, &stop) + "\n";
        if (!Queue(client, reply))
            return false;  // it does not read its answers
        if (stop) {
            *quit = true;
            (void)platform::SendAll(client.fd, client.output, kFinalAnswerMs);
            return false;
        }
    }
    if (client.input.size() > kMaxLine) {
        (void)Queue(client, "error line too long\n");
        (void)Flush(client);
        return false;
    }
    return Flush(client);
}

bool ControlServer::Serve(const Answer& answer, std::string* error) {
    bool quit = false;
    platform::PollSet poll;
    while (!quit) {
        poll.Clear();
        const auto signalled = poll.Add(signals_.Fd(), true, false);
        const auto listener = poll.Add(listenFd_, true, false);
        const auto firstClient = listener + 1;
        for (const Client& c : clients_)
            poll.Add(c.fd, true, !c.output.empty());
        if (poll.Wait(-1, error) < 0)
            return false;
        if (poll.Readable(signalled))
            return true;  // SIGINT, SIGTERM or SIGHUP: shut down cleanly
        // Clients first, by their slots; connections accepted below join the next round.
        // No client is waited for: answers go out as each client takes them.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            const auto slot = firstClient + i;
            bool keep = true;
            if (!quit && poll.Writable(slot))
                keep = Flush(clients_[i]);
            if (keep && !quit && (poll.Readable(slot) || poll.Broken(slot)))
                keep = ServeClient(answer, clients_[i], &quit);
            if (keep)
                kept.push_back(std::move(clients_[i]));
            else {
                quit |= clients_[i].owner;  // whoever started this program is gone
                platform::CloseDescriptor(clients_[i].fd);
            }
        }
        clients_ = std::move(kept);
        if (!quit && poll.Readable(listener)) {
            int fd = platform::AcceptConnection(listenFd_);
            if (fd >= 0) {
                if (clients_.size() >= kMaxClients) {
                    // A new connection's buffer is empty: this line fits without a wait.
                    Client refused{fd, {}, "error too many control connections\n"};
                    (void)Flush(refused);
                    platform::CloseDescriptor(fd);
                } else {
                    clients_.push_back({fd, {}, {}});
                }
            }
        }
    }
    return true;
}

void ControlServer::Close() {
    for (Client& c : clients_)
        platform::CloseDescriptor(c.fd);
    clients_.clear();
    if (listenFd_ >= 0) {
        platform::CloseDescriptor(listenFd_);
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
}

int ConnectControl(const std::string& path) {
    return platform::ConnectLocal(path);
}

}  // namespace thermpos::vprinter
