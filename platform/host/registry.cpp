// The simulated registry: a key tree with a handle table, a hive that persists on flush,
// fault switches and counters.
#include "regtree.h"
#include "internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace sim::detail {

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

namespace {

using Path = std::vector<std::u16string>;

struct RegState {
    std::mutex mu;
    RegKey live;
    RegKey persisted;
    std::optional<std::filesystem::path> hive_file;
    std::map<uintptr_t, Path> handles;
    uintptr_t next_handle = 0x1000;
    bool fail_opens = false;
    bool fail_flushes = false;
    std::u16string fail_set_of;  // folded; empty means none
    int tear_stage = 0;
    RegCounters counters;
    reg::CallHook hook;
};

RegState& R() {
    static RegState* state = new RegState;  // never destroyed: threads may outlive main
    return *state;
}

thread_local bool t_in_hook = false;

std::u16string_view View(LPCWSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
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

// Runs one registry call under the lock, then the call hook outside it.
template <typename Fn>
LONG Call(RegCall kind, LPCWSTR value_name, Fn&& fn) {
    RegState& r = R();
    LONG result;
    reg::CallHook hook;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        result = fn(r);
        if (!t_in_hook)
            hook = r.hook;
    }
    if (hook) {
        t_in_hook = true;
        hook(kind, View(value_name), result);
        t_in_hook = false;
    }
    return result;
}

// The key a handle names, or the error Windows gives for it.
LONG Resolve(RegState& r, HKEY h, Path* path) {
    if (h == HKEY_LOCAL_MACHINE) {
        path->clear();
        return ERROR_SUCCESS;
    }
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == r.handles.end())
        return ERROR_INVALID_HANDLE;
    *path = it->second;
    return ERROR_SUCCESS;
}

LONG ResolveKey(RegState& r, HKEY h, RegKey** key) {
    Path path;
    LONG rc = Resolve(r, h, &path);
    if (rc != ERROR_SUCCESS)
        return rc;
    *key = Find(&r.live, path);
    return *key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

HKEY NewHandle(RegState& r, Path path) {
    uintptr_t h = r.next_handle;
    r.next_handle += 4;
    r.handles[h] = std::move(path);
    r.counters.open_handles = r.handles.size();
    return reinterpret_cast<HKEY>(h);
}

LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult, bool create, LPDWORD disposition) {
    return Call(create ? RegCall::kCreate : RegCall::kOpen, nullptr, [&](RegState& r) -> LONG {
        r.counters.opens++;
        if (!phkResult)
            return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        Path path;
        LONG rc = Resolve(r, hKey, &path);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (!Find(&r.live, path))
            return ERROR_KEY_DELETED;
        for (std::u16string& part : SplitPath(View(lpSubKey)))
            path.push_back(std::move(part));
        if (r.fail_opens)
            return ERROR_ACCESS_DENIED;
        bool existed = Find(&r.live, path) != nullptr;
        if (!existed) {
            if (!create)
                return ERROR_FILE_NOT_FOUND;
            RegKey* key = &r.live;
            for (const std::u16string& part : path)
                key = key->AddChild(part);
        }
        if (disposition)
            *disposition = existed ? 2 : 1;  // opened existing : created new
        *phkResult = NewHandle(r, std::move(path));
        return ERROR_SUCCESS;
    });
}

