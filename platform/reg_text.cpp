// The hive tree: names compared without regard to ASCII case, lookups (with an index for
// wide keys), parsed sections applied to it; and the encodings that the `.reg` reader
// (reg_text_read.cpp) and writer (reg_text_write.cpp) share. Strings inside the tree are
// narrow byte strings; files exported by Windows carry string types in UTF-16LE. Bytes
// that are not UTF-8 travel through UTF-16 as lone low surrogates U+DC80..U+DCFF, so a
// hex(1) value we write always reads back byte for byte.
#include "platform/reg_text.h"

#include <algorithm>
#include <unordered_map>

#include "platform/reg_text_encoding.h"

namespace thermpos::platform::registry::detail {
namespace {

// --- UTF-8 <-> UTF-16LE --------------------------------------------------------------

void AppendUtf8(char32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the bytes there are
// not well-formed UTF-8 (overlong forms and surrogates included).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t* cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    std::size_t len;
    char32_t v;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (b(k) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return len;
}

void PutUnit(char16_t u, std::vector<BYTE>* out) {
    out->push_back(static_cast<BYTE>(u & 0xFF));
    out->push_back(static_cast<BYTE>(u >> 8));
}

}  // namespace

bool IsUtf8(std::string_view s) {
    char32_t cp;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = DecodeUtf8(s, i, &cp);
        if (!n)
            return false;
        i += n;
    }
    return true;
}

std::vector<BYTE> NarrowToUtf16le(std::string_view s) {
    std::vector<BYTE> out;
    out.reserve(s.size() * 2);
    char32_t cp;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = DecodeUtf8(s, i, &cp);
        if (!n) {
            PutUnit(static_cast<char16_t>(0xDC00 | static_cast<unsigned char>(s[i])), &out);
            ++i;
            continue;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            PutUnit(static_cast<char16_t>(0xD800 | (cp >> 10)), &out);
            PutUnit(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)), &out);
        } else {
            PutUnit(static_cast<char16_t>(cp), &out);
        }
    }
    return out;
}

std::string Utf16leToNarrow(const BYTE* units, std::size_t byteCount) {
    std::string out;
    const std::size_t count = byteCount / 2;
    const auto unit = [&](std::size_t k) {
        return static_cast<char16_t>(units[2 * k] | (units[2 * k + 1] << 8));
    };
    for (std::size_t k = 0; k < count; ++k) {
        const char16_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < count && unit(k + 1) >= 0xDC00 &&
            unit(k + 1) <= 0xDFFF) {
            AppendUtf8(0x10000 + ((char32_t(u) - 0xD800) << 10) + (unit(k + 1) - 0xDC00), &out);
            ++k;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.push_back(static_cast<char>(u & 0xFF));  // a byte that was not UTF-8
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(0xFFFD, &out);
        } else {
            AppendUtf8(u, &out);
        }
    }
    return out;
}

bool IsStringType(DWORD type) {
    return type == 1 || type == 2 || type == 7;
}

Node* Node::FindChild(std::string_view childName) const {
    for (const auto& child : subkeys) {
        if (EqualNoCase(child->name, childName))
            return child.get();
    }
    return nullptr;
}

Value* Node::FindValue(std::string_view valueName) {
    for (auto& v : values) {
        if (EqualNoCase(v.name, valueName))
            return &v;
    }
    return nullptr;
}

const Value* Node::FindValue(std::string_view valueName) const {
    return const_cast<Node*>(this)->FindValue(valueName);
}

std::unique_ptr<Node> Node::Clone() const {
    auto copy = std::make_unique<Node>();
    copy->name = name;
    copy->values = values;
    for (const auto& child : subkeys)
        copy->subkeys.push_back(child->Clone());
    return copy;
}

