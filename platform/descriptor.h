// File descriptors: the small pieces every file of platform/ that holds one needs.
//
// Thread safety: the functions touch only their arguments (and errno).
#pragma once

#include <string>

namespace thermpos::platform {

// Closes fd when it is open and sets it to -1, so that a second call does nothing.
void CloseDescriptor(int& fd);

// "what: <the system's text for errno>", for error messages.
std::string ErrnoMessage(const std::string& what);

}  // namespace thermpos::platform
