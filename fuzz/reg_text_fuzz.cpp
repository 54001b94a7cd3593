// Fuzz target for the regedit text reader and the import step: any file given to an
// import must be refused with a message or applied; and whatever the store then holds
// must write out as text that reads back into the very same tree, since a hive the store
// saved but cannot read would fail every registry call of every process.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_text.h"

namespace {

using namespace thermpos::registry::detail;

void Check(bool condition) {
    if (!condition)
        std::abort();
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
    // Importing the same file again leaves the tree as the first import left it.
    const auto once = root.Clone();
    ApplySections(sections, &root);
    Check(TreesEqual(*once, root));

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
