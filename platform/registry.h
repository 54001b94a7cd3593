// Registry store: the local-machine hive kept in one `.reg` text file.
//
// The calls mirror the Win32 registry API (names, parameters, results) so that code
// written for the Windows registry reads the same here. Differences worth knowing:
//  - Only HKEY_LOCAL_MACHINE exists; HKEY_CLASSES_ROOT stands for its SOFTWARE\Classes
//    (where server registration lives); other root handles give ERROR_INVALID_HANDLE.
//  - The hive file is $THERMPOS_REGISTRY, else /etc/thermpos/registry.reg. A missing
//    file is an empty hive. Every change is saved at once, atomically (temporary file,
//    fsync, rename) under an exclusive flock on "<file>.lock", after re-reading the file
//    so that concurrent writers in other processes lose nothing.
//  - Opening a key re-reads the file when it changed, so another process's changes are
//    seen at the next open.
//  - Write access (KEY_WRITE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ALL_ACCESS) needs a
//    writable hive file (or folder, when the file does not exist yet); otherwise
//    ERROR_ACCESS_DENIED.
//  - A hive file, lock file or folder that another user owns or may write is refused
//    with ERROR_ACCESS_DENIED and LastError() naming the file, its owner and mode (the
//    README's Permissions section; platform/file_trust.h). A change waits at most
//    THERMPOS_REGISTRY_WAIT_MS (10 s) for another process's, then fails with ERROR_BUSY.
//  - A file that does not parse is never overwritten: opens and saves fail with
//    ERROR_BADDB and thermpos::platform::registry::LastError() names file and line.
//
// All functions are thread-safe and return Win32 error numbers (platform/win32.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/reg_file_form.h"
#include "platform/win32.h"

#ifdef _WIN32
// The real registry API of advapi32 (winreg.h through windows.h).
#else
struct RegistryKeyObject;
using HKEY = RegistryKeyObject*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Key paths use backslashes ("SOFTWARE\\ThermPOS\\Ports"); a null or empty subKey
// opens the key itself again. Names compare without regard to case and keep the case
// they were created with.
[[nodiscard]] LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM sam,
                                 PHKEY result);
[[nodiscard]] LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* className,
                                   DWORD options, REGSAM sam, void* security, PHKEY result,
                                   DWORD* disposition);
// The one call whose result may be dropped: a key that cannot be closed leaves nothing
// for the caller to do.
LONG RegCloseKey(HKEY key);

// Size first, then data: with data null, *cbData receives the size; with a buffer too
// small, ERROR_MORE_DATA and *cbData the size needed. REG_SZ sizes include the zero.
// A null or empty name is the default value.
[[nodiscard]] LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                    BYTE* data, DWORD* cbData);
// REG_SZ and REG_EXPAND_SZ data are stored with a terminating zero even when cbData
// leaves it out, so readers that trust the stored size always find one.
[[nodiscard]] LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD cbData);
[[nodiscard]] LONG RegDeleteValueA(HKEY key, const char* valueName);
// Deletes a key that has no subkeys.
[[nodiscard]] LONG RegDeleteKeyA(HKEY key, const char* subKey);
// Deletes subKey and everything below it; a null subKey deletes the key's contents.
[[nodiscard]] LONG RegDeleteTreeA(HKEY key, const char* subKey);

// Subkeys in the order they were created; ERROR_NO_MORE_ITEMS past the end.
// cchName counts characters without the zero on return, with it on entry.
[[nodiscard]] LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cchName, DWORD* reserved,
                                 char* className, DWORD* cchClassName, void* lastWriteTime);
[[nodiscard]] LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName,
                                 DWORD* reserved, DWORD* type, BYTE* data, DWORD* cbData);
[[nodiscard]] LONG RegFlushKey(HKEY key);
#endif  // _WIN32

namespace thermpos::platform::registry {

// The hive file in use ($THERMPOS_REGISTRY or the default).
std::string HivePath();

// Number of key handles currently open in this process (for leak checks in tests).
std::size_t OpenHandleCount();

// Text of the last parse or save failure in this thread ("FILE:LINE: what"), or empty.
std::string LastError();

// Merges a regedit file (UTF-16LE with BOM or UTF-8; "Windows Registry Editor
// Version 5.00" or "REGEDIT4"), honouring [-KEY] and "Name"=- deletions. All or
// nothing: on a parse error nothing changes and *error names file and line.
[[nodiscard]] LONG ImportFile(const std::string& path, std::string* error);

// Writes keyPath ("HKEY_LOCAL_MACHINE\\SOFTWARE\\...") and its subtree as a version 5
// regedit file, by default in the form Windows' regedit reads (reg_file_form.h), to a
// regular file (created when missing) or, for path "-", to standard output. Anything else
// (a pipe, a device, a folder) is refused with ERROR_ACCESS_DENIED before it could block.
[[nodiscard]] LONG ExportFile(const std::string& keyPath, const std::string& path,
                              std::string* error, RegFileForm form = RegFileForm::kWindows);

}  // namespace thermpos::platform::registry
