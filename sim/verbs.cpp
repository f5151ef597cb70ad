// The table of scenario steps, and what reads, splits and describes steps by it.
#include "verbs.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "at_rest.h"
#include "date_text.h"
#include "expect.h"
#include "session.h"

namespace tws {

// The words of one step, read from left to right after its name.
class StepWords {
  public:
    StepWords(const Verb& verb, const std::vector<Word>& words, size_t named, StepParser* parser)
        : verb_(verb), w_(words), i_(named), parser_(parser) {}

    // The step as the usage shows it, "run DURATION"; and "after run", for messages.
    std::string Form() const {
        return std::string(verb_.name) + (*verb_.words ? " " : "") + verb_.words;
    }
    std::string After() const {
        return std::string("after ") + verb_.name;
    }
    // Fails naming the next word, or blaming the last when there is none.
    bool Fail(const std::string& expected) {
        if (AtEnd())
            return parser_->FailAt(w_.back(), expected);
        return parser_->Refuse(w_[i_], "expected " + expected);
    }
    bool Say(const std::string& text) {
        return parser_->Say(text);
    }
    bool AtEnd() const {
        return i_ >= w_.size();
    }
    // The next word, "" when there is none.
    std::string Next() const {
        return AtEnd() ? "" : w_[i_].text;
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
    bool Date(std::optional<SYSTEMTIME>* out, const std::string& expected) {
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
            if (!why.empty() && why.rfind("expected", 0) != 0)  // negative, or too long
                return parser_->Refuse(w_[i_], why);
            return Fail("a duration like 90s, 5m, 2h or 1h30m in " + usage);
        }
        ++i_;
        return true;
    }
    bool OnOff(bool* on) {
        if (AtEnd() || (w_[i_].text != "on" && w_[i_].text != "off"))
            return Fail("on or off " + After());
        *on = w_[i_++].text == "on";
        return true;
    }
    // A debug line in quotes, as the driver writes it (with its "\r\n").
    bool Line(std::string* text) {
        if (AtEnd() || !w_[i_].quoted)
            return Fail("a quoted debug line " + After());
        *text = w_[i_++].text + "\r\n";
        return true;
    }
    // A count of up to six digits, from `least` to `most`; `noun` names it when it is negative.
    bool Count(int* count, const std::string& expected, const char* noun = "a count", int least = 0,
               int most = kMostCount) {
        const std::string word = AtEnd() ? "" : w_[i_].text;
        const char* end = word.data() + word.size();
        int n = 0;
        auto [stop, ec] = std::from_chars(word.data(), end, n);
        if (ec == std::errc() && stop == end && n < 0)
            return parser_->Refuse(w_[i_], std::string(noun) + " cannot be negative");
        if (word.empty() || word.size() > kMostCountDigits || ec != std::errc() || stop != end)
            return Fail(expected);
        if (n < least || n > most)
            return parser_->Refuse(w_[i_], "expected " + expected);
        *count = n;
        ++i_;
        return true;
    }

  private:
    static constexpr size_t kMostCountDigits = 6;
    static constexpr int kMostCount = 999999;

