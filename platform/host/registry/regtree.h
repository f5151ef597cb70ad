// The simulated registry's key tree, shared by the registry calls and the .reg file reader.
#ifndef TIMEWARD_HOST_REGTREE_H
#define TIMEWARD_HOST_REGTREE_H

#include "coredll_sim.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace coredll::detail {

// Registry names compare without regard to case; the spelling first used is kept.
std::u16string FoldCase(std::u16string_view name);

// The order of folded names, which finds a name in any case without folding a copy of it.
struct FoldedLess {
    using is_transparent = void;
    static char16_t Fold(char16_t c) {
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    }
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            if (a[i] == b[i])  // most are: no need to fold them
                continue;
            const char16_t x = Fold(a[i]), y = Fold(b[i]);
            if (x != y)
                return x < y;
        }
        return a.size() < b.size();
    }
};

struct RegKey {
    struct Named {
        std::u16string name;
        RegValue value;
    };
    struct NamedKey {
        std::u16string name;
        std::unique_ptr<RegKey> key;
    };
    std::map<std::u16string, Named, FoldedLess> values;   // by folded name
    std::map<std::u16string, NamedKey, FoldedLess> keys;  // by folded name

    RegKey() = default;
    RegKey(const RegKey& other);
    RegKey& operator=(const RegKey& other);

    RegKey* Child(std::u16string_view name);
    RegKey* AddChild(std::u16string_view name);
    // Merges `other` into this key: its values replace, its subkeys merge.
    void Merge(const RegKey& other);
    // Makes this key a copy of `other`, keeping the room of what both hold (a flush copies the
    // whole tree, and the tree rarely changes shape between two).
    void Assign(const RegKey& other);
};

// Splits a path at backslashes; empty parts (doubled or trailing backslashes) are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);
// The same, a part at a time without a copy: the next part from `*at` on, if there is one.
bool NextPart(std::u16string_view path, size_t* at, std::u16string_view* part);
// Appends `name`, folded, to `*to`.
void AppendFolded(std::u16string* to, std::u16string_view name);

// Reads .reg text into `root` (HKEY_LOCAL_MACHINE's key). On error, `root` is unchanged.
bool ParseReg(std::string_view text, std::string_view file_name, RegKey* root, std::string* error);
// Writes the tree under HKEY_LOCAL_MACHINE as .reg text.
std::string FormatReg(const RegKey& root);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_REGTREE_H
