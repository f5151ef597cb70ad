// The simulated registry's calls: the handle table and the Reg* functions over the key tree.
#include "deterministic.h"
#include "internal.h"
#include "registry.h"
#include "regstate.h"
#include "support/files.h"
#include "support/text.h"

#include <cstring>
#include <iterator>

namespace coredll::detail {

RegState& Registry() {
    static RegState* state = new RegState;  // never destroyed: threads may outlive main
    return *state;
}

RegKey* Find(RegKey* root, const Path& path) {
    RegKey* key = root;
    for (const std::u16string& part : path) {
        key = key->Child(part);
        if (!key)
            return nullptr;
    }
    return key;
}

RegKey* Find(RegKey* root, std::u16string_view path) {
    RegKey* key = root;
    size_t at = 0;
    std::u16string_view part;
    while (key && NextPart(path, &at, &part))
        key = key->Child(part);
    return key;
}

// Drivers\Active lists this boot's drivers: the Device Manager makes it anew at every start, so
// no hive keeps it.
void ForgetActiveDrivers(RegKey* root) {
    if (RegKey* drivers = root->Child(u"Drivers"))
        drivers->keys.erase(FoldCase(u"Active"));
}

// Hive files are written whole, or, when a flush is torn, stop where a power failure would.
LONG PersistLocked(RegState& r) {
    if (r.fail_flushes)
        return ERROR_WRITE_FAULT;
    if (!r.hive_file) {
        r.persisted.Assign(r.live);
        ForgetActiveDrivers(&r.persisted);
        return ERROR_SUCCESS;
    }
    RegKey kept = r.live;
    ForgetActiveDrivers(&kept);
    if (r.tear != reg::Tear::kNone) {
        support::WriteAtomically(*r.hive_file, FormatReg(kept), r.tear);
        r.tear = reg::Tear::kNone;
        r.hive_file.reset();  // the power is gone: nothing more reaches storage
        return ERROR_WRITE_FAULT;
    }
    if (!support::WriteAtomically(*r.hive_file, FormatReg(kept)))
        return ERROR_WRITE_FAULT;
    r.persisted = std::move(kept);
    return ERROR_SUCCESS;
}

LONG FlushLocked(RegState& r) {
    const LONG rc = PersistLocked(r);
    if (rc == ERROR_SUCCESS)
        r.counters.flushes++;
    return rc;
}

namespace {

std::u16string_view View(LPCWSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

LONG Resolve(RegState& r, HKEY h, const RegHandle** handle);

// In the deterministic mode: the calling thread's access to a value of the key `h` names, for
// the check of races. A query reads it; a set or a delete writes it. The registry's own lock
// makes each call whole, but not a series of them: a record of several values read while another
// thread writes them, with nothing that orders the two, may hold fields of both.
void NoteAccess(RegState& r, RegCall kind, HKEY h, LPCWSTR value_name, const char* call,
                const void* site) {
    if (!Scheduled())
        return;
    thread_local std::u16string key;  // kept, with its room, from call to call
    {
        std::lock_guard<std::mutex> lock(r.mu);
        const RegHandle* handle;
        if (Resolve(r, h, &handle) != ERROR_SUCCESS)
            return;
        key = handle->path;
    }
    AppendFolded(&key, View(value_name));
    NoteKeyAccess(key, kind != RegCall::kQuery, call, site);
}

// A key created or removed by a thread of an explorer's run: opens and closes, which are not
// scheduling points, would then not commute, and the runs would miss orders that matter.
void KeysChangedInRun() {
    if (Scheduled())
        FailScheduledRun(
            "a key was created or removed while the program's threads ran: opening "
            "and closing keys are not scheduling points, so the explorer cannot "
            "order them against it");
}

// Runs one registry call under the lock, then the call hook outside it. A call with a `site`
// (its caller's return address) is an access to the value `value_name` of the key `h` names.
template <typename Fn>
LONG Call(RegCall kind, LPCWSTR value_name, Fn&& fn, HKEY h = nullptr, const void* site = nullptr) {
    static const char* const kNames[] = {"RegOpenKey",  "RegCreateKey",   "RegQueryValue",
                                         "RegSetValue", "RegDeleteValue", "RegDeleteKey",
                                         "RegFlushKey", "RegCloseKey",    "RegEnumKey"};
    // Only the calls that change the keys or write the hive to storage are scheduling points.
    // - An open, a close or an enumeration commutes with every other thread's call while the
    //   keys stay as they are (a handle's number is never used again).
    // - A query, a set or a delete of a value is an access that the race check follows: two of
    //   one value by two threads that nothing orders fail the run in any schedule that holds
    //   both. Where there is no such race, every other thread's access to that value is ordered
    //   before or after this one by synchronisation, whose calls are scheduling points; a
    //   switch at the access gives no order that a switch at those calls does not.
    // A switch at any of them would only multiply the runs.
    if (kind == RegCall::kCreate || kind == RegCall::kDeleteKey || kind == RegCall::kFlush)
        SchedulePoint(kNames[static_cast<int>(kind)]);
    RegState& r = Registry();
    if (site)
        NoteAccess(r, kind, h, value_name, kNames[static_cast<int>(kind)], site);
    LONG result;
    reg::CallHook hook;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        result = fn(r);
        if (!Self().in_hook)
            hook = r.hook;
    }
    if (hook) {
        Self().in_hook = true;
        hook(kind, View(value_name), result);
        Self().in_hook = false;
    }
    return result;
}

// The key a handle names, or the error Windows gives for it. `*handle` stays valid until the
// handle is closed.
LONG Resolve(RegState& r, HKEY h, const RegHandle** handle) {
    static const RegHandle kRoot;
    if (h == HKEY_LOCAL_MACHINE) {
        *handle = &kRoot;
        return ERROR_SUCCESS;
    }
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == r.handles.end())
        return ERROR_INVALID_HANDLE;
    *handle = &it->second;
    return ERROR_SUCCESS;
}

LONG ResolveKey(RegState& r, HKEY h, RegKey** key) {
    const RegHandle* handle;
    LONG rc = Resolve(r, h, &handle);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!handle->found || handle->found_at != r.removals) {
        handle->found = Find(&r.live, handle->path);
        handle->found_at = r.removals;
    }
    *key = handle->found;
    return *key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

HKEY NewHandle(RegState& r, const std::u16string& path, RegKey* key) {
    uintptr_t h = r.next_handle;
    r.next_handle += kHandleStep;
    RegHandle* handle;
    if (r.spare_handle.empty()) {
        handle = &r.handles[h];
    } else {
        r.spare_handle.key() = h;
        handle = &r.handles.insert(std::move(r.spare_handle)).position->second;
    }
    handle->path = path;
    handle->found = key;
    handle->found_at = r.removals;
    r.counters.open_handles = r.handles.size();
    return reinterpret_cast<HKEY>(h);
}

// `options` is RegOpenKeyExW's, which Windows CE reserves: anything but zero is refused.
LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult, bool create, LPDWORD disposition,
                  DWORD options = 0) {
    bool created = false;
    auto open = [&](RegState& r) -> LONG {
        r.counters.opens++;
        if (!phkResult)
            return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        if (options != 0)
            return ERROR_INVALID_PARAMETER;
        const RegHandle* handle;
        LONG rc = Resolve(r, hKey, &handle);
        if (rc != ERROR_SUCCESS)
            return rc;
        RegKey* parent;
        if (ResolveKey(r, hKey, &parent) != ERROR_SUCCESS)
            return ERROR_KEY_DELETED;
        if (r.fail_opens)
            return ERROR_ACCESS_DENIED;
        const std::u16string_view sub = View(lpSubKey);
        RegState::Opened& last = r.last_opened;
        const bool again = last.key && last.parent == parent && last.at == r.removals &&
                           support::SameUnits(last.sub, sub);
        const bool existed = again || Find(parent, sub) != nullptr;
        if (!again) {
            if (!existed && !create)
                return ERROR_FILE_NOT_FOUND;
            last.path = handle->path;
            RegKey* key = parent;
            size_t at = 0;
            std::u16string_view part;
            while (NextPart(sub, &at, &part)) {
                AppendFolded(&last.path, part);
                last.path += u'\\';
                key = key->AddChild(part);  // the one there, if there is one
            }
            last.parent = parent;
            last.sub = sub;
            last.at = r.removals;
            last.key = key;
        }
        if (disposition)
            *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        *phkResult = NewHandle(r, last.path, last.key);
        created = !existed;
        return ERROR_SUCCESS;
    };
    const LONG rc = Call(create ? RegCall::kCreate : RegCall::kOpen, nullptr, open);
    if (created)
        KeysChangedInRun();
    return rc;
}

}  // namespace