// `tear` stops the write as a power failure would: 1 after half the data, 2 before the rename.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text, int tear = 0) {
    std::filesystem::path tmp = file;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    const size_t size = tear == 1 ? text.size() / 2 : text.size();
    while (done < size) {
        ssize_t n = ::write(fd, text.data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (tear)
        return false;
    if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    std::filesystem::path dir = file.parent_path();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

// Makes the working copy the persisted one. Caller holds the lock.
LONG FlushLocked(RegState& r) {
    if (r.fail_flushes)
        return ERROR_WRITE_FAULT;
    if (r.hive_file && r.tear_stage) {
        WriteAtomically(*r.hive_file, FormatReg(r.live), r.tear_stage);
        r.tear_stage = 0;
        r.hive_file.reset();  // the power is gone: nothing more reaches storage
        return ERROR_WRITE_FAULT;
    }
    if (r.hive_file && !WriteAtomically(*r.hive_file, FormatReg(r.live)))
        return ERROR_WRITE_FAULT;
    r.persisted = r.live;
    r.counters.flushes++;
    return ERROR_SUCCESS;
}

Path ToPath(std::string_view path) {
    return SplitPath(Utf16(path));
}

}  // namespace

void ResetRegistry() {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = RegKey();
    r.persisted = RegKey();
    r.hive_file.reset();
    r.handles.clear();
    r.fail_opens = r.fail_flushes = false;
    r.fail_set_of.clear();
    r.tear_stage = 0;
    r.counters = RegCounters();
    r.hook = nullptr;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

COREDLL_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, phkResult, false, nullptr);
}

COREDLL_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                 LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, phkResult, true, lpdwDisposition);
}

COREDLL_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                  LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Call(RegCall::kQuery, lpValueName, [&](RegState& r) -> LONG {
        r.counters.queries++;
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (lpReserved || (lpData && !lpcbData))
            return ERROR_INVALID_PARAMETER;
        auto it = key->values.find(FoldCase(View(lpValueName)));
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
    });
}

COREDLL_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                const BYTE* lpData, DWORD cbData) {
    return Call(RegCall::kSet, lpValueName, [&](RegState& r) -> LONG {
        r.counters.sets++;
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (!lpData && cbData)
            return ERROR_INVALID_PARAMETER;
        std::u16string folded = FoldCase(View(lpValueName));
        if (!r.fail_set_of.empty() && folded == r.fail_set_of)
            return ERROR_WRITE_FAULT;
        RegKey::Named& slot = key->values[folded];
        slot.name = std::u16string(View(lpValueName));
        slot.value.type = dwType;
        slot.value.data.assign(lpData, lpData + cbData);
        return ERROR_SUCCESS;
    });
}

COREDLL_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Call(RegCall::kDeleteValue, lpValueName, [&](RegState& r) -> LONG {
        RegKey* key;
        LONG rc = ResolveKey(r, hKey, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        return key->values.erase(FoldCase(View(lpValueName))) ? ERROR_SUCCESS
                                                              : ERROR_FILE_NOT_FOUND;
    });
}

COREDLL_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Call(RegCall::kDeleteKey, nullptr, [&](RegState& r) -> LONG {
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
        return ERROR_SUCCESS;
    });
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
        if (!r.handles.erase(reinterpret_cast<uintptr_t>(hKey)))
            return ERROR_INVALID_HANDLE;
        r.counters.open_handles = r.handles.size();
        return ERROR_SUCCESS;
    });
}

namespace sim {

bool ReadWholeFile(const std::filesystem::path& file, std::string* text, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error)
            *error = file.string() + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text,
                         std::string* error) {
    if (WriteAtomically(file, text))
        return true;
    if (error)
        *error = file.string() + ": cannot write: " + std::strerror(errno);
    return false;
}

}  // namespace sim

namespace sim::reg {

void CreateKey(std::string_view path) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = &r.live;
    for (const std::u16string& part : ToPath(path))
        key = key->AddChild(part);
}

bool KeyExists(std::string_view path) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    return Find(&r.live, ToPath(path)) != nullptr;
}

void DeleteKey(std::string_view path) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    Path p = ToPath(path);
    if (p.empty()) {
        r.live = RegKey();
        return;
    }
    std::u16string last = p.back();
    p.pop_back();
    if (RegKey* parent = Find(&r.live, p))
        parent->keys.erase(FoldCase(last));
}

void SetValue(std::string_view path, std::string_view name, RegValue value) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = &r.live;
    for (const std::u16string& part : ToPath(path))
        key = key->AddChild(part);
    std::u16string wname = Utf16(name);
    RegKey::Named& slot = key->values[FoldCase(wname)];
    slot.name = wname;
    slot.value = std::move(value);
}

