// Reads and writes dates and durations as text.
#include "date_text.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <map>

#include "calendar.h"
#include "support/calendar.h"

namespace tws {
namespace {

using std::chrono::milliseconds;

using support::kMsPerSecond;
constexpr int64_t kMsPerMinute = milliseconds{std::chrono::minutes{1}}.count();
constexpr int64_t kMsPerHour = milliseconds{std::chrono::hours{1}}.count();
constexpr int64_t kMsPerDay = milliseconds{std::chrono::days{1}}.count();

constexpr int64_t kLargestNumber = 1000000000;               // in one term of a duration
constexpr int64_t kLongestDuration = 100 * 365 * kMsPerDay;  // a century is plenty

// Takes a number of exactly `width` decimal digits from the front of `text`.
bool TakeNumber(std::string_view* text, size_t width, WORD* out) {
    if (text->size() < width)
        return false;
    WORD v = 0;
    for (char c : text->substr(0, width)) {
        if (c < '0' || c > '9')
            return false;
        v = static_cast<WORD>(v * 10 + (c - '0'));
    }
    *out = v;
    text->remove_prefix(width);
    return true;
}

// Takes one of the characters `marks` from the front of `text`.
bool TakeMark(std::string_view* text, std::string_view marks) {
    if (text->empty() || marks.find(text->front()) == std::string_view::npos)
        return false;
    text->remove_prefix(1);
    return true;
}

// A duration of at most `longest` ms; every term is at most kLargestNumber of its unit, so the
// total fits in 64 bits whatever `longest` is.
bool ParseDurationUpTo(std::string_view text, int64_t longest, int64_t* ms) {
    static const std::map<std::string, int64_t, std::less<>> kUnits = {
        {"ms", 1}, {"s", kMsPerSecond}, {"m", kMsPerMinute}, {"h", kMsPerHour}, {"d", kMsPerDay}};
    int64_t total = 0;
    int64_t last_unit = std::numeric_limits<int64_t>::max();  // largest first, each at most once
    size_t i = 0;
    if (text.empty())
        return false;
    while (i < text.size()) {
        int64_t n = 0;
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i++] - '0');
            if (n > kLargestNumber)
                return false;
        }
        size_t unit_start = i;
        while (i < text.size() && text[i] >= 'a' && text[i] <= 'z')
            ++i;
        auto unit = kUnits.find(text.substr(unit_start, i - unit_start));
        if (i == start || unit_start == start || unit == kUnits.end() ||
            unit->second >= last_unit) {
            return false;
        }
        last_unit = unit->second;
        total += n * unit->second;
        if (total > longest)
            return false;
    }
    *ms = total;
    return true;
}

}  // namespace

std::string DateProblem(std::string_view text) {
    SYSTEMTIME st;
    if (ParseDate(text, &st))
        return "";
    // The date's shape, with every number in range: which number is not.
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    const std::string shape = "expected a date like 2026-12-08 or 2026-12-08T09:30";
    if (text.size() < 10 || !ParseDate(std::string(text.substr(0, 4)) + "-01-01", &st))
        return shape;
    unsigned year = 0, month = 0, day = 0;
    if (std::sscanf(std::string(text.substr(0, 10)).c_str(), "%4u-%2u-%2u", &year, &month, &day) !=
        3) {
        return shape;
    }
    if (month < 1 || month > 12)
        return "there is no month " + std::to_string(month) + " (1 to 12)";
    const unsigned days = support::DaysInMonth(static_cast<WORD>(year), static_cast<WORD>(month));
    if (day < 1 || day > days) {
        return "the day does not exist: " + std::string(kMonths[month - 1]) + " " +
               std::to_string(year) + " has " + std::to_string(days) + " days";
    }
    return shape + " (hours below 24, minutes and seconds below 60)";
}

bool ParseDate(std::string_view text, SYSTEMTIME* out) {
    // YYYY-MM-DD, then the time of day as [ T]hh:mm, then :ss, then .mmm, each only after the
    // one before it.
    // All times are UTC; a date may say so, as FormatDate writes it.
    SYSTEMTIME st{};
    for (std::string_view zone : {std::string_view(" UTC"), std::string_view("Z")}) {
        if (text.size() > zone.size() && text.substr(text.size() - zone.size()) == zone) {
            text.remove_suffix(zone.size());
            break;
        }
    }
    if (!TakeNumber(&text, 4, &st.wYear) || !TakeMark(&text, "-") ||
        !TakeNumber(&text, 2, &st.wMonth) || !TakeMark(&text, "-") ||
        !TakeNumber(&text, 2, &st.wDay)) {
        return false;
    }
    if (!text.empty() && !(TakeMark(&text, " T") && TakeNumber(&text, 2, &st.wHour) &&
                           TakeMark(&text, ":") && TakeNumber(&text, 2, &st.wMinute))) {
        return false;
    }
    if (!text.empty() && !(TakeMark(&text, ":") && TakeNumber(&text, 2, &st.wSecond)))
        return false;
    if (!text.empty() && !(TakeMark(&text, ".") && TakeNumber(&text, 3, &st.wMilliseconds)))
        return false;
    if (!text.empty())
        return false;
    std::optional<Instant> t = ToInstant(st);
    if (!t)
        return false;
    *out = ToRecord(*t);  // fills in the day of the week
    return true;
}

std::string FormatDate(const SYSTEMTIME& st, bool with_ms) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
    std::string out = buf;
    if (with_ms) {
        std::snprintf(buf, sizeof buf, ".%03u", st.wMilliseconds);
        out += buf;
    }
    return out + " UTC";
}

std::string DurationProblem(std::string_view text) {
    int64_t ms;
    if (ParseDuration(text, &ms))
        return "";
    if (!text.empty() && text[0] == '-' && ParseDuration(text.substr(1), &ms))
        return "a duration cannot be negative";
    if (ParseDurationUpTo(text, std::numeric_limits<int64_t>::max(), &ms))
        return "longer than the longest duration, " + FormatDuration(kLongestDuration) +
               " (a century)";
    return "expected a duration like 90s, 5m, 2h or 1h30m (largest unit first, each once, at "
           "most a century)";
}

bool ParseDuration(std::string_view text, int64_t* ms) {
    return ParseDurationUpTo(text, kLongestDuration, ms);
}

std::string FormatDuration(int64_t ms) {
    if (ms % kMsPerSecond != 0)
        return std::to_string(ms) + "ms";
    int64_t s = ms / kMsPerSecond;
    std::string out;
    static const struct {
        const char* suffix;
        int64_t ms;
    } kUnits[] = {{"d", kMsPerDay}, {"h", kMsPerHour}, {"m", kMsPerMinute}};
    for (const auto& unit : kUnits) {
        const int64_t per_unit = unit.ms / kMsPerSecond;
        if (s >= per_unit) {
            out += std::to_string(s / per_unit) + unit.suffix;
            s %= per_unit;
        }
    }
    if (s || out.empty())
        out += std::to_string(s) + "s";
    return out;
}

}  // namespace tws