void ResetRegistry() {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = RegKey();
    KeysRemoved(r);
    r.persisted = RegKey();
    r.hive_file.reset();
    r.handles.clear();
    r.fail_opens = r.fail_flushes = r.write_through = false;
    r.fail_set_of.clear();
    r.tear = reg::Tear::kNone;
    r.counters = RegCounters();
    r.hook = nullptr;
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

// The access asked for plays no part: Windows CE's registry has no access rights ("not
// supported, set to 0"), and opens a key for a KEY_ALL_ACCESS, which its drivers pass, as for 0.
COREDLL_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM,
                               PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, phkResult, false, nullptr, ulOptions);
}

COREDLL_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                 LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, phkResult, true, lpdwDisposition);
}

COREDLL_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                  LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Call(
        RegCall::kQuery, lpValueName,
        [&](RegState& r) -> LONG {
            r.counters.queries++;
            RegKey* key;
            LONG rc = ResolveKey(r, hKey, &key);
            if (rc != ERROR_SUCCESS)
                return rc;
            if (lpReserved || (lpData && !lpcbData))
                return ERROR_INVALID_PARAMETER;
            auto it = key->values.find(View(lpValueName));
            if (it == key->values.end())
                return ERROR_FILE_NOT_FOUND;
            const RegValue& v = it->second.value;
            DWORD size = static_cast<DWORD>(v.data.size());
            if (lpType)
                *lpType = v.type;
            if (lpData) {
                if (*lpcbData < size) {
                    *lpcbData = size;
                    return ERROR_MORE_DATA;  // the buffer stays as it was
                }
                if (size)
                    std::memcpy(lpData, v.data.data(), size);
            }
            if (lpcbData)
                *lpcbData = size;
            return ERROR_SUCCESS;
        },
        hKey, __builtin_return_address(0));
}

