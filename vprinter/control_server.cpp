// The virtual printer program's control socket and the signals that end it.
//
// Threads: none of its own; everything runs on the thread calling Serve (see
// control_server.h).
#include "vprinter/control_server.h"

#include <filesystem>
#include <system_error>

#include "platform/descriptor.h"
#include "platform/poll.h"
#include "platform/socket.h"

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxLine = 4096;
// A client that does not read its answers waits for nobody else for long.
constexpr int kSendStallMs = 1000;

void SendAll(int fd, const std::string& text) {
    (void)platform::SendAll(fd, text, kSendStallMs);
}

}  // namespace

ControlServer::~ControlServer() {
    Close();
}

bool ControlServer::TakeOverSignals(std::string* error) {
    return signals_.TakeOver(error);
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(path, ec);
    if (!ec && fs::exists(existing)) {
        if (existing.type() != fs::file_type::socket) {
            *error = path + " exists and is not a socket";
            return false;
        }
        fs::remove(path, ec);
    }
    if (!platform::ListenLocal(path, 8, &listenFd_, error))
        return false;
    path_ = path;
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
        SendAll(client.fd, answer(line, &stop) + "\n");
        if (stop) {
            *quit = true;
            return false;
        }
    }
    if (client.input.size() > kMaxLine) {
        SendAll(client.fd, "error line too long\n");
        return false;
    }
    return true;
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
            poll.Add(c.fd, true, false);
        if (poll.Wait(-1, error) < 0)
            return false;
        if (poll.Readable(signalled))
            return true;  // SIGINT, SIGTERM or SIGHUP: shut down cleanly
        // Clients first, by their slots; connections accepted below join the next round.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            bool keep = true;
            if (!quit && (poll.Readable(firstClient + i) || poll.Broken(firstClient + i)))
                keep = ServeClient(answer, clients_[i], &quit);
            if (keep)
                kept.push_back(std::move(clients_[i]));
            else
                platform::CloseDescriptor(clients_[i].fd);
        }
        clients_ = std::move(kept);
        if (!quit && poll.Readable(listener)) {
            int fd = platform::AcceptConnection(listenFd_);
            if (fd >= 0) {
                if (clients_.size() >= kMaxClients) {
                    SendAll(fd, "error too many control connections\n");
                    platform::CloseDescriptor(fd);
                } else {
                    clients_.push_back({fd, {}});
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
