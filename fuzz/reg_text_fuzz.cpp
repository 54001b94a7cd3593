// Fuzz target for the regedit text reader and the import step: any file given to an
// import must be refused with a message or applied; and whatever the store then holds
// must write out as text that reads back into the very same tree, since a hive the store
// saved but cannot read would fail every registry call of every process.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_text.h"

namespace {

using namespace thermpos::platform::registry::detail;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The same keys and values, in any order: an import appends what it creates, so a file
// that removes a key or value and creates it again moves it to the end each time it is
// imported. Order is kept for what the store writes out (compared exactly below).
bool SameContent(const Node& a, const Node& b) {
    if (a.name != b.name || a.values.size() != b.values.size() ||
        a.subkeys.size() != b.subkeys.size())
        return false;
    auto byName = [](const auto& x, const auto& y) { return x.name < y.name; };
    std::vector<Value> va = a.values, vb = b.values;
    std::sort(va.begin(), va.end(), byName);
    std::sort(vb.begin(), vb.end(), byName);
    for (std::size_t i = 0; i < va.size(); ++i) {
        if (va[i].name != vb[i].name || va[i].type != vb[i].type || va[i].data != vb[i].data)
            return false;
    }
    std::vector<const Node*> ka, kb;
    for (const auto& k : a.subkeys)
        ka.push_back(k.get());
    for (const auto& k : b.subkeys)
        kb.push_back(k.get());
    auto byKeyName = [](const Node* x, const Node* y) { return x->name < y->name; };
    std::sort(ka.begin(), ka.end(), byKeyName);
    std::sort(kb.begin(), kb.end(), byKeyName);
    for (std::size_t i = 0; i < ka.size(); ++i) {
        if (!SameContent(*ka[i], *kb[i]))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<ParsedSection> sections;
    std::string error;
    if (!ParseRegFile(bytes, "fuzz.reg", &sections, &error)) {
        Check(!error.empty());
        return 0;
    }

    Node root;
    ApplySections(sections, &root);
    // Importing the same file again leaves the keys and values as the first import left
    // them.
    const auto once = root.Clone();
    ApplySections(sections, &root);
    Check(SameContent(*once, root));

    std::string text;
    std::string writeError;
    if (WriteHiveText(root, &text, &writeError) != 0)
        return 0;  // refused to save: nothing unreadable reaches the disk

    std::vector<ParsedSection> again;
    std::string againError;
    Check(ParseRegFile(text, "hive.reg", &again, &againError));
    Node reread;
    ApplySections(again, &reread);
    Check(TreesEqual(root, reread));
    return 0;
}
