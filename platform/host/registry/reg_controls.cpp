// The simulated registry's controls: keys and values set and read by tests and tools, the
// hive file, fault switches, counters and the call hook.
#include "regstate.h"
#include "support/reg_data.h"
#include "support/text.h"
#include "support/files.h"

namespace coredll::detail {
namespace {

Path ToPath(std::string_view path) {
    return SplitPath(support::Utf16(path));
}

// `text` in UTF-16, in `*room`, whose room is kept from call to call: a checker reads the store
// at every step of a run.
std::u16string_view Wide(std::string_view text, std::u16string* room) {
    room->resize(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            *room = support::Utf16(text);
            break;
        }
        (*room)[i] = c;
    }
    return *room;
}

// The live key at `path`, made with the keys on its way when `create` says so. The last one
// found is found again without a walk while no key was removed since: a checker reads the same
// key's values at every flush of a run. Under the registry's lock.
RegKey* FindLive(RegState& r, std::string_view path, bool create) {
    thread_local struct {
        std::string path;
        uint64_t removals = 0;
        RegKey* key = nullptr;
    } last;
    if (last.key && last.removals == r.removals && last.path == path)
        return last.key;
    thread_local std::u16string wide_path;
    const std::u16string_view parts = Wide(path, &wide_path);
    RegKey* key = &r.live;
    size_t at = 0;
    std::u16string_view part;
    while (key && NextPart(parts, &at, &part)) {
        RegKey* child = key->Child(part);
        key = child || !create ? child : key->AddChild(part);
    }
    if (key) {
        last.path.assign(path);
        last.removals = r.removals;
        last.key = key;
    }
    return key;
}

}  // namespace
}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

namespace coredll::reg {

void CreateKey(std::string_view path) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = &r.live;
    for (const std::u16string& part : ToPath(path))
        key = key->AddChild(part);
}

bool KeyExists(std::string_view path) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    return Find(&r.live, support::Utf16(path)) != nullptr;
}

void DeleteKey(std::string_view path) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    Path p = ToPath(path);
    KeysRemoved(r);
    if (p.empty()) {
        r.live = RegKey();
        return;
    }
    std::u16string last = p.back();
    p.pop_back();
    if (RegKey* parent = Find(&r.live, p))
        parent->keys.erase(FoldCase(last));
}

// A test sets the same few values before each run of an explorer's program: a key or a value
// that exists is found without a copy of its name.
void SetValue(std::string_view path, std::string_view name, RegValue value) {
    thread_local std::u16string wide_name;
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = FindLive(r, path, true);
    const std::u16string_view wname = Wide(name, &wide_name);
    auto it = key->values.find(wname);
    if (it == key->values.end())
        it = key->values.try_emplace(FoldCase(wname)).first;
    it->second.name = wname;
    it->second.value = std::move(value);
}

void SetDword(std::string_view path, std::string_view name, DWORD value) {
    SetValue(path, name, {REG_DWORD, support::DwordData(value)});
}

void SetString(std::string_view path, std::string_view name, std::string_view value) {
    SetValue(path, name, {REG_SZ, support::StringData(support::Utf16(value))});
}

std::optional<RegValue> GetValue(std::string_view path, std::string_view name, bool persisted) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = Find(persisted ? &r.persisted : &r.live, support::Utf16(path));
    if (!key)
        return std::nullopt;
    auto it = key->values.find(support::Utf16(name));
    if (it == key->values.end())
        return std::nullopt;
    return it->second.value;
}

std::optional<DWORD> GetDword(std::string_view path, std::string_view name, bool persisted) {
    thread_local std::u16string wide_path, wide_name;
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    RegKey* key = persisted ? Find(&r.persisted, Wide(path, &wide_path)) : FindLive(r, path, false);
    if (!key)
        return std::nullopt;
    auto it = key->values.find(Wide(name, &wide_name));
    if (it == key->values.end())
        return std::nullopt;
    const RegValue& v = it->second.value;
    if (v.type != REG_DWORD || v.data.size() != 4)
        return std::nullopt;
    return support::DwordOf(v.data);
}

