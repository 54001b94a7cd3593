// What the loopback line's files share (loopback.cpp: sending and reading lines;
// loopback_posix.cpp and loopback_win32.cpp: the system's sockets). Private to them.
//
// Sockets are the system's handles in a std::intptr_t, -1 when not open. Threads: none;
// one line is used by one thread at a time (loopback.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace thermpos::platform::loopback {

using Clock = std::chrono::steady_clock;

// What SendSome and ReceiveSome give when the socket would block or the call was
// interrupted: wait and try again. Otherwise they give the bytes moved (> 0), or 0 when
// the connection ended or failed.
inline constexpr long kTryAgain = -1;

// ---- what each system's file gives ----

// Waits until s is readable (read) or writable, or the deadline passes; false then, or
// when the wait failed.
bool WaitReady(std::intptr_t s, bool read, Clock::time_point deadline);
// Listens on 127.0.0.1 on a free port: *s and *port, or false with *error.
bool ListenOnLoopback(std::intptr_t* s, int* port, std::string* error);
// Takes the connection waiting on the listener (WaitReady said there is one) as a
// non-blocking socket in *s, or false with *error.
bool AcceptOne(std::intptr_t listener, std::intptr_t* s, std::string* error);
// One send or receive without waiting; see kTryAgain.
long SendSome(std::intptr_t s, const char* data, std::size_t size);
long ReceiveSome(std::intptr_t s, char* buffer, std::size_t size);
// Closes s when open and sets it to -1.
void CloseSocket(std::intptr_t& s);

}  // namespace thermpos::platform::loopback
