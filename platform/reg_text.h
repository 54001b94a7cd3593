// The hive tree and its `.reg` text form, shared by the registry store and its tests.
//
// No I/O and no locking here: the store (registry_hive.cpp) owns the one tree in memory and
// serialises access; these functions only turn text into a tree and back.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/nocase.h"
#include "platform/reg_limits.h"
#include "platform/win32.h"

namespace thermpos::platform::registry::detail {

struct Value {
    std::string name;  // "" is the default value
    DWORD type = 1;
    std::vector<BYTE> data;
};

struct Node {
    std::string name;
    std::vector<Value> values;                   // file order
    std::vector<std::unique_ptr<Node>> subkeys;  // creation (file) order

    Node* FindChild(std::string_view childName) const;
    Value* FindValue(std::string_view valueName);
    const Value* FindValue(std::string_view valueName) const;
    std::unique_ptr<Node> Clone() const;
};

// Key and value names compare without regard to ASCII case, as Windows compares them.
using platform::EqualNoCase;
using platform::FoldCase;
using platform::StartsWithNoCase;

// Splits "A\\B\\C" into its names. An empty path gives no names; empty names inside
// the path (doubled or leading backslash) are refused. A single trailing backslash is
// tolerated, as regedit does.
bool SplitPath(std::string_view path, std::vector<std::string>* names);

// One parsed section of a regedit file, relative to HKEY_LOCAL_MACHINE.
struct ParsedValue {
    std::string name;
    bool remove = false;
    DWORD type = 1;
    std::vector<BYTE> data;
};
struct ParsedSection {
    std::vector<std::string> path;
    bool remove = false;
    std::vector<ParsedValue> values;
};

// Parses a whole regedit file (UTF-16LE with BOM, UTF-8 with or without BOM; version 5
// or REGEDIT4 header). Only HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT (its SOFTWARE\Classes)
// are accepted. On failure returns false and *error is "FILE:LINE: what".
bool ParseRegFile(std::string_view bytes, const std::string& fileName,
                  std::vector<ParsedSection>* sections, std::string* error);

// Applies parsed sections to a tree. Returns true when anything changed.
bool ApplySections(const std::vector<ParsedSection>& sections, Node* root);

// Name lookups in a tree that does not change while the index is used: a linear search
// over 100,000 subkeys (or values) on every open, query or applied section makes walks
// and listings quadratic.
// Small parents are searched directly. Forget() after any change made behind the
// index's back (and before a node it has seen is freed).
class TreeIndex {
  public:
    Node* Child(Node* parent, std::string_view name);
    Node* AddChild(Node* parent, const std::string& name);
    Value* FindValue(Node* node, std::string_view name);
    void AddValue(Node* node, Value value);
    void Forget();

  private:
    std::unordered_map<std::string, Node*>& ChildrenOf(Node* parent);
    std::unordered_map<std::string, std::size_t>& ValuesOf(Node* node);

    std::unordered_map<Node*, std::unordered_map<std::string, Node*>> children_;
    std::unordered_map<Node*, std::unordered_map<std::string, std::size_t>> values_;
};

// Writes `node` (reached by `path` from HKEY_LOCAL_MACHINE) and everything below it as
// version 5 regedit text in UTF-8, without the header.
void WriteKeyText(const Node& node, const std::vector<std::string>& path, std::string* out);

// The whole hive as file text (header, then every key). Checks every limit of
// reg_limits.h on the way, so that nothing is saved that the parser would refuse:
// ERROR_INVALID_PARAMETER for a value too large, ERROR_FILE_TOO_LARGE for a hive too
// large, with *error saying which; *text is then incomplete.
[[nodiscard]] LONG WriteHiveText(const Node& root, std::string* text, std::string* error);

// Compares two trees exactly (names with case, order, types, data).
bool TreesEqual(const Node& a, const Node& b);

}  // namespace thermpos::platform::registry::detail
