// Parses the steps of a scenario, from a file or from the command line.
#include "scenario.h"

#include <cstdio>
#include <map>

#include "coredll_sim.h"

namespace tws {
namespace {

enum class Power { kOff, kOn, kSuspended };

bool Digits(std::string_view s, size_t n, unsigned* out) {
    if (s.size() != n)
        return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *out = v;
    return true;
}

// Splits a line into words; "quoted text" is one word; # starts a comment.
bool Tokenize(std::string_view line, std::vector<std::string>* words, std::string* why) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string word;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < line.size())
                    d = line[i++];
                word.push_back(d);
            }
            if (!closed) {
                *why = "a closing '\"'";
                return false;
            }
            words->push_back("\"" + word);  // marked as quoted
        } else {
            size_t end = line.find_first_of(" \t\r#", i);
            if (end == std::string_view::npos)
                end = line.size();
            words->emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool IsQuoted(const std::string& w) {
    return !w.empty() && w[0] == '"';
}

struct LineParser {
    Power power = Power::kOff;
    std::string where;
    std::string* error;

    bool Fail(const std::string& expected) {
        *error = where + ": expected " + expected;
        return false;
    }

    // A date of one word, or two when the second is the time of day.
    bool Date(const std::vector<std::string>& w, size_t* i, SYSTEMTIME* out) {
        if (*i >= w.size() || IsQuoted(w[*i]))
            return false;
        std::string text = w[*i];
        if (*i + 1 < w.size() && w[*i + 1].find(':') != std::string::npos && !IsQuoted(w[*i + 1])) {
            if (ParseDate(text + " " + w[*i + 1], out)) {
                *i += 2;
                return true;
            }
        }
        if (!ParseDate(text, out))
            return false;
        *i += 1;
        return true;
    }

    bool NeedPower(std::initializer_list<Power> allowed, const std::string& step) {
        for (Power p : allowed) {
            if (p == power)
                return true;
        }
        const char* now = power == Power::kOff ? "off" : power == Power::kOn ? "on" : "suspended";
        std::string want;
        for (Power p : allowed) {
            if (!want.empty())
                want += " or ";
            want += p == Power::kOff ? "off" : p == Power::kOn ? "on" : "suspended";
        }
        return Fail("the device " + want + " for '" + step + "', but it is " + now + " here");
    }

    bool Parse(const std::vector<std::string>& w, std::vector<Step>* steps) {
        if (w.empty())
            return true;
        const std::string& verb = w[0];
        Step s;
        s.where = where;
        size_t i = 1;
        auto end = [&](const char* usage) {
            if (i != w.size())
                return Fail(std::string("nothing more after ") + usage);
            steps->push_back(s);
            return true;
        };
        auto duration = [&](const char* usage) {
            if (i >= w.size() || !ParseDuration(w[i], &s.ms)) {
                return Fail(std::string("a duration like 90s, 5m, 2h or 1h30m in ") + usage);
            }
            ++i;
            return true;
        };
        if (verb == "boot") {
            s.kind = StepKind::kBoot;
            if (!NeedPower({Power::kOff}, verb))
                return false;
            power = Power::kOn;
            return end("boot");
        }
        if (verb == "run") {
            s.kind = StepKind::kRun;
            if (!NeedPower({Power::kOn, Power::kSuspended}, verb))
                return false;
            return duration("run DURATION") && end("run DURATION");
        }
        if (verb == "off") {
            s.kind = StepKind::kOff;
            if (!NeedPower({Power::kOff}, verb))
                return false;
            return duration("off DURATION") && end("off DURATION");
        }
        if (verb == "suspend" || verb == "resume" || verb == "event") {
            s.kind = verb == "suspend"  ? StepKind::kSuspend
                     : verb == "resume" ? StepKind::kResume
                                        : StepKind::kEvent;
            if (!NeedPower({verb == "resume" ? Power::kSuspended : Power::kOn}, verb))
                return false;
            if (verb == "suspend")
                power = Power::kSuspended;
            if (verb == "resume")
                power = Power::kOn;
            return end(verb.c_str());
        }
        if (verb == "shutdown" || verb == "power-cut") {
            s.kind = verb == "shutdown" ? StepKind::kShutdown : StepKind::kPowerCut;
            if (!NeedPower({Power::kOn, Power::kSuspended}, verb))
                return false;
            power = Power::kOff;
            return end(verb.c_str());
        }
        if (verb == "pull-battery") {
            s.kind = StepKind::kPullBattery;
            SYSTEMTIME d;
            if (i < w.size()) {
                if (!Date(w, &i, &d))
                    return Fail("a date like 2003-01-01 or 2003-01-01 08:00 after pull-battery");
                s.date = d;
            }
            power = Power::kOff;
            return end("pull-battery [DATE]");
        }
        if (verb == "clock") {
            s.kind = StepKind::kSetClock;
            if (!NeedPower({Power::kOff}, verb))
                return false;
            SYSTEMTIME d;
            if (!Date(w, &i, &d))
                return Fail("a date like 2026-12-08 09:00 after clock");
            s.date = d;
            return end("clock DATE");
        }
        if (verb == "switch") {
            s.kind = StepKind::kSwitch;
            if (!NeedPower({Power::kOff}, verb))
                return false;
            if (i >= w.size() || (w[i] != "on" && w[i] != "off"))
                return Fail("on or off after switch");
            s.on = w[i++] == "on";
            return end("switch on|off");
        }
        if (verb == "status") {
            s.kind = StepKind::kStatus;
            return end("status");
        }
        if (verb != "expect") {
            return Fail(
                "a step: boot, run, suspend, resume, event, shutdown, power-cut, "
                "pull-battery, off, clock, switch, status or expect; not '" +
                verb + "'");
        }
        const std::string what = i < w.size() ? w[i++] : "";
        if (what == "clock") {
            if (i < w.size() && w[i] == "snapshot") {
                ++i;
                s.kind = StepKind::kExpectClockAtSnapshot;
                return end("expect clock snapshot");
            }
            s.kind = StepKind::kExpectClock;
            SYSTEMTIME d;
            if (!Date(w, &i, &d))
                return Fail("a date or 'snapshot' after expect clock");
            s.date = d;
            if (i < w.size() && w[i] == "within") {
                ++i;
                if (!duration("expect clock DATE within DURATION"))
                    return false;
            }
            return end("expect clock DATE [within DURATION]");
        }
        if (what == "line" || what == "no-line") {
            s.kind = what == "line" ? StepKind::kExpectLine : StepKind::kExpectNoLine;
            if (!NeedPower({Power::kOn, Power::kSuspended}, "expect " + what))
                return false;
            if (i >= w.size() || !IsQuoted(w[i]))
                return Fail("a quoted debug line after expect " + what);
            s.text = w[i++].substr(1) + "\r\n";
            if (s.kind == StepKind::kExpectLine && i < w.size()) {
                unsigned n;
                if (!Digits(w[i], w[i].size(), &n) || w[i].empty() || w[i].size() > 6) {
                    return Fail("a count after the line, like 3");
                }
                s.count = static_cast<int>(n);
                ++i;
            }
            return end(("expect " + what + " \"TEXT\"").c_str());
        }
        if (what == "snapshot") {
            s.kind = StepKind::kExpectSnapshot;
            if (i < w.size() && w[i] == "none") {
                ++i;
            } else {
                SYSTEMTIME d;
                if (!Date(w, &i, &d))
                    return Fail("a date or 'none' after expect snapshot");
                s.date = d;
            }
            return end("expect snapshot DATE|none");
        }
        if (what == "switch") {
            s.kind = StepKind::kExpectSwitch;
            if (i >= w.size() || (w[i] != "on" && w[i] != "off"))
                return Fail("on or off after expect switch");
            s.on = w[i++] == "on";
            return end("expect switch on|off");
        }
        return Fail("clock, line, no-line, snapshot or switch after expect");
    }
};

}  // namespace

