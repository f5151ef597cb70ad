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

struct RegKey {
    struct Named {
        std::u16string name;
        RegValue value;
    };
    struct NamedKey {
        std::u16string name;
        std::unique_ptr<RegKey> key;
    };
    std::map<std::u16string, Named> values;   // by folded name
    std::map<std::u16string, NamedKey> keys;  // by folded name

    RegKey() = default;
    RegKey(const RegKey& other);
    RegKey& operator=(const RegKey& other);

    RegKey* Child(std::u16string_view name);
    RegKey* AddChild(std::u16string_view name);
    // Merges `other` into this key: its values replace, its subkeys merge.
    void Merge(const RegKey& other);
};

// Splits a path at backslashes; empty parts (doubled or trailing backslashes) are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);

// Reads .reg text into `root` (HKEY_LOCAL_MACHINE's key). On error, `root` is unchanged.
bool ParseReg(std::string_view text, std::string_view file_name, RegKey* root, std::string* error);
// Writes the tree under HKEY_LOCAL_MACHINE as .reg text.
std::string FormatReg(const RegKey& root);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_REGTREE_H
