// Reads the driver's key in the simulated registry by the driver's own layout.
#include "driver_key.h"

#include <climits>
#include <optional>

#include "coredll_sim.h"
#include "date_text.h"
#include "seconds.h"
#include "store.h"

namespace tws {
namespace {

constexpr size_t kDwordBytes = sizeof(DWORD);
constexpr DWORD kWordMask = 0xFFFF;
constexpr DWORD kSwitchOn = 0;

const std::string& Key() {
    static const std::string key = coredll::Utf8(TIMEWARD_KEY_PATH);
    return key;
}

std::string Name(LPCWSTR name) {
    return coredll::Utf8(name);
}

// A value read as the driver reads it: any type, at most four bytes, shorter data
// zero-extended, little-endian.
std::optional<DWORD> AsDriverReads(const std::optional<coredll::RegValue>& v) {
    if (!v || v->data.size() > kDwordBytes)
        return std::nullopt;
    DWORD d = 0;
    for (size_t b = 0; b < v->data.size(); ++b)
        d |= static_cast<DWORD>(v->data[b]) << (CHAR_BIT * b);
    return d;
}

}  // namespace

std::string Stored::Describe() const {
    if (!signed_)
        return "none";
    if (!valid)
        return "invalid (the signature is there, a clock field is missing or out of range)";
    return FormatDate(time, true) + ", valid";
}

Stored ReadStored(bool persisted) {
    Stored s;
    s.signed_ =
        coredll::reg::GetDword(Key(), Name(SIGNATURE_VALUE_NAME), persisted) == SNAPSHOT_SIGNATURE;
    if (!s.signed_)
        return s;
    for (const CLOCK_VALUE& field : CLOCK_VALUES) {
        std::optional<DWORD> d =
            AsDriverReads(coredll::reg::GetValue(Key(), Name(field.pszValueName), persisted));
        if (!d)
            return s;
        s.time.*field.pField = static_cast<WORD>(*d & kWordMask);
    }
    s.valid = IsValidCalendarRecord(&s.time) != FALSE;
    return s;
}

const char* RegTypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        default:
            return "REG_NONE";
    }
}

bool SwitchOn(bool persisted) {
    return AsDriverReads(coredll::reg::GetValue(Key(), Name(SWITCH_VALUE_NAME), persisted)) !=
           SWITCH_OFF;
}

std::string SwitchText(bool persisted) {
    const std::string name = Name(SWITCH_VALUE_NAME);
    std::optional<coredll::RegValue> v = coredll::reg::GetValue(Key(), name, persisted);
    std::optional<DWORD> d = AsDriverReads(v);
    const char* verdict = d == SWITCH_OFF ? ": the driver is turned off" : ": the driver runs";
    if (!v)
        return name + " absent" + verdict;
    if (v->type == REG_DWORD && d)
        return name + " = " + std::to_string(*d) + verdict;
    // The driver ignores the type: a string "1" is the bytes '1', 0, read as 49.
    return name + " is " + RegTypeName(v->type) +
           (d ? ", read as " + std::to_string(*d) : std::string(", unreadable as a number")) +
           "; make it a DWORD" + verdict;
}

void WriteSwitch(bool on) {
    coredll::reg::SetDword(Key(), Name(SWITCH_VALUE_NAME), on ? kSwitchOn : SWITCH_OFF);
    coredll::reg::Flush();
}

}  // namespace tws