bool ParseDate(std::string_view text, SYSTEMTIME* out) {
    SYSTEMTIME st{};
    unsigned v;
    if (text.size() < 10 || !Digits(text.substr(0, 4), 4, &v))
        return false;
    st.wYear = static_cast<WORD>(v);
    if (text[4] != '-' || !Digits(text.substr(5, 2), 2, &v))
        return false;
    st.wMonth = static_cast<WORD>(v);
    if (text[7] != '-' || !Digits(text.substr(8, 2), 2, &v))
        return false;
    st.wDay = static_cast<WORD>(v);
    std::string_view rest = text.substr(10);
    if (!rest.empty()) {
        if ((rest[0] != ' ' && rest[0] != 'T') || rest.size() < 6)
            return false;
        if (!Digits(rest.substr(1, 2), 2, &v) || rest[3] != ':')
            return false;
        st.wHour = static_cast<WORD>(v);
        if (!Digits(rest.substr(4, 2), 2, &v))
            return false;
        st.wMinute = static_cast<WORD>(v);
        rest = rest.substr(6);
        if (!rest.empty()) {
            if (rest[0] != ':' || !Digits(rest.substr(1, 2), 2, &v))
                return false;
            st.wSecond = static_cast<WORD>(v);
            rest = rest.substr(3);
            if (!rest.empty()) {
                if (rest[0] != '.' || !Digits(rest.substr(1), 3, &v))
                    return false;
                st.wMilliseconds = static_cast<WORD>(v);
            }
        }
    }
    int64_t ms;
    if (!coredll::clock::ToMs(st, &ms))
        return false;
    *out = coredll::clock::FromMs(ms);  // fills in the day of the week
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
    return out;
}