COREDLL_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                               LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                               PFILETIME lpftLastWriteTime) {
    return Call(RegCall::kEnumKey, nullptr, [&](RegState& r) -> LONG {
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (lpReserved || !lpName || !lpcchName)
            return ERROR_INVALID_PARAMETER;
        if (dwIndex >= key->keys.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = key->keys.begin();
        std::advance(it, dwIndex);
        const std::u16string& name = it->second.name;
        if (*lpcchName <= name.size())
            return ERROR_MORE_DATA;  // the buffer stays as it was
        std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        *lpcchName = static_cast<DWORD>(name.size());
        // No class names and no write times in this registry.
        if (lpClass && lpcchClass && *lpcchClass > 0)
            lpClass[0] = 0;
        if (lpcchClass)
            *lpcchClass = 0;
        if (lpftLastWriteTime)
            *lpftLastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
}

// Reserved must be 0, as lpReserved of a query and an enumeration must be null.
COREDLL_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                const BYTE* lpData, DWORD cbData) {
    return Call(
        RegCall::kSet, lpValueName,
        [&](RegState& r) -> LONG {
            r.counters.sets++;
            RegKey* key;
            LONG rc = ResolveKey(r, hKey, &key);
            if (rc != ERROR_SUCCESS)
                return rc;
            if (Reserved || (!lpData && cbData))
                return ERROR_INVALID_PARAMETER;
            const std::u16string_view name = View(lpValueName);
            const FoldedLess less;
            if (!r.fail_set_of.empty() && !less(name, r.fail_set_of) && !less(r.fail_set_of, name))
                return ERROR_WRITE_FAULT;
            auto it = key->values.find(name);
            RegKey::Named& slot =
                it != key->values.end() ? it->second : key->values[FoldCase(name)];
            slot.name.assign(name);
            slot.value.type = dwType;
            slot.value.data.assign(lpData, lpData + cbData);
            // Writing through, the hive is on storage when the call returns; a write that cannot
            // reach it fails, though the working copy holds the value.
            return r.write_through ? PersistLocked(r) : ERROR_SUCCESS;
        },
        hKey, __builtin_return_address(0));
}

COREDLL_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Call(
        RegCall::kDeleteValue, lpValueName,
        [&](RegState& r) -> LONG {
            RegKey* key;
            LONG rc = ResolveKey(r, hKey, &key);
            if (rc != ERROR_SUCCESS)
                return rc;
            if (!key->values.erase(FoldCase(View(lpValueName))))
                return ERROR_FILE_NOT_FOUND;
            // Writing through, a removal reaches storage as a set does.
            return r.write_through ? PersistLocked(r) : ERROR_SUCCESS;
        },
        hKey, __builtin_return_address(0));
}

COREDLL_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    const LONG rc = Call(RegCall::kDeleteKey, nullptr, [&](RegState& r) -> LONG {
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        Path sub = SplitPath(View(lpSubKey));
        if (sub.empty())
            return ERROR_INVALID_PARAMETER;
        std::u16string last = sub.back();
        sub.pop_back();
        RegKey* parent = Find(key, sub);
        if (!parent || !parent->keys.erase(FoldCase(last)))
            return ERROR_FILE_NOT_FOUND;
        KeysRemoved(r);
        return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS)
        KeysChangedInRun();
    return rc;
}

COREDLL_API LONG RegFlushKey(HKEY hKey) {
    return Call(RegCall::kFlush, nullptr, [&](RegState& r) -> LONG {
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        return FlushLocked(r);  // a hive flushes whole, whichever key names it
    });
}

COREDLL_API LONG RegCloseKey(HKEY hKey) {
    return Call(RegCall::kClose, nullptr, [&](RegState& r) -> LONG {
        r.counters.closes++;
        if (hKey == HKEY_LOCAL_MACHINE)
            return ERROR_SUCCESS;
        auto node = r.handles.extract(reinterpret_cast<uintptr_t>(hKey));
        if (node.empty())
            return ERROR_INVALID_HANDLE;
        r.spare_handle = std::move(node);
        r.counters.open_handles = r.handles.size();
        return ERROR_SUCCESS;
    });
}