    const Verb& verb_;
    const std::vector<Word>& w_;
    size_t i_;
    StepParser* parser_;
};

namespace {

constexpr unsigned kPowerAny = kPowerOff | kPowerOn | kPowerSuspended;
constexpr unsigned kPowerUp = kPowerOn | kPowerSuspended;  // on, or asleep

// --- What the steps make of their words ------------------------------------------------------

bool ReadDuration(StepWords& w, Step* s) {
    return w.Duration(&s->ms, w.Form());
}

bool ReadDate(StepWords& w, Step* s) {
    return w.Date(&s->date, "a date like 2026-12-08 09:00 " + w.After());
}

// The date a real-time clock that lost its time comes back at, when given.
bool ReadResetDate(StepWords& w, Step* s) {
    return w.AtEnd() || w.Date(&s->date, "a date like 2003-01-01 or 2003-01-01 08:00 " + w.After());
}

bool ReadOnOff(StepWords& w, Step* s) {
    return w.OnOff(&s->on);
}

// timewardctl's own words, read as it reads them, so that a scenario it would refuse is
// refused before anything runs.
bool ReadCtlWords(StepWords& w, Step* s) {
    if (w.AtEnd())
        return w.Fail("status, save, clear or check " + w.After());
    while (!w.AtEnd())
        s->words.push_back(w.Take());
    // timewardctl quotes the word it refuses: "'stauts': unknown command: ...".
    std::string problem = CtlWordsProblem(s->words);
    const size_t quoted = problem.find("': ", 1);
    if (quoted != std::string::npos)
        problem.insert(quoted + 3, "timewardctl: ");
    return problem.empty() || w.Say(problem);
}

// timewardctl's exit statuses: 0 to 3.
bool ReadCtlExit(StepWords& w, Step* s) {
    return w.Count(&s->count, "an exit status from 0 to 3 " + w.After(), "an exit status", 0, 3);
}

bool ReadClock(StepWords& w, Step* s) {
    if (!w.Date(&s->date, "a date or 'snapshot' " + w.After()))
        return false;
    return !w.Take("within") || w.Duration(&s->ms, "expect clock DATE within DURATION");
}

bool ReadLineAndCount(StepWords& w, Step* s) {
    return w.Line(&s->text) && (w.AtEnd() || w.Count(&s->count, "a count after the line, like 3"));
}

bool ReadLine(StepWords& w, Step* s) {
    return w.Line(&s->text);
}

bool ReadFlushing(StepWords& w, Step* s) {
    s->on = w.Take("write-through");
    return s->on || w.Take("on-flush") || w.Fail("write-through or on-flush " + w.After());
}

// Seconds, or "default" (count -1): the value is removed.
bool ReadInterval(StepWords& w, Step* s) {
    return w.Take("default") ||
           w.Count(&s->count, "seconds or 'default' " + w.After(), "an interval");
}

bool ReadWriteCount(StepWords& w, Step* s) {
    return w.Count(&s->count, "a count of value writes from 1, like 5, " + w.After(),
                   "a count of value writes", 1);
}

bool ReadSnapshot(StepWords& w, Step* s) {
    return w.Take("none") || w.Date(&s->date, "a date or 'none' " + w.After());
}

// --- The steps ---------------------------------------------------------------------------------

// In the order the usage lists them.
constexpr Verb kVerbs[] = {
    {.name = "boot",
     .help = "the Device Manager loads the drivers the hive lists",
     .allowed = kPowerOff,
     .after = kPowerOn},
    {.name = "run",
     .words = "DURATION",
     .help = "time passes with the device on (asleep when suspended)",
     .allowed = kPowerUp,
     .parse = ReadDuration,
     .on = &Session::Run},
    {.name = "suspend", .allowed = kPowerOn, .after = kPowerSuspended, .on = &Session::Suspend},
    {.name = "resume",
     .help = "the Power Manager's D4 and D0",
     .allowed = kPowerSuspended,
     .after = kPowerOn,
     .on = &Session::Resume},
    {.name = "event",
     .help = "another process sets \"SaveRTCEvent\"",
     .allowed = kPowerOn,
     .on = &Session::SetSaveEvent},
    {.name = "set-clock",
     .words = "DATE",
     .help = "an application or a time client sets the clock while the device runs",
     .allowed = kPowerOn,
     .parse = ReadDate,
     .on = &Session::SetSystemClock},
    {.name = "shutdown",
     .help = "orderly: the drivers are deactivated, the registry flushed",
     .allowed = kPowerUp,
     .after = kPowerOff,
     .on = &Session::Shutdown},
    {.name = "power-cut",
     .help = "power is lost: what the hive did not flush is lost",
     .allowed = kPowerUp,
     .after = kPowerOff,
     .on = &Session::PowerCut},
    {.name = "power-cut after-write",
     .words = "N",
     .help = "arms a power cut right after the Nth registry value write (or removal) from here "
             "on, in whichever later step makes it: that step ends there, and the steps up to the "
             "next boot find the device off (those that can come while it is off are played so)",
     .allowed = kPowerUp,
     .parse = ReadWriteCount,
     .on = &Session::ArmPowerCut},
    {.name = "pull-battery",
     .words = "[DATE]",
     .help = "power is lost and the real-time clock with it; it comes back at DATE (default "
             "2003-01-01)",
     .allowed = kPowerAny,
     .after = kPowerOff,
     .parse = ReadResetDate,
     .on = &Session::PullBattery,
     .at_rest = &AtRest::PullBattery},
    {.name = "off",
     .words = "DURATION",
     .help = "the device stays off; the real-time clock keeps time",
     .allowed = kPowerOff,
     .parse = ReadDuration,
     .at_rest = &AtRest::Off},
    {.name = "clock",
     .words = "DATE",
     .help = "the real-time clock is set while the device is off, as at the factory",
     .allowed = kPowerOff,
     .parse = ReadDate,
     .at_rest = &AtRest::SetRealTimeClock},
    {.name = "older-driver",
     .words = "DATE",
     .help = "a driver that keeps no check ran in between (a downgrade) and stored the snapshot "
             "DATE as it stores one: the eight clock values and the signature, the rest of the "
             "key as it was",
     .allowed = kPowerOff,
     .parse = ReadDate,
     .at_rest = &AtRest::StoreAsAnOlderDriver},
    {.name = "switch",
     .words = "on|off",
     .help = "\"TimewardImplemented\" in the image: 0 (on) or 1 (off)",
     .allowed = kPowerOff,
     .parse = ReadOnOff,
     .at_rest = &AtRest::SetSwitch},
    {.name = "notifications",
     .words = "on|off",
     .help = "the image has the notification component (CeRunAppAtEvent), or leaves it out: then "
             "a clock that is set is saved at the next snapshot, not at once; it lasts until "
             "changed (a new device has it)",
     .allowed = kPowerOff,
     .parse = ReadOnOff,
     .at_rest = &AtRest::SetNotifications},
    {.name = "flushing",
     .words = "write-through|on-flush",
     .help = "the image's registry writes each value through to storage as it is written, or "
             "only when the hive is flushed (a new device's); it lasts until changed",
     .allowed = kPowerOff,
     .parse = ReadFlushing,
     .at_rest = &AtRest::SetFlushing},
    {.name = "interval",
     .words = "SECONDS|default",
     .help = "\"TimewardInterval\" in the image: seconds between periodic snapshots (the driver "
             "takes 60 to 86400), or no value: 300",
     .allowed = kPowerOff,
     .parse = ReadInterval,
     .at_rest = &AtRest::SetInterval},
    {.name = "status",
     .help = "show the device where the step comes (on, with the value writes and flushes "
             "since the boot)",
     .allowed = kPowerAny,
     .on = &Session::Status,
     .at_rest = &AtRest::Status},
    {.name = "ctl",
     .words = "WORDS...",
     .help = "another process runs timewardctl WORDS (status, save, clear, check): on the device "
             "while "
             "it is on, its waits taking simulated time; on its files while it is off",
     .allowed = kPowerOff | kPowerOn,
     .parse = ReadCtlWords,
     .on = &Session::Ctl,
     .at_rest = &AtRest::Ctl},
    {.name = "expect clock",
     .words = "DATE [within DURATION]",
     .help = "the clock (the real-time clock while off) is DATE, to the millisecond unless a "
             "tolerance is given",
     .allowed = kPowerAny,
     .parse = ReadClock,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectClock},
    {.name = "expect clock snapshot",
     .help = "the clock equals the stored snapshot",
     .allowed = kPowerAny,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectClockAtSnapshot},
    {.name = "expect line",
     .words = "\"TEXT\" [COUNT]",
     .help = "the driver wrote the debug line TEXT since the boot: at least once, or exactly "
             "COUNT times",
     .allowed = kPowerUp,
     .parse = ReadLineAndCount,
     .on = &Session::Expect,
     .check = ExpectLine},
    {.name = "expect no-line",
     .words = "\"TEXT\"",
     .help = "the driver did not write TEXT since the boot",
     .allowed = kPowerUp,
     .parse = ReadLine,
     .on = &Session::Expect,
     .check = ExpectNoLine},
    {.name = "expect snapshot",
     .words = "DATE|none",
     .help = "the snapshot a start would restore from, as the hive holds it (as flushed), is "
             "DATE (the one before a torn one, where that is kept), or there is none",
     .allowed = kPowerAny,
     .parse = ReadSnapshot,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectSnapshot},
    {.name = "expect switch",
     .words = "on|off",
     .help = "the switch lets the driver run, or turns it off",
     .allowed = kPowerAny,
     .parse = ReadOnOff,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectSwitch},
    {.name = "expect ctl-exit",
     .words = "N",
     .help = "the ctl step right before it ended with timewardctl's exit status N (0 done, 1 "
             "not done, 2 bad arguments, 3 no key)",
     .allowed = kPowerOff | kPowerOn,
     .parse = ReadCtlExit,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectCtlExit,
     .follows = "ctl"},
};

// --- Names of one word or more -------------------------------------------------------------------

// The word at `k` in a verb's name, "" past its end.
std::string_view NameWord(const Verb& verb, size_t k) {
    std::string_view name = verb.name;
    for (; k > 0 && !name.empty(); --k) {
        const size_t space = name.find(' ');
        name = space == name.npos ? "" : name.substr(space + 1);
    }
    return name.substr(0, name.find(' '));
}

// How many of the first `words` are the first words of the verb's name.
size_t Shared(const Verb& verb, const std::vector<Word>& words) {
    size_t k = 0;
    while (k < words.size() && !NameWord(verb, k).empty() && NameWord(verb, k) == words[k].text)
        ++k;
    return k;
}

// The step the words name, the longest name first, with the number of words its name takes.
const Verb* Find(const std::vector<Word>& words, size_t* named) {
    const Verb* found = nullptr;
    *named = 0;
    for (const Verb& v : kVerbs) {
        const size_t k = Shared(v, words);
        if (k > *named && NameWord(v, k).empty()) {
            found = &v;
            *named = k;
        }
    }
    return found;
}

// How many of the words some name starts with; and "a, b or c", the words that can come next.
size_t Known(const std::vector<Word>& words, std::string* next) {
    size_t known = 0;
    for (const Verb& v : kVerbs)
        known = std::max(known, Shared(v, words));
    std::vector<std::string_view> names;
    for (const Verb& v : kVerbs) {
        const std::string_view name = NameWord(v, known);
        if (Shared(v, words) == known && !name.empty() &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    next->clear();
    for (size_t i = 0; i < names.size(); ++i)
        *next += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(names[i]);
    return known;
}

bool IsVerb(std::string_view word) {
    return std::any_of(std::begin(kVerbs), std::end(kVerbs),
                       [&](const Verb& v) { return NameWord(v, 0) == word; });
}

namespace {

// Whether a and b differ by at most one letter added, dropped or changed.
bool OneEditApart(std::string_view a, std::string_view b) {
    if (a.size() > b.size())
        std::swap(a, b);
    if (b.size() - a.size() > 1)
        return false;
    size_t i = 0;
    while (i < a.size() && a[i] == b[i])
        ++i;
    const size_t skip_a = a.size() == b.size() ? 1 : 0;  // changed; else b has one more
    return a.substr(std::min(i + skip_a, a.size())) == b.substr(std::min(i + 1, b.size()));
}

// A word that is no step but is one letter away from one: "; is 'runn' the step run?".
std::string LikelyStep(std::string_view word) {
    if (IsVerb(word))
        return "";
    for (const Verb& v : kVerbs) {
        const std::string_view name = NameWord(v, 0);
        if (OneEditApart(word, name))
            return "; is '" + std::string(word) + "' the step " + std::string(name) + "?";
    }
    return "";
}

}  // namespace

const char* StateName(unsigned power) {
    return power == kPowerOff ? "off" : power == kPowerOn ? "on" : "suspended";
}

// --- The usage ---------------------------------------------------------------------------------

constexpr size_t kUsageWidth = 80;  // columns, as the rest of the usage is written
constexpr size_t kHelpColumn = 23;  // where what a step does starts

// "  FORM  HELP", the help broken at spaces under its column; on a line of its own after a form
// that reaches the column.
std::string UsageEntry(const std::string& form, std::string_view help) {
    const std::string indent(kHelpColumn, ' ');
    std::string out;
    std::string line = "  " + form;
    if (line.size() >= kHelpColumn) {
        out = line + "\n";
        line.clear();
    }
    line.resize(kHelpColumn, ' ');
    while (!help.empty()) {
        const size_t space = help.find(' ');
        const std::string_view word = help.substr(0, space);
        help = space == help.npos ? "" : help.substr(space + 1);
        if (line.size() > kHelpColumn && line.size() + 1 + word.size() > kUsageWidth) {
            out += line + "\n";
            line = indent;
        }
        if (line.size() > kHelpColumn)
            line += ' ';
        line += word;
    }
    return out + line + "\n";
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

bool StepParser::Say(const std::string& text) {
    *error_ = where_ + ": " + text;
    return false;
}

bool StepParser::NeedPower(const Verb& verb) {
    if (verb.allowed & power_)
        return true;
    std::string want;
    for (unsigned p : {kPowerOff, kPowerOn, kPowerSuspended}) {
        if (!(verb.allowed & p))
            continue;
        if (!want.empty())
            want += " or ";
        want += StateName(p);
    }
    return Fail("the device " + want + " for '" + verb.name + "', but it is " + StateName(power_) +
                " here");
}

bool StepParser::Parse(const std::vector<Word>& words, std::vector<Step>* steps) {
    if (words.empty())
        return true;
    size_t named = 0;
    const Verb* verb = Find(words, &named);
    if (!verb) {
        std::string next;
        const size_t known = Known(words, &next);
        if (known == 0)
            return Fail("a step: " + next + "; not '" + words[0].text + "'");
        std::string name;
        for (size_t k = 0; k < known; ++k)
            name += (k == 0 ? "" : " ") + words[k].text;
        if (known < words.size())
            return Refuse(words[known], "expected " + next + " after " + name);
        return FailAt(words.back(), next + " after " + name);
    }
    // The step's own words first: a bad value is named wherever the step stands.
    Step s;
    s.where = where_;
    s.verb = verb;
    StepWords w(*verb, words, named, this);
    if (verb->parse && !verb->parse(w, &s))
        return false;
    if (!w.AtEnd())
        return w.Fail("nothing more after " + w.Form() + LikelyStep(w.Next()));
    if (verb->follows &&
        (steps->empty() || std::string_view(steps->back().verb->name) != verb->follows)) {
        return Fail("a " + std::string(verb->follows) + " step right before '" + verb->name + "'");
    }
    if (!NeedPower(*verb))
        return false;
    steps->push_back(s);
    if (verb->after)
        power_ = static_cast<PowerState>(verb->after);
    return true;
}

Argument ArgumentAfter(const std::vector<Word>& words, std::string_view argument) {
    size_t named = 0;
    const Verb* verb = Find(words, &named);
    std::string next;
    if (!verb && Known(words, &next) == words.size())
        return Argument::kWord;  // the rest of a name, as after expect
    if (verb && named == words.size()) {
        // What the usage shows first after the name says whether a word that could start a
        // step is the step's own: quoted text, any words, or one of some fixed words ("on|off").
        const std::string_view first =
            std::string_view(verb->words).substr(0, std::string_view(verb->words).find(' '));
        if (first.starts_with('"'))
            return Argument::kQuotedWord;
        bool fixed = !first.empty();
        for (char c : first)
            fixed &= (c >= 'a' && c <= 'z') || c == '-' || c == '|';
        if (fixed || first.ends_with("..."))
            return Argument::kWord;
    }
    return IsVerb(argument) ? Argument::kNextStep : Argument::kWord;
}

std::string StepsUsage(const std::vector<std::string>& named) {
    std::string out;
    std::string forms;
    bool wanted = named.empty();
    for (const Verb& v : kVerbs) {
        if (!forms.empty())
            forms += ", ";
        forms += v.name;
        if (*v.words)
            forms += std::string(" ") + v.words;
        wanted |= std::find(named.begin(), named.end(), NameWord(v, 0)) != named.end();
        if (v.help) {
            if (wanted)
                out += UsageEntry(forms, v.help);
            forms.clear();
            wanted = named.empty();
        }
    }
    return out.empty() ? "" : "Steps:\n" + out;
}

}  // namespace tws
