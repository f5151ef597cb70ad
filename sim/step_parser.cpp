// Reading steps: a step's words into a Step that fits the device's state where it comes, and
// what a command-line argument is after a step's words so far.
#include "verbs.h"

#include "step_names.h"
#include "step_words.h"

namespace tws {
namespace {

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

}  // namespace tws
