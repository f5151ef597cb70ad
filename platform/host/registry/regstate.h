// The simulated registry's state, shared by the registry calls and the registry's controls.
#ifndef TIMEWARD_HOST_REGSTATE_H
#define TIMEWARD_HOST_REGSTATE_H

#include "regtree.h"

#include <cstdint>
#include <mutex>

namespace coredll::detail {

using Path = std::vector<std::u16string>;

// An open key: its path from HKEY_LOCAL_MACHINE, folded, each part followed by a backslash
// ("SOFTWARE\\ORVEX\\"). The key is found by it, as a key deleted under an open handle must
// be; the last key found is kept until a key is removed from the working copy. The path also
// names the key's values for the check of races.
struct RegHandle {
    std::u16string path;
    mutable RegKey* found = nullptr;
    mutable uint64_t found_at = 0;  // RegState::removals when it was found
};

// The working copy and the persisted one, the open handles, the fault switches and counters,
// all under `mu`.
struct RegState {
    std::mutex mu;
    RegKey live;
    // Counts what removed keys from `live` or replaced it, which makes any RegKey* found in it
    // before stale: each such change calls KeysRemoved().
    uint64_t removals = 0;
    RegKey persisted;
    std::optional<std::filesystem::path> hive_file;
    std::map<uintptr_t, RegHandle> handles;
    // A closed handle's entry, with the room of its path, for the next open: no state a caller
    // sees.
    std::map<uintptr_t, RegHandle>::node_type spare_handle;
    // The last key opened or created, by its parent and subkey as given: a driver opens one key
    // again for each value it reads or writes. Valid while `removals` is `at`.
    struct Opened {
        RegKey* parent = nullptr;
        std::u16string sub;
        uint64_t at = 0;
        RegKey* key = nullptr;
        std::u16string path;  // as RegHandle's
    } last_opened;
    uintptr_t next_handle = 0x1000;
    bool fail_opens = false;
    bool fail_flushes = false;
    bool write_through = false;
    std::u16string fail_set_of;  // folded; empty means none
    reg::Tear tear = reg::Tear::kNone;
    RegCounters counters;
    reg::CallHook hook;
};

RegState& Registry();

// Marks every key found so far stale. Caller holds the lock.
inline void KeysRemoved(RegState& r) {
    ++r.removals;
}

// The key at `path` under `root`, or null.
RegKey* Find(RegKey* root, const Path& path);
RegKey* Find(RegKey* root, std::u16string_view path);
// Makes the working copy the persisted one, and counts a flush. Caller holds the lock.
LONG FlushLocked(RegState& r);
// The same without counting: what a write-through registry does after each value write.
LONG PersistLocked(RegState& r);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_REGSTATE_H