bool ParseDuration(std::string_view text, int64_t* ms) {
    static const std::map<std::string, int64_t, std::less<>> kUnits = {
        {"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}, {"d", 86400000}};
    int64_t total = 0;
    size_t i = 0;
    if (text.empty())
        return false;
    while (i < text.size()) {
        int64_t n = 0;
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i++] - '0');
            if (n > 1000000000)
                return false;
        }
        size_t unit_start = i;
        while (i < text.size() && text[i] >= 'a' && text[i] <= 'z')
            ++i;
        auto unit = kUnits.find(text.substr(unit_start, i - unit_start));
        if (i == start || unit_start == start || unit == kUnits.end())
            return false;
        total += n * unit->second;
        if (total > 100LL * 365 * 86400000)
            return false;  // a century is plenty
    }
    *ms = total;
    return true;
}

std::string FormatDuration(int64_t ms) {
    if (ms % 1000 != 0)
        return std::to_string(ms) + "ms";
    int64_t s = ms / 1000;
    std::string out;
    if (s >= 86400)
        out += std::to_string(s / 86400) + "d", s %= 86400;
    if (s >= 3600)
        out += std::to_string(s / 3600) + "h", s %= 3600;
    if (s >= 60)
        out += std::to_string(s / 60) + "m", s %= 60;
    if (s || out.empty())
        out += std::to_string(s) + "s";
    return out;
}

bool ParseScenario(std::string_view text, std::string_view file_name, std::vector<Step>* steps,
                   std::string* error) {
    LineParser p;
    p.error = error;
    std::vector<Step> parsed;
    int line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        std::string_view l = text.substr(pos, nl - pos);
        pos = nl + 1;
        p.where = std::string(file_name) + ":" + std::to_string(++line);
        if (l.find('\0') != std::string_view::npos)
            return p.Fail("text, not a NUL byte");
        std::vector<std::string> words;
        std::string why;
        if (!Tokenize(l, &words, &why))
            return p.Fail(why);
        if (!p.Parse(words, &parsed))
            return false;
    }
    *steps = std::move(parsed);
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, size_t first_index,
                      std::vector<Step>* steps, std::string* error) {
    static const char* const kVerbs[] = {"boot",     "run",       "suspend",      "resume", "event",
                                         "shutdown", "power-cut", "pull-battery", "off",    "clock",
                                         "switch",   "status",    "expect"};
    auto is_verb = [](const std::string& a) {
        for (const char* v : kVerbs) {
            if (a == v)
                return true;
        }
        return false;
    };
    LineParser p;
    p.error = error;
    std::vector<Step> parsed;
    size_t i = 0;
    while (i < args.size()) {
        size_t start = i;
        std::vector<std::string> words{args[i++]};
        while (i < args.size()) {
            // A word that could start a step is this step's own after switch ("off") or expect
            // ("switch"), and so is the debug line of expect line and no-line, whose quotes the
            // shell took off.
            bool own = (words.size() == 1 && (words[0] == "switch" || words[0] == "expect")) ||
                       (words.size() == 2 && words[0] == "expect" && words[1] == "switch");
            bool text = words.size() == 2 && words[0] == "expect" &&
                        (words[1] == "line" || words[1] == "no-line");
            if (!own && !text && is_verb(args[i]))
                break;
            words.push_back(text ? "\"" + args[i] : args[i]);
            ++i;
        }
        p.where = "argument " + std::to_string(first_index + start + 1);
        if (!p.Parse(words, &parsed))
            return false;
    }
    *steps = std::move(parsed);
    return true;
}

}  // namespace tws
