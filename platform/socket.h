// Stream sockets for a program's own servers and clients: moving bytes on a connected
// socket without blocking, and local (UNIX) stream sockets by path. The TCP listener of a
// network printer is in netport.h.
//
// Descriptors are plain ints owned by the caller, who closes them with CloseDescriptor
// (descriptor.h). Nothing here raises SIGPIPE.
//
// Thread safety: the functions touch only their arguments; one descriptor is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace thermpos::platform {

enum class StreamResult {
    Done,        // at least one byte moved
    WouldBlock,  // nothing possible now (or interrupted); wait and try again
    Closed,      // the peer closed or reset the connection, or the socket failed
};

// Moves what can move at once on a non-blocking socket; *count is the number of bytes
// moved (0 unless Done). A receive of 0 bytes from a peer that closed is Closed.
[[nodiscard]] StreamResult Receive(int fd, void* buffer, std::size_t size, std::size_t* count);
[[nodiscard]] StreamResult Send(int fd, const void* data, std::size_t size, std::size_t* count);
// Sends all of data on a non-blocking socket, waiting at most stallMs each time the peer
// takes nothing. False when the peer went away or stalled that long; what was sent stays
// sent.
bool SendAll(int fd, std::string_view data, int stallMs);

// Accepts one waiting connection as a non-blocking, close-on-exec socket; -1 when none is
// waiting.
[[nodiscard]] int AcceptConnection(int listenFd);

// A non-blocking, close-on-exec local stream socket listening at path, which must not
// exist (a file there is an error). The socket file gets `mode` (for example 0600, only
// its user and root may connect), whatever the umask; it never has more. False with
// *error ("PATH: reason").
[[nodiscard]] bool ListenLocal(const std::string& path, int backlog, int mode, int* fd,
                               std::string* error);
// A blocking, close-on-exec connection to the local stream socket at path; -1 with errno
// set (ENAMETOOLONG for a path no socket address holds).
[[nodiscard]] int ConnectLocal(const std::string& path);

}  // namespace thermpos::platform