void SetDword(std::string_view path, std::string_view name, DWORD value) {
    RegValue v{REG_DWORD, {}};
    for (int i = 0; i < 4; ++i)
        v.data.push_back(static_cast<BYTE>(value >> (8 * i)));
    SetValue(path, name, std::move(v));
}

void SetString(std::string_view path, std::string_view name, std::string_view value) {
    RegValue v{REG_SZ, {}};
    for (char16_t c : Utf16(value)) {
        v.data.push_back(static_cast<BYTE>(c & 0xFF));
        v.data.push_back(static_cast<BYTE>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    SetValue(path, name, std::move(v));
}

std::optional<RegValue> GetValue(std::string_view path, std::string_view name, bool persisted) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = Find(persisted ? &r.persisted : &r.live, ToPath(path));
    if (!key)
        return std::nullopt;
    auto it = key->values.find(FoldCase(Utf16(name)));
    if (it == key->values.end())
        return std::nullopt;
    return it->second.value;
}

std::optional<DWORD> GetDword(std::string_view path, std::string_view name, bool persisted) {
    std::optional<RegValue> v = GetValue(path, name, persisted);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    return static_cast<DWORD>(v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
                              (static_cast<DWORD>(v->data[3]) << 24));
}

std::optional<std::string> GetString(std::string_view path, std::string_view name) {
    std::optional<RegValue> v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string s;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
        if (c == 0)
            break;
        s.push_back(c);
    }
    return Utf8(s);
}

std::vector<std::string> SubKeys(std::string_view path) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    std::vector<std::string> out;
    if (RegKey* key = Find(&r.live, ToPath(path))) {
        for (const auto& [folded, child] : key->keys)
            out.push_back(Utf8(child.name));
    }
    return out;
}

void Flush() {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    bool fail = r.fail_flushes;
    r.fail_flushes = false;
    FlushLocked(r);
    r.fail_flushes = fail;
}

void PowerCut() {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = r.persisted;
}

bool LoadHiveFile(const std::filesystem::path& file, std::string* error) {
    std::string text;
    if (!ReadWholeFile(file, &text, error))
        return false;
    RegKey parsed;
    if (!ParseReg(text, file.string(), &parsed, error))
        return false;
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = parsed;
    r.persisted = std::move(parsed);
    r.hive_file = file;
    return true;
}

bool MergeRegFile(const std::filesystem::path& file, std::string* error) {
    std::string text;
    return ReadWholeFile(file, &text, error) && MergeRegText(text, file.string(), error);
}

bool MergeRegText(std::string_view text, std::string_view file_name, std::string* error) {
    RegKey parsed;
    if (!ParseReg(text, file_name, &parsed, error))
        return false;
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live.Merge(parsed);
    return true;
}

bool ParseRegText(std::string_view text, std::string_view file_name, std::string* error) {
    RegKey parsed;
    return ParseReg(text, file_name, &parsed, error);
}

std::string ExportText(bool persisted) {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    return FormatReg(persisted ? r.persisted : r.live);
}

void DetachHiveFile() {
    RegState& r = R();
    std::lock_guard<std::mutex> lock(r.mu);
    r.hive_file.reset();
}

void FailOpens(bool fail) {
    std::lock_guard<std::mutex> lock(R().mu);
    R().fail_opens = fail;
}

void FailSetOf(std::string_view name) {
    std::lock_guard<std::mutex> lock(R().mu);
    R().fail_set_of = FoldCase(Utf16(name));
}

void FailFlushes(bool fail) {
    std::lock_guard<std::mutex> lock(R().mu);
    R().fail_flushes = fail;
}

void TearNextFlush(int stage) {
    std::lock_guard<std::mutex> lock(R().mu);
    R().tear_stage = stage;
}

RegCounters Counters() {
    std::lock_guard<std::mutex> lock(R().mu);
    return R().counters;
}

void ResetCounters() {
    std::lock_guard<std::mutex> lock(R().mu);
    R().counters = RegCounters();
    R().counters.open_handles = R().handles.size();
}

void SetCallHook(CallHook hook) {
    std::lock_guard<std::mutex> lock(R().mu);
    R().hook = std::move(hook);
}

}  // namespace sim::reg
