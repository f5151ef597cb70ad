// Checks expectations about the clock, the stored snapshot, the switch and the debug lines.
#include "expect.h"

#include <chrono>
#include <cstring>

#include "calendar.h"
#include "console.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "driver_key.h"
#include "support/text.h"

namespace tws {
namespace {

using std::chrono::milliseconds;

constexpr const char* kLineEnd = "\r\n";  // what the driver ends its debug lines with

// Records compared here are valid: the clock's, a stored one found valid, a parsed date.
Instant When(const SYSTEMTIME& st) {
    return ToInstant(st).value_or(Instant{});
}

}  // namespace

bool Expect(const Step& s, const SYSTEMTIME& clock) {
    std::string expected, seen;
    bool ok = true;
    switch (s.kind) {
        case StepKind::kExpectClock: {
            const milliseconds diff = When(clock) - When(*s.date);
            ok = std::chrono::abs(diff) <= milliseconds{s.ms};
            expected = "the clock at " + FormatDate(*s.date, true) +
                       (s.ms ? " within " + FormatDuration(s.ms) : "");
            seen = FormatDate(clock, true);
            break;
        }
        case StepKind::kExpectClockAtSnapshot: {
            const STORE_STATUS st = ReadStatus(clock);
            ok = st.dwSnapshot == SNAPSHOT_VALID && When(st.stSnapshot) == When(clock);
            expected = "the clock at the stored snapshot (" + SnapshotText(st) + ")";
            seen = FormatDate(clock, true);
            break;
        }
        case StepKind::kExpectSnapshot: {
            const STORE_STATUS st = ReadStatus(clock);
            if (s.date) {
                ok = st.dwSnapshot == SNAPSHOT_VALID && When(st.stSnapshot) == When(*s.date);
                expected = "the snapshot " + FormatDate(*s.date, true);
            } else {
                ok = st.dwSnapshot == SNAPSHOT_NONE || st.dwSnapshot == SNAPSHOT_FOREIGN;
                expected = "no snapshot";
            }
            seen = SnapshotText(st);
            break;
        }
        case StepKind::kExpectSwitch: {
            const STORE_STATUS st = ReadStatus(clock);
            ok = (st.fRefuses == FALSE) == s.on;
            expected = std::string("the switch ") + (s.on ? "on" : "off");
            seen = SwitchText(st);
            break;
        }
        default:
            return true;
    }
    if (!ok)
        Out().Fail(s.where + ": expected " + expected + ", saw " + seen);
    return ok;
}

bool ExpectLines(const Step& s) {
    std::vector<coredll::debug::Line> lines = coredll::debug::Lines();
    int n = 0;
    for (const coredll::debug::Line& line : lines)
        n += line.text == support::Utf16(s.text);
    std::string text = s.text.substr(0, s.text.size() - std::strlen(kLineEnd));
    bool ok = s.kind == StepKind::kExpectNoLine ? n == 0 : s.count < 0 ? n > 0 : n == s.count;
    if (!ok) {
        std::string expected = s.kind == StepKind::kExpectNoLine ? "no line"
                               : s.count < 0                     ? "the line"
                               : s.count == 1                    ? "1 line"
                                              : std::to_string(s.count) + " lines";
        Out().Fail(s.where + ": expected " + expected + " \"" + text + "\" since the boot, saw " +
                   std::to_string(n));
    }
    return ok;
}

}  // namespace tws