bool SplitPath(std::string_view path, std::vector<std::string>* names) {
    names->clear();
    if (path.empty())
        return true;
    if (path.back() == '\\')
        path.remove_suffix(1);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (name.empty())
            return false;
        names->emplace_back(name);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

// Below this many subkeys a straight search beats building a map of them.
constexpr std::size_t kIndexedChildren = 16;

Node* TreeIndex::Child(Node* parent, std::string_view name) {
    if (parent->subkeys.size() < kIndexedChildren && !children_.count(parent))
        return parent->FindChild(name);
    auto& map = ChildrenOf(parent);
    const auto it = map.find(FoldCase(name));
    return it == map.end() ? nullptr : it->second;
}

Node* TreeIndex::AddChild(Node* parent, const std::string& name) {
    parent->subkeys.push_back(std::make_unique<Node>());
    Node* child = parent->subkeys.back().get();
    child->name = name;
    ChildrenOf(parent)[FoldCase(name)] = child;
    return child;
}

Value* TreeIndex::FindValue(Node* node, std::string_view name) {
    if (node->values.size() < kIndexedChildren && !values_.count(node))
        return node->FindValue(name);
    auto& map = ValuesOf(node);
    const auto it = map.find(FoldCase(name));
    return it == map.end() ? nullptr : &node->values[it->second];
}

void TreeIndex::AddValue(Node* node, Value value) {
    ValuesOf(node)[FoldCase(value.name)] = node->values.size();
    node->values.push_back(std::move(value));
}

void TreeIndex::Forget() {
    children_.clear();
    values_.clear();
}

std::unordered_map<std::string, Node*>& TreeIndex::ChildrenOf(Node* parent) {
    auto [it, added] = children_.try_emplace(parent);
    if (added) {
        for (const auto& child : parent->subkeys)
            it->second.emplace(FoldCase(child->name), child.get());
    }
    return it->second;
}

std::unordered_map<std::string, std::size_t>& TreeIndex::ValuesOf(Node* node) {
    auto [it, added] = values_.try_emplace(node);
    if (added) {
        for (std::size_t i = 0; i < node->values.size(); ++i)
            it->second.emplace(FoldCase(node->values[i].name), i);
    }
    return it->second;
}

bool ApplySections(const std::vector<ParsedSection>& sections, Node* root) {
    bool changed = false;
    TreeIndex index;
    for (const auto& section : sections) {
        if (section.remove) {
            Node* parent = root;
            for (std::size_t i = 0; parent && i + 1 < section.path.size(); ++i)
                parent = index.Child(parent, section.path[i]);
            if (!parent)
                continue;
            auto& kids = parent->subkeys;
            const auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& k) {
                return EqualNoCase(k->name, section.path.back());
            });
            if (it != kids.end()) {
                kids.erase(it);
                index.Forget();
                changed = true;
            }
            continue;
        }
        Node* node = root;
        for (const auto& name : section.path) {
            Node* child = index.Child(node, name);
            if (!child) {
                child = index.AddChild(node, name);
                changed = true;
            }
            node = child;
        }
        for (const auto& pv : section.values) {
            Value* v = index.FindValue(node, pv.name);
            if (pv.remove) {
                if (v) {
                    node->values.erase(node->values.begin() + (v - node->values.data()));
                    index.Forget();
                    changed = true;
                }
            } else if (!v) {
                index.AddValue(node, Value{pv.name, pv.type, pv.data});
                changed = true;
            } else if (v->type != pv.type || v->data != pv.data) {
                v->type = pv.type;
                v->data = pv.data;
                changed = true;
            }
        }
    }
    return changed;
}

bool TreesEqual(const Node& a, const Node& b) {
    if (a.name != b.name || a.subkeys.size() != b.subkeys.size())
        return false;
    if (a.values.size() != b.values.size())
        return false;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const Value& x = a.values[i];
        const Value& y = b.values[i];
        if (x.name != y.name || x.type != y.type || x.data != y.data)
            return false;
    }
    for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
        if (!TreesEqual(*a.subkeys[i], *b.subkeys[i]))
            return false;
    }
    return true;
}

}  // namespace thermpos::platform::registry::detail

namespace thermpos::platform::registry {

bool IsValidKeyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxKeyNameLength)
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

bool IsValidValueName(std::string_view name) {
    if (name.size() > kMaxValueNameLength)
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace thermpos::platform::registry