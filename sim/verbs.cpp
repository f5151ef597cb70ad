// Parses one step of a scenario by the table of verbs.
#include "verbs.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "date_text.h"

namespace tws {
namespace {

constexpr unsigned kPowerAny = kPowerOff | kPowerOn | kPowerSuspended;
constexpr unsigned kPowerUp = kPowerOn | kPowerSuspended;  // on, or asleep
constexpr size_t kMostCountDigits = 6;

// The words of one step, read from left to right after the verb.
class StepWords {
  public:
    StepWords(const std::vector<Word>& words, StepParser* parser) : w_(words), parser_(parser) {}

    // Fails blaming the next word, or the last when there is none.
    bool Fail(const std::string& expected) {
        return parser_->FailAt(w_[std::min(i_, w_.size() - 1)], expected);
    }
    bool NeedPower(unsigned allowed, std::string_view name) {
        return parser_->NeedPower(allowed, name);
    }
    bool AtEnd() const {
        return i_ >= w_.size();
    }
    // Takes the next word, "" when there is none.
    std::string Take() {
        return AtEnd() ? "" : w_[i_++].text;
    }
    // Takes the next word when it is `word`.
    bool Take(std::string_view word) {
        if (AtEnd() || w_[i_].text != word)
            return false;
        ++i_;
        return true;
    }
    // A date of one word, or two when the second is the time of day.
    bool Date(SYSTEMTIME* out) {
        if (AtEnd() || w_[i_].quoted)
            return false;
        const std::string& text = w_[i_].text;
        if (i_ + 1 < w_.size() && w_[i_ + 1].text.find(':') != std::string::npos &&
            !w_[i_ + 1].quoted) {
            if (ParseDate(text + " " + w_[i_ + 1].text, out)) {
                i_ += 2;
                return true;
            }
        }
        if (!ParseDate(text, out))
            return false;
        i_ += 1;
        return true;
    }
    // A date, or a failure that says what was expected instead.
    bool Date(std::optional<SYSTEMTIME>* out, const char* expected) {
        SYSTEMTIME d;
        if (!Date(&d)) {
            // A date's shape with a number out of range: say which.
            const std::string why = AtEnd() || w_[i_].quoted ? "" : DateProblem(w_[i_].text);
            if (!why.empty() && why.rfind("expected", 0) != 0)
                return parser_->Refuse(w_[i_], why);
            return Fail(expected);
        }
        *out = d;
        return true;
    }
    bool Duration(int64_t* ms, const std::string& usage) {
        if (AtEnd() || !ParseDuration(w_[i_].text, ms)) {
            const std::string why = AtEnd() ? "" : DurationProblem(w_[i_].text);
            if (!AtEnd() && w_[i_].text[0] == '-' && why.rfind("expected", 0) != 0)
                return parser_->Refuse(w_[i_], why);
            return Fail("a duration like 90s, 5m, 2h or 1h30m in " + usage);
        }
        ++i_;
        return true;
    }
    bool OnOff(bool* on, const std::string& after) {
        if (AtEnd() || (w_[i_].text != "on" && w_[i_].text != "off"))
            return Fail("on or off after " + after);
        *on = w_[i_++].text == "on";
        return true;
    }
    // A debug line in quotes, as the driver writes it (with its "\r\n").
    bool Line(std::string* text, const std::string& after) {
        if (AtEnd() || !w_[i_].quoted)
            return Fail("a quoted debug line after " + after);
        *text = w_[i_++].text + "\r\n";
        return true;
    }
    // A count of up to six digits.
    bool Count(int* count) {
        const std::string& word = w_[i_].text;
        unsigned n = 0;
        const char* end = word.data() + word.size();
        auto [stop, ec] = std::from_chars(word.data(), end, n);
        if (word.empty() || word.size() > kMostCountDigits || ec != std::errc() || stop != end)
            return Fail("a count after the line, like 3");
        *count = static_cast<int>(n);
        ++i_;
        return true;
    }
    // Usage text for "nothing more after ...", when the words allow more than one.
    const char* usage = nullptr;

