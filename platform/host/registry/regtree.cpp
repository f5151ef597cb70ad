// The simulated registry's key tree: names without regard to case, paths, copies and merges.
#include "regtree.h"

#include <algorithm>

namespace coredll::detail {

std::u16string FoldCase(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return out;
}

void AppendFolded(std::u16string* to, std::u16string_view name) {
    const size_t at = to->size();
    to->resize(at + name.size());
    std::transform(name.begin(), name.end(), to->begin() + static_cast<ptrdiff_t>(at),
                   FoldedLess::Fold);
}

bool NextPart(std::u16string_view path, size_t* at, std::u16string_view* part) {
    while (*at < path.size()) {
        const size_t start = *at;
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        *at = end + 1;
        if (end > start) {
            *part = path.substr(start, end - start);
            return true;
        }
    }
    return false;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t at = 0;
    std::u16string_view part;
    while (NextPart(path, &at, &part))
        parts.emplace_back(part);
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
    auto it = keys.find(name);
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

namespace {

// Makes `to` hold the entries of `from`, assigning each over the one of the same name: one walk
// over both, in their common order.
template <typename Map, typename AssignFn>
void AssignEntries(Map& to, const Map& from, AssignFn assign) {
    const auto less = to.key_comp();
    auto it = to.begin();
    for (const auto& [folded, entry] : from) {
        while (it != to.end() && less(it->first, folded))
            it = to.erase(it);
        if (it == to.end() || less(folded, it->first))
            it = to.emplace_hint(it, folded, typename Map::mapped_type());
        assign(it->second, entry);
        ++it;
    }
    to.erase(it, to.end());
}

}  // namespace

void RegKey::Assign(const RegKey& other) {
    AssignEntries(values, other.values, [](Named& to, const Named& from) {
        to.name = from.name;
        to.value.type = from.value.type;
        to.value.data = from.value.data;
    });
    AssignEntries(keys, other.keys, [](NamedKey& to, const NamedKey& from) {
        to.name = from.name;
        if (!to.key)
            to.key = std::make_unique<RegKey>();
        to.key->Assign(*from.key);
    });
}

void RegKey::Merge(const RegKey& other) {
    for (const auto& [folded, v] : other.values)
        values[folded] = v;
    for (const auto& [folded, child] : other.keys)
        AddChild(child.name)->Merge(*child.key);
}

}  // namespace coredll::detail
