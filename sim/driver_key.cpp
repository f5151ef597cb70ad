// Reads the driver's key in the simulated registry through the status model.
#include "driver_key.h"

#include "coredll_sim.h"
#include "interval.h"
#include "saver.h"
#include "status_text.h"
#include "store.h"
#include "support/reg_data.h"
#include "support/text.h"

namespace tws {
namespace {

constexpr size_t kDwordBytes = sizeof(DWORD);
constexpr DWORD kSwitchOn = 0;

const std::string& Key() {
    static const std::string key = support::Utf8(TIMEWARD_KEY_PATH);
    return key;
}

// The store as flushed: what a start would find after a power cut.
BOOL KeyExists(void*) {
    return coredll::reg::KeyExists(Key());
}

BOOL ReadValue(void*, LPCWSTR name, DWORD* type, DWORD* size, BOOL* read, DWORD* value) {
    std::optional<coredll::RegValue> v =
        coredll::reg::GetValue(Key(), support::Utf8(name), /*persisted=*/true);
    if (!v)
        return FALSE;
    *type = v->type;
    *size = static_cast<DWORD>(v->data.size());
    // As the driver reads it: at most four bytes, shorter data zero-extended, little-endian.
    *read = v->data.size() <= kDwordBytes;
    if (*read)
        *value = support::DwordOf(v->data);
    return TRUE;
}

BOOL ReadBytes(void*, LPCWSTR name, BYTE* data, DWORD size) {
    std::optional<coredll::RegValue> v =
        coredll::reg::GetValue(Key(), support::Utf8(name), /*persisted=*/true);
    if (!v || v->type != REG_BINARY || v->data.size() != size)
        return FALSE;
    std::copy(v->data.begin(), v->data.end(), data);
    return TRUE;
}

// The Device Manager's list, as timewardctl reads it: the registry as it is, not as flushed.
BOOL DriverRunning(void*, BOOL* known) {
    STORE_READER live;
    RegistryStoreReader(&live);
    return live.pfnDriverRunning(live.pContext, known);
}

std::string Text(const TEXT_LINE& line) {
    return support::Utf8(line.sz);
}

template <void (*Append)(TEXT_LINE*, const STORE_STATUS*)>
std::string Part(const STORE_STATUS& s) {
    TEXT_LINE line;
    LineBegin(&line);
    Append(&line, &s);
    return Text(line);
}

}  // namespace

STORE_STATUS ReadStatus(const SYSTEMTIME& clock) {
    const STORE_READER reader = {nullptr, KeyExists, ReadValue, ReadBytes, DriverRunning};
    STORE_STATUS s;
    ReadStoreStatus(&reader, &clock, &s);
    return s;
}

std::vector<std::string> StatusLines(const STORE_STATUS& s) {
    std::vector<std::string> lines;
    WriteStatusLines(
        &s,
        [](void* out, const TEXT_LINE* line) {
            static_cast<std::vector<std::string>*>(out)->push_back(Text(*line));
        },
        &lines);
    return lines;
}

std::string SnapshotText(const STORE_STATUS& s) {
    return Part<AppendSnapshotText>(s);
}

std::string SwitchText(const STORE_STATUS& s) {
    return Part<AppendSwitchText>(s);
}

std::string PreviousText(const STORE_STATUS& s) {
    return Part<AppendPreviousText>(s);
}

std::string IntervalText(const STORE_STATUS& s) {
    return Part<AppendIntervalText>(s);
}

std::string NextStartText(const STORE_STATUS& s) {
    return Part<AppendNextStartText>(s);
}

std::string Labelled(const char* label, const std::string& text) {
    std::string out = label;
    out.resize(std::max<size_t>(out.size(), STATUS_LABEL_WIDTH), ' ');
    return out + text;
}

void WriteSwitch(bool on) {
    coredll::reg::SetDword(Key(), support::Utf8(SWITCH_VALUE_NAME), on ? kSwitchOn : SWITCH_OFF);
    coredll::reg::Flush();
}

void WriteOlderDriverSnapshot(const SYSTEMTIME& snapshot) {
    for (const CLOCK_VALUE& value : CLOCK_VALUES)
        coredll::reg::SetDword(Key(), support::Utf8(value.pszValueName), snapshot.*value.pField);
    coredll::reg::SetDword(Key(), support::Utf8(SIGNATURE_VALUE_NAME), SNAPSHOT_SIGNATURE);
    coredll::reg::Flush();
}

void WriteInterval(std::optional<DWORD> seconds) {
    if (seconds) {
        coredll::reg::SetDword(Key(), support::Utf8(INTERVAL_VALUE_NAME), *seconds);
    } else {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, INTERVAL_VALUE_NAME);
            RegCloseKey(key);
        }
    }
    coredll::reg::Flush();
}

}  // namespace tws
