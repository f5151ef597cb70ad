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

// Says a failure, with what was expected and what was seen.
bool Held(bool ok, const Step& s, const std::string& expected, const std::string& seen) {
    if (!ok)
        Out().Fail(s.where + ": expected " + expected + ", saw " + seen);
    return ok;
}

// The debug lines since the boot that are the step's.
int LinesSinceBoot(const Step& s) {
    int n = 0;
    for (const coredll::debug::Line& line : coredll::debug::Lines())
        n += line.text == support::Utf16(s.text);
    return n;
}

// "\"TEXT\" since the boot", as the step gave it.
std::string SinceBoot(const Step& s) {
    std::string text = "\"";
    text += s.text.substr(0, s.text.size() - std::strlen(kLineEnd));
    return text + "\" since the boot";
}

// Set in the process that played the ctl step, which plays the expectation after it.
std::optional<int> g_last_ctl_exit;

}  // namespace

void NoteCtlExit(std::optional<int> status) {
    g_last_ctl_exit = status;
}

bool ExpectCtlExit(const Step& s, const SYSTEMTIME&) {
    return Held(g_last_ctl_exit == s.count, s,
                "timewardctl to exit with " + std::to_string(s.count),
                g_last_ctl_exit ? std::to_string(*g_last_ctl_exit)
                                : std::string("no exit: it did not end"));
}

bool ExpectClock(const Step& s, const SYSTEMTIME& clock) {
    const milliseconds diff = When(clock) - When(*s.date);
    return Held(std::chrono::abs(diff) <= milliseconds{s.ms}, s,
                "the clock at " + FormatDate(*s.date, true) +
                    (s.ms ? " within " + FormatDuration(s.ms) : ""),
                FormatDate(clock, true));
}

bool ExpectClockAtSnapshot(const Step& s, const SYSTEMTIME& clock) {
    const STORE_STATUS st = ReadStatus(clock);
    return Held(st.dwUse != USE_NONE && When(st.stUse) == When(clock), s,
                "the clock at the stored snapshot (" + SnapshotText(st) + ")",
                FormatDate(clock, true));
}

bool ExpectSnapshot(const Step& s, const SYSTEMTIME& clock) {
    const STORE_STATUS st = ReadStatus(clock);
    // The record a start would judge: the snapshot, or the one before it where it is torn.
    const std::string seen =
        SnapshotText(st) + (st.dwUse == USE_PREVIOUS ? "; before it " + PreviousText(st) : "");
    if (!s.date)
        return Held(st.dwUse == USE_NONE, s, "no snapshot", seen);
    return Held(st.dwUse != USE_NONE && When(st.stUse) == When(*s.date), s,
                "the snapshot " + FormatDate(*s.date, true), seen);
}

bool ExpectSwitch(const Step& s, const SYSTEMTIME& clock) {
    const STORE_STATUS st = ReadStatus(clock);
    return Held((st.fRefuses == FALSE) == s.on, s,
                std::string("the switch ") + (s.on ? "on" : "off"), SwitchText(st));
}

bool ExpectLine(const Step& s, const SYSTEMTIME&) {
    const int n = LinesSinceBoot(s);
    const std::string expected = s.count < 0    ? "the line"
                                 : s.count == 1 ? "1 line"
                                                : std::to_string(s.count) + " lines";
    return Held(s.count < 0 ? n > 0 : n == s.count, s, expected + " " + SinceBoot(s),
                std::to_string(n));
}

bool ExpectNoLine(const Step& s, const SYSTEMTIME&) {
    const int n = LinesSinceBoot(s);
    return Held(n == 0, s, "no line " + SinceBoot(s), std::to_string(n));
}

}  // namespace tws
