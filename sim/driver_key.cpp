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
        std::optional<coredll::RegValue> v =
            coredll::reg::GetValue(Key(), Name(field.pszValueName), persisted);
        if (!v || v->data.size() > kDwordBytes)
            return s;
        DWORD d = 0;  // shorter data reads zero-extended, little-endian
        for (size_t b = 0; b < v->data.size(); ++b)
            d |= static_cast<DWORD>(v->data[b]) << (CHAR_BIT * b);
        s.time.*field.pField = static_cast<WORD>(d & kWordMask);
    }
    s.valid = IsValidCalendarRecord(&s.time) != FALSE;
    return s;
}

bool SwitchOn(bool persisted) {
    return coredll::reg::GetDword(Key(), Name(SWITCH_VALUE_NAME), persisted) != SWITCH_OFF;
}

std::string SwitchText(bool persisted) {
    const std::string name = Name(SWITCH_VALUE_NAME);
    std::optional<DWORD> v = coredll::reg::GetDword(Key(), name, persisted);
    if (!v)
        return name + " absent: the driver runs";
    return name + " = " + std::to_string(*v) +
           (*v == SWITCH_OFF ? ": the driver is turned off" : ": the driver runs");
}

void WriteSwitch(bool on) {
    coredll::reg::SetDword(Key(), Name(SWITCH_VALUE_NAME), on ? kSwitchOn : SWITCH_OFF);
    coredll::reg::Flush();
}

}  // namespace tws