  private:
    const std::vector<Word>& w_;
    size_t i_ = 1;
    StepParser* parser_;
};

// A verb: its name, the step it makes, the states it may come in, the state it leaves, what it
// looks like (for "nothing more after ...") and what it makes of its words (none when it
// takes none).
struct Verb {
    const char* name;
    StepKind kind;
    unsigned allowed;
    unsigned after;  // a PowerState, or 0 for the state it came in
    const char* usage;
    bool (*parse)(StepWords& w, Step* s);
};

// --- The steps -------------------------------------------------------------------------------

bool Run(StepWords& w, Step* s) {
    return w.Duration(&s->ms, "run DURATION");
}

bool PullBattery(StepWords& w, Step* s) {
    return w.AtEnd() ||
           w.Date(&s->date, "a date like 2003-01-01 or 2003-01-01 08:00 after pull-battery");
}

bool Off(StepWords& w, Step* s) {
    return w.Duration(&s->ms, "off DURATION");
}

bool SetClock(StepWords& w, Step* s) {
    return w.Date(&s->date, "a date like 2026-12-08 09:00 after clock");
}

bool SetClockOn(StepWords& w, Step* s) {
    return w.Date(&s->date, "a date like 2026-12-08 09:00 after set-clock");
}

bool Switch(StepWords& w, Step* s) {
    return w.OnOff(&s->on, "switch");
}

bool Notifications(StepWords& w, Step* s) {
    return w.OnOff(&s->on, "notifications");
}

// timewardctl's own words, whatever they are: it says what is wrong with them.
bool Ctl(StepWords& w, Step* s) {
    if (w.AtEnd())
        return w.Fail("status, save or clear after ctl");
    while (!w.AtEnd())
        s->words.push_back(w.Take());
    return true;
}

bool Expect(StepWords& w, Step* s);

const Verb kVerbs[] = {
    {"boot", StepKind::kBoot, kPowerOff, kPowerOn, "boot", nullptr},
    {"run", StepKind::kRun, kPowerUp, 0, "run DURATION", Run},
    {"suspend", StepKind::kSuspend, kPowerOn, kPowerSuspended, "suspend", nullptr},
    {"resume", StepKind::kResume, kPowerSuspended, kPowerOn, "resume", nullptr},
    {"event", StepKind::kEvent, kPowerOn, 0, "event", nullptr},
    {"shutdown", StepKind::kShutdown, kPowerUp, kPowerOff, "shutdown", nullptr},
    {"power-cut", StepKind::kPowerCut, kPowerUp, kPowerOff, "power-cut", nullptr},
    {"pull-battery", StepKind::kPullBattery, kPowerAny, kPowerOff, "pull-battery [DATE]",
     PullBattery},
    {"off", StepKind::kOff, kPowerOff, 0, "off DURATION", Off},
    {"clock", StepKind::kSetClock, kPowerOff, 0, "clock DATE", SetClock},
    {"set-clock", StepKind::kSetClockOn, kPowerOn, 0, "set-clock DATE", SetClockOn},
    {"switch", StepKind::kSwitch, kPowerOff, 0, "switch on|off", Switch},
    {"notifications", StepKind::kNotifications, kPowerOff, 0, "notifications on|off",
     Notifications},
    {"status", StepKind::kStatus, kPowerAny, 0, "status", nullptr},
    {"ctl", StepKind::kCtl, kPowerOff | kPowerOn, 0, nullptr, Ctl},
    // The expectation that follows checks the end of the words.
    {"expect", StepKind::kExpectClock, kPowerAny, 0, nullptr, Expect},
};

// --- The expectations, after "expect" ----------------------------------------------------------

bool ExpectClock(StepWords& w, Step* s) {
    if (w.Take("snapshot")) {
        s->kind = StepKind::kExpectClockAtSnapshot;
        w.usage = "expect clock snapshot";
        return true;
    }
    if (!w.Date(&s->date, "a date or 'snapshot' after expect clock"))
        return false;
    return !w.Take("within") || w.Duration(&s->ms, "expect clock DATE within DURATION");
}

bool ExpectLine(StepWords& w, Step* s) {
    return w.Line(&s->text, "expect line") && (w.AtEnd() || w.Count(&s->count));
}

bool ExpectNoLine(StepWords& w, Step* s) {
    return w.Line(&s->text, "expect no-line");
}

bool ExpectSnapshot(StepWords& w, Step* s) {
    return w.Take("none") || w.Date(&s->date, "a date or 'none' after expect snapshot");
}

bool ExpectSwitch(StepWords& w, Step* s) {
    return w.OnOff(&s->on, "expect switch");
}

const Verb kExpectations[] = {
    {"clock", StepKind::kExpectClock, kPowerAny, 0, "expect clock DATE [within DURATION]",
     ExpectClock},
    {"line", StepKind::kExpectLine, kPowerUp, 0, "expect line \"TEXT\"", ExpectLine},
    {"no-line", StepKind::kExpectNoLine, kPowerUp, 0, "expect no-line \"TEXT\"", ExpectNoLine},
    {"snapshot", StepKind::kExpectSnapshot, kPowerAny, 0, "expect snapshot DATE|none",
     ExpectSnapshot},
    {"switch", StepKind::kExpectSwitch, kPowerAny, 0, "expect switch on|off", ExpectSwitch},
};

template <size_t N>
const Verb* Find(const Verb (&table)[N], std::string_view name) {
    for (const Verb& v : table) {
        if (name == v.name)
            return &v;
    }
    return nullptr;
}

// "a, b or c": the names in a table.
template <size_t N>
std::string Names(const Verb (&table)[N]) {
    std::string out;
    for (size_t i = 0; i < N; ++i)
        out += (i == 0 ? "" : i + 1 == N ? " or " : ", ") + std::string(table[i].name);
    return out;
}

// Applies one verb to the words after it: the state it needs, its words, nothing more.
bool Apply(const Verb& verb, std::string_view step_name, StepWords& w, Step* s) {
    if (!w.NeedPower(verb.allowed, step_name))
        return false;
    s->kind = verb.kind;
    if (verb.parse && !verb.parse(w, s))
        return false;
    const char* usage = w.usage ? w.usage : verb.usage;
    if (usage && !w.AtEnd())
        return w.Fail(std::string("nothing more after ") + usage);
    return true;
}

bool Expect(StepWords& w, Step* s) {
    const std::string what = w.Take();
    const Verb* verb = Find(kExpectations, what);
    if (!verb)
        return w.Fail(Names(kExpectations) + " after expect");
    return Apply(*verb, "expect " + what, w, s);
}

const char* StateName(unsigned power) {
    return power == kPowerOff ? "off" : power == kPowerOn ? "on" : "suspended";
}

}  // namespace

bool StepParser::Fail(const std::string& expected) {
    *error_ = where_ + ": expected " + expected;
    return false;
}

bool StepParser::FailAt(const Word& word, const std::string& expected) {
    if (word.where.empty())
        return Fail(expected);
    *error_ = word.where + ": expected " + expected;
    return false;
}

bool StepParser::Refuse(const Word& word, const std::string& why) {
    *error_ = (word.where.empty() ? where_ + ": '" + word.text + "'" : word.where) + ": " + why;
    return false;
}

bool StepParser::NeedPower(unsigned allowed, std::string_view name) {
    if (allowed & power_)
        return true;
    std::string want;
    for (unsigned p : {kPowerOff, kPowerOn, kPowerSuspended}) {
        if (!(allowed & p))
            continue;
        if (!want.empty())
            want += " or ";
        want += StateName(p);
    }
    return Fail("the device " + want + " for '" + std::string(name) + "', but it is " +
                StateName(power_) + " here");
}

bool StepParser::Parse(const std::vector<Word>& words, std::vector<Step>* steps) {
    if (words.empty())
        return true;
    const Verb* verb = Find(kVerbs, words[0].text);
    if (!verb)
        return Fail("a step: " + Names(kVerbs) + "; not '" + words[0].text + "'");
    Step s;
    s.where = where_;
    StepWords w(words, this);
    if (!Apply(*verb, verb->name, w, &s))
        return false;
    steps->push_back(s);
    if (verb->after)
        power_ = static_cast<PowerState>(verb->after);
    return true;
}

bool IsVerb(std::string_view word) {
    return Find(kVerbs, word) != nullptr;
}

}  // namespace tws
