// The words of one step, read from left to right after its name: the verb table's readers take
// their dates, durations, counts and quoted lines through it.
#ifndef TIMEWARD_SIM_STEP_WORDS_H
#define TIMEWARD_SIM_STEP_WORDS_H

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "date_text.h"
#include "verbs.h"

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

}  // namespace tws

#endif  // TIMEWARD_SIM_STEP_WORDS_H
