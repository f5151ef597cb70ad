// The simulated registry's key tree: names without regard to case, paths, copies and merges.
#include "regtree.h"

namespace coredll::detail {

std::u16string FoldCase(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

RegKey::RegKey(const RegKey& other) : values(other.values) {
    for (const auto& [folded, child] : other.keys) {
        keys[folded] = NamedKey{child.name, std::make_unique<RegKey>(*child.key)};
    }
}

RegKey& RegKey::operator=(const RegKey& other) {
    if (this != &other) {
        RegKey copy(other);
        values = std::move(copy.values);
        keys = std::move(copy.keys);
    }
    return *this;
}

RegKey* RegKey::Child(std::u16string_view name) {
    auto it = keys.find(FoldCase(name));
    return it == keys.end() ? nullptr : it->second.key.get();
}

RegKey* RegKey::AddChild(std::u16string_view name) {
    NamedKey& slot = keys[FoldCase(name)];
    if (!slot.key) {
        slot.name = std::u16string(name);
        slot.key = std::make_unique<RegKey>();
    }
    return slot.key.get();
}

void RegKey::Merge(const RegKey& other) {
    for (const auto& [folded, v] : other.values)
        values[folded] = v;
    for (const auto& [folded, child] : other.keys)
        AddChild(child.name)->Merge(*child.key);
}

}  // namespace coredll::detail
