// Registry store over one `.reg` file (see registry.h for the contract).
//
// The key and value calls and import/export; the tree, the hive file and the locks they
// take are registry_hive.h's.
//
// Threads: none started here. Any thread may call in.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/reg_file_form.h"
#include "platform/reg_limits.h"
#include "platform/reg_text.h"
#include "platform/registry_hive.h"

using thermpos::platform::registry::kMaxKeyDepth;
using thermpos::platform::registry::kMaxValueSize;
using thermpos::platform::registry::detail::Node;
using thermpos::platform::registry::detail::Value;
namespace detail = thermpos::platform::registry::detail;
using namespace thermpos::platform::registry::hive;

namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x00010000 /*DELETE*/ |
                                0x00040000 /*WRITE_DAC*/ | 0x00080000 /*WRITE_OWNER*/;

// The path and rights a handle stands for.
LONG ResolveLocked(HKEY key, std::vector<std::string>* path, REGSAM* sam) {
    if (key == HKEY_LOCAL_MACHINE) {
        path->clear();
        *sam = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (key == HKEY_CLASSES_ROOT) {
        *path = {"SOFTWARE", "Classes"};
        *sam = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (!key || !g_store.handles.count(key))
        return ERROR_INVALID_HANDLE;
    *path = key->path;
    *sam = key->sam;
    return ERROR_SUCCESS;
}

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT;
}

// A child of a node of g_store.root (or of the tree a change is being applied to).
Node* ChildLocked(Node* parent, std::string_view name) {
    return g_store.mutating ? parent->FindChild(name) : g_store.index.Child(parent, name);
}

Node* FindLocked(Node* root, const std::vector<std::string>& path) {
    Node* node = root;
    for (const auto& name : path) {
        node = ChildLocked(node, name);
        if (!node)
            return nullptr;
    }
    return node;
}

// The node a handle refers to: ERROR_KEY_DELETED once its key is gone (a predefined
// root's missing subtree reads as "not found" instead).
LONG HandleNodeLocked(HKEY key, Node* root, Node** node, REGSAM* sam) {
    std::vector<std::string> path;
    LONG r = ResolveLocked(key, &path, sam);
    if (r != ERROR_SUCCESS)
        return r;
    *node = FindLocked(root, path);
    if (!*node)
        return IsPredefined(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LONG SubPath(HKEY key, const char* subKey, std::vector<std::string>* full, REGSAM* sam) {
    LONG r = ResolveLocked(key, full, sam);
    if (r != ERROR_SUCCESS)
        return r;
    std::vector<std::string> names;
    if (subKey && !detail::SplitPath(subKey, &names))
        return ERROR_INVALID_PARAMETER;
    for (const auto& name : names) {
        if (!thermpos::platform::registry::IsValidKeyName(name))
            return ERROR_INVALID_PARAMETER;
    }
    full->insert(full->end(), names.begin(), names.end());
    if (full->size() > kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

HKEY NewHandleLocked(const std::vector<std::string>& path, REGSAM sam) {
    auto handle = std::make_unique<RegistryKeyObject>();
    // Keep the stored spelling so the handle keeps working whatever case the caller used.
    Node* node = g_store.root.get();
    for (const auto& name : path) {
        node = node ? ChildLocked(node, name) : nullptr;
        handle->path.push_back(node ? node->name : name);
    }
    handle->sam = sam;
    HKEY raw = handle.release();
    g_store.handles.insert(raw);
    return raw;
}

// The full path of `subKey` below `key` on a freshly read tree; the key itself must still
// exist, the subkey need not.
LONG OpenSubPathLocked(HKEY key, const char* subKey, std::vector<std::string>* full) {
    REGSAM parentSam;
    LONG r = SubPath(key, subKey, full, &parentSam);
    if (r != ERROR_SUCCESS)
        return r;
    r = LoadLocked();
    if (r != ERROR_SUCCESS)
        return r;
    if (!IsPredefined(key) && !FindLocked(g_store.root.get(), key->path))
        return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// The node a reading call works on. An opened handle's tree is already in memory; a
// predefined root may be the first use of the hive, so that reads it.
LONG ReadNodeLocked(HKEY key, Node** node) {
    if (IsPredefined(key)) {
        const LONG r = LoadLocked();
        if (r != ERROR_SUCCESS)
            return r;
    }
    REGSAM sam;
    return HandleNodeLocked(key, g_store.root.get(), node, &sam);
}

LONG CheckSetValueLocked(HKEY key) {
    std::vector<std::string> path;
    REGSAM sam;
    const LONG r = ResolveLocked(key, &path, &sam);
    if (r != ERROR_SUCCESS)
        return r;
    return (sam & KEY_SET_VALUE) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Callers have checked that a `data` buffer holds the whole value.
void CopyValueOut(const Value& v, DWORD* type, BYTE* data, DWORD* cbData) {
    const DWORD size = static_cast<DWORD>(v.data.size());
    if (type)
        *type = v.type;
    if (data && size)
        std::memcpy(data, v.data.data(), size);
    if (cbData)
        *cbData = size;
}

const char* ValueNameOf(const char* name) {
    return name ? name : "";
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool ParseRootName(std::string_view root, std::vector<std::string>* path) {
    if (thermpos::platform::EqualNoCase(root, "HKEY_LOCAL_MACHINE") ||
        thermpos::platform::EqualNoCase(root, "HKLM")) {
        path->clear();
        return true;
    }
    if (thermpos::platform::EqualNoCase(root, "HKEY_CLASSES_ROOT") ||
        thermpos::platform::EqualNoCase(root, "HKCR")) {
        *path = {"SOFTWARE", "Classes"};
        return true;
    }
    return false;
}

}  // namespace

namespace thermpos::platform::registry {

std::string HivePath() {
    const char* env = std::getenv("THERMPOS_REGISTRY");
    return (env && *env) ? std::string(env) : std::string("/etc/thermpos/registry.reg");
}

std::size_t OpenHandleCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_store.handles.size();
}

std::string LastError() {
    return t_lastError;
}

LONG ImportFile(const std::string& path, std::string* error) {
    std::string bytes;
    std::string message;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = ReadWholeFile(path, &bytes, &message);
    if (r == ERROR_FILE_NOT_FOUND)
        message = path + ": no such file";
    std::vector<detail::ParsedSection> sections;
    if (r == ERROR_SUCCESS && !detail::ParseRegFile(bytes, path, &sections, &message))
        r = ERROR_BADDB;
    if (r == ERROR_SUCCESS && bytes.empty()) {
        message = path + ":1: empty file";
        r = ERROR_BADDB;
    }
    if (r == ERROR_SUCCESS) {
        r = MutateLocked([&](Node& root, bool* changed) {
            *changed = detail::ApplySections(sections, &root);
            return ERROR_SUCCESS;
        });
        if (r != ERROR_SUCCESS)
            message = t_lastError.empty() ? "import failed" : t_lastError;
    }
    if (r != ERROR_SUCCESS) {
        t_lastError = message;
        if (error)
            *error = message;
    }
    return r;
}

LONG ExportFile(const std::string& keyPath, const std::string& path, std::string* error,
                RegFileForm form) {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    const auto fail = [&](LONG r, const std::string& message) {
        t_lastError = message;
        if (error)
            *error = message;
        return r;
    };
    const std::size_t slash = keyPath.find('\\');
    std::vector<std::string> full;
    if (!ParseRootName(std::string_view(keyPath).substr(0, slash), &full))
        return fail(ERROR_INVALID_PARAMETER, "key must start with HKEY_LOCAL_MACHINE: " + keyPath);
    std::vector<std::string> names;
    if (slash != std::string::npos &&
        !detail::SplitPath(std::string_view(keyPath).substr(slash + 1), &names))
        return fail(ERROR_INVALID_PARAMETER, "bad key path: " + keyPath);
    full.insert(full.end(), names.begin(), names.end());
    LONG r = LoadLocked();
    if (r != ERROR_SUCCESS)
        return fail(r, t_lastError);
    const Node* node = FindLocked(g_store.root.get(), full);
    if (!node)
        return fail(ERROR_FILE_NOT_FOUND, "no such key: " + keyPath);
    std::vector<std::string> stored;
    Node* walk = g_store.root.get();
    for (const auto& name : full) {
        walk = ChildLocked(walk, name);
        stored.push_back(walk->name);
    }
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    detail::WriteKeyText(*node, stored, &text);
    text = detail::EncodeRegFile(text, form);
    if (path == "-") {
        if (!WriteAll(STDOUT_FILENO, text)) {
            const int err = errno;
            return fail(ErrnoToResult(err, ERROR_CANTWRITE),
                        std::string("standard output: ") + std::strerror(err));
        }
        return ERROR_SUCCESS;
    }
    // Only a regular file: opening a pipe for writing waits for a reader, a device may
    // wait for its carrier, and neither is an export. Refused before the open, and opened
    // without blocking and without truncating in case the name was swapped in between.
    const std::string notRegular =
        path +
        ": not a regular file (export writes to a regular file, or to - for standard output)";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return fail(ERROR_ACCESS_DENIED, notRegular);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (fd.get() < 0) {
        const int err = errno;
        return fail(ErrnoToResult(err, ERROR_CANTWRITE), path + ": " + std::strerror(err));
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(ERROR_ACCESS_DENIED, notRegular);
    if (::ftruncate(fd.get(), 0) != 0 || !WriteAll(fd.get(), text) || ::close(fd.release()) != 0) {
        const int err = errno;
        return fail(ErrnoToResult(err, ERROR_CANTWRITE), path + ": " + std::strerror(err));
    }
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform::registry

namespace {

// A handle on key\subKey for RegOpenKeyExA and RegCreateKeyExA; with `create`, the key and
// the keys above it are made first when missing (*created tells whether any was).
LONG OpenOrCreateKey(HKEY key, const char* subKey, REGSAM sam, bool create, bool* created,
                     PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    LONG r = OpenSubPathLocked(key, subKey, &full);
    if (r != ERROR_SUCCESS)
        return r;
    if (!FindLocked(g_store.root.get(), full)) {
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        r = MutateLocked([&](Node& root, bool* changed) {
            if (!IsPredefined(key) && !FindLocked(&root, key->path))
                return ERROR_KEY_DELETED;
            Node* node = &root;
            for (const auto& name : full) {
                Node* child = node->FindChild(name);
                if (!child) {
                    node->subkeys.push_back(std::make_unique<Node>());
                    child = node->subkeys.back().get();
                    child->name = name;
                    *changed = true;
                }
                node = child;
            }
            *created = *changed;
            return ERROR_SUCCESS;
        });
        if (r != ERROR_SUCCESS)
            return r;
    }
    if ((sam & kWriteRights) && !HiveWritable(g_store.path))
        return ERROR_ACCESS_DENIED;
    *result = NewHandleLocked(full, sam);
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD /*options*/, REGSAM sam, PHKEY result) {
    bool created = false;
    return OpenOrCreateKey(key, subKey, sam, false, &created, result);
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD /*reserved*/, char* /*className*/,
                     DWORD /*options*/, REGSAM sam, void* /*security*/, PHKEY result,
                     DWORD* disposition) {
    bool created = false;
    const LONG r = OpenOrCreateKey(key, subKey, sam, true, &created, result);
    if (r == ERROR_SUCCESS && disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return r;
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (IsPredefined(key))
        return ERROR_SUCCESS;
    if (!key || !g_store.handles.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (data && !cbData)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    const Value* v = g_store.index.FindValue(node, ValueNameOf(valueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    const DWORD size = static_cast<DWORD>(v->data.size());
    if (data && *cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    CopyValueOut(*v, type, data, cbData);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD /*reserved*/, DWORD type,
                    const BYTE* data, DWORD cbData) {
    const std::string name = ValueNameOf(valueName);
    if (!thermpos::platform::registry::IsValidValueName(name) || cbData > kMaxValueSize ||
        (!data && cbData))
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes(data, data + cbData);
    // A string stored without its terminating zero would send every reader that trusts
    // the stored size past the end of its text, so the store always terminates it; the
    // zero counts toward the limit.
    if (IsStringType(type) && (bytes.empty() || bytes.back() != 0))
        bytes.push_back(0);
    if (bytes.size() > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = CheckSetValueLocked(key);
    if (r != ERROR_SUCCESS)
        return r;
    return MutateLocked([&](Node& root, bool* changed) {
        Node* node;
        REGSAM ignored;
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        Value* v = node->FindValue(name);
        if (!v) {
            node->values.push_back(Value{name, type, std::move(bytes)});
            *changed = true;
        } else if (v->type != type || v->data != bytes) {
            v->type = type;
            v->data = std::move(bytes);
            *changed = true;
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
    const std::string name = ValueNameOf(valueName);
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = CheckSetValueLocked(key);
    if (r != ERROR_SUCCESS)
        return r;
    // Look before taking the file lock: deleting what is not there changes nothing.
    Node* node;
    REGSAM ignored;
    r = HandleNodeLocked(key, g_store.root.get(), &node, &ignored);
    if (r != ERROR_SUCCESS)
        return r;
    return MutateLocked([&](Node& root, bool* changed) {
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        for (auto it = node->values.begin(); it != node->values.end(); ++it) {
            if (thermpos::platform::EqualNoCase(it->name, name)) {
                node->values.erase(it);
                *changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

namespace {

// Deletes the key at `full`; with `onlyIfLeaf` a key with subkeys stays and the call gives
// ERROR_ACCESS_DENIED, as RegDeleteKey does.
LONG DeleteKeyLocked(HKEY key, const std::vector<std::string>& full, bool onlyIfLeaf) {
    if (full.empty())
        return ERROR_ACCESS_DENIED;  // HKEY_LOCAL_MACHINE itself
    return MutateLocked([&](Node& root, bool* changed) {
        if (!IsPredefined(key) && !FindLocked(&root, key->path))
            return ERROR_KEY_DELETED;
        Node* parent = FindLocked(&root, std::vector<std::string>(full.begin(), full.end() - 1));
        if (!parent)
            return ERROR_FILE_NOT_FOUND;
        auto& kids = parent->subkeys;
        for (auto it = kids.begin(); it != kids.end(); ++it) {
            if (!thermpos::platform::EqualNoCase((*it)->name, full.back()))
                continue;
            if (onlyIfLeaf && !(*it)->subkeys.empty())
                return ERROR_ACCESS_DENIED;
            kids.erase(it);
            *changed = true;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

// RegDeleteKeyA (tree false: an empty key only) and RegDeleteTreeA (the key's subtree, or
// everything below the handle itself when subKey is empty).
LONG DeleteSubKey(HKEY key, const char* subKey, bool tree) {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    REGSAM sam;
    const LONG r = SubPath(key, subKey, &full, &sam);
    if (r != ERROR_SUCCESS)
        return r;
    if (!tree)
        return DeleteKeyLocked(key, full, true);
    if (subKey && *subKey)
        return DeleteKeyLocked(key, full, false);
    return MutateLocked([&](Node& root, bool* changed) {
        Node* node;
        REGSAM ignored;
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        *changed = !node->values.empty() || !node->subkeys.empty();
        node->values.clear();
        node->subkeys.clear();
        return ERROR_SUCCESS;
    });
}

}  // namespace

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
    return DeleteSubKey(key, subKey, false);
}

LONG RegDeleteTreeA(HKEY key, const char* subKey) {
    return DeleteSubKey(key, subKey, true);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cchName, DWORD* /*reserved*/,
                   char* className, DWORD* cchClassName, void* lastWriteTime) {
    if (!name || !cchName)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    if (index >= node->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& child = node->subkeys[index]->name;
    if (*cchName < child.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(name, child.c_str(), child.size() + 1);
    *cchName = static_cast<DWORD>(child.size());
    if (className && cchClassName && *cchClassName)
        className[0] = '\0';
    if (cchClassName)
        *cchClassName = 0;
    if (lastWriteTime)
        std::memset(lastWriteTime, 0, 8);  // FILETIME; the text file keeps no times
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName, DWORD* /*reserved*/,
                   DWORD* type, BYTE* data, DWORD* cbData) {
    if (!valueName || !cchValueName || (data && !cbData))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    if (index >= node->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = node->values[index];
    const DWORD size = static_cast<DWORD>(v.data.size());
    const bool nameFits = *cchValueName >= v.name.size() + 1;
    const bool dataFits = !data || *cbData >= size;
    if (!nameFits || !dataFits) {
        if (cbData && !dataFits)
            *cbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(valueName, v.name.c_str(), v.name.size() + 1);
    *cchValueName = static_cast<DWORD>(v.name.size());
    CopyValueOut(v, type, data, cbData);
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> path;
    REGSAM sam;
    // Every change is already on disk when its call returns.
    return ResolveLocked(key, &path, &sam);
}