std::optional<std::string> GetString(std::string_view path, std::string_view name) {
    std::optional<RegValue> v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
        return std::nullopt;
    const std::u16string s = support::CodeUnits(v->data);
    return support::Utf8(s.substr(0, s.find(u'\0')));
}

std::vector<std::string> SubKeys(std::string_view path) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    std::vector<std::string> out;
    if (RegKey* key = Find(&r.live, support::Utf16(path))) {
        for (const auto& [folded, child] : key->keys)
            out.push_back(support::Utf8(child.name));
    }
    return out;
}

void Flush() {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    bool fail = r.fail_flushes;
    r.fail_flushes = false;
    FlushLocked(r);
    r.fail_flushes = fail;
}

void PowerCut() {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = r.persisted;
    KeysRemoved(r);
}

bool LoadHiveFile(const std::filesystem::path& file, std::string* error) {
    std::string text;
    if (!support::ReadWholeFile(file, &text, error))
        return false;
    RegKey parsed;
    if (!ParseReg(text, file.string(), &parsed, error))
        return false;
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live = parsed;
    KeysRemoved(r);
    r.persisted = std::move(parsed);
    r.hive_file = file;
    return true;
}

bool MergeRegFile(const std::filesystem::path& file, std::string* error) {
    std::string text;
    return support::ReadWholeFile(file, &text, error) && MergeRegText(text, file.string(), error);
}

bool MergeRegText(std::string_view text, std::string_view file_name, std::string* error) {
    RegKey parsed;
    if (!ParseReg(text, file_name, &parsed, error))
        return false;
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.live.Merge(parsed);
    return true;
}

bool ParseRegText(std::string_view text, std::string_view file_name, std::string* error) {
    RegKey parsed;
    return ParseReg(text, file_name, &parsed, error);
}

std::string ExportText(bool persisted) {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    return FormatReg(persisted ? r.persisted : r.live);
}

namespace {

// FNV-1a, 64 bits.
struct Hash {
    uint64_t value = 14695981039346656037ull;
    void Add(const void* data, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i)
            value = (value ^ bytes[i]) * 1099511628211ull;
    }
    void Add(std::u16string_view text) {
        const uint64_t size = text.size();
        Add(&size, sizeof size);
        Add(text.data(), text.size() * sizeof(char16_t));
    }
};

void HashKey(const RegKey& key, Hash* hash) {
    const uint64_t counts[2] = {key.values.size(), key.keys.size()};
    hash->Add(counts, sizeof counts);
    for (const auto& [folded, named] : key.values) {
        const uint64_t size = named.value.data.size();
        hash->Add(named.name);
        hash->Add(&named.value.type, sizeof named.value.type);
        hash->Add(&size, sizeof size);
        hash->Add(named.value.data.data(), named.value.data.size());
    }
    for (const auto& [folded, child] : key.keys) {
        hash->Add(child.name);
        HashKey(*child.key, hash);
    }
}

}  // namespace

uint64_t Fingerprint() {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    Hash hash;
    HashKey(r.live, &hash);
    return hash.value;
}

void DetachHiveFile() {
    RegState& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.hive_file.reset();
}

void FailOpens(bool fail) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().fail_opens = fail;
}

void FailSetOf(std::string_view name) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().fail_set_of = FoldCase(support::Utf16(name));
}

void FailFlushes(bool fail) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().fail_flushes = fail;
}

void WriteThrough(bool write_through) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().write_through = write_through;
}

void TearNextFlush(Tear tear) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().tear = tear;
}

RegCounters Counters() {
    std::lock_guard<std::mutex> lock(Registry().mu);
    return Registry().counters;
}

void ResetCounters() {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().counters = RegCounters();
    Registry().counters.open_handles = Registry().handles.size();
}

void SetCallHook(CallHook hook) {
    std::lock_guard<std::mutex> lock(Registry().mu);
    Registry().hook = std::move(hook);
}

}  // namespace coredll::reg
