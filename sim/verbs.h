// The scenario steps, each described once: its name, the words it takes, what it does, the
// device's state it needs and leaves, and what plays it on a device that is on or at rest.
#ifndef TIMEWARD_SIM_VERBS_H
#define TIMEWARD_SIM_VERBS_H

#include <timeward_backend.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace tws {

class AtRest;     // at_rest.h
class Session;    // session.h
class StepWords;  // step_words.h

// The device's state between steps; a bit each, so that a verb can allow several.
enum PowerState : unsigned { kPowerOff = 1, kPowerOn = 2, kPowerSuspended = 4 };

// A step, as a row of the table in verbs.cpp, which whatever reads, plays or describes steps
// goes by.
struct Verb {
    const char* name = "";   // a word, or "expect" and what it expects
    const char* words = "";  // what follows the name, as the usage shows it: "DURATION", "on|off"
    // What the step does, for the usage; none: the next row's says it for both.
    const char* help = nullptr;
    unsigned allowed = 0;  // the PowerStates it may come in
    unsigned after = 0;    // the PowerState it leaves, or 0 for the one it came in
    // What it makes of its words; none when it takes none.
    bool (*parse)(StepWords& w, Step* s) = nullptr;
    // Plays it while the device is on (or suspended): the session's exit status when the step
    // ends the session. Every step that may come so has one, but the boot, which starts the
    // session; and likewise `at_rest` for the steps that may come while it is off.
    std::optional<int> (Session::*on)(const Step& s) = nullptr;
    // Plays it while the device is off: the exit status.
    int (AtRest::*at_rest)(const Step& s) = nullptr;
    // An expectation checks the device against the step, `clock` being the system clock while
    // the device is on and the real-time clock while it is off, and says a failure on the
    // console.
    bool (*check)(const Step& s, const SYSTEMTIME& clock) = nullptr;
    // The step it must come right after, when it is about that step's outcome.
    const char* follows = nullptr;

    // The step that turns the device on starts a session in a process of its own; the steps
    // that take its power away end it.
    constexpr bool StartsSession() const {
        return allowed == kPowerOff && after == kPowerOn;
    }
    constexpr bool EndsSession() const {
        return after == kPowerOff;
    }
    constexpr bool IsExpectation() const {
        return check != nullptr;
    }
};

// The table of steps, in the order the usage lists them (verbs.cpp).
std::span<const Verb> Verbs();

// A word of a step: its text, whether it stood in quotes, and where it came from when it stands
// on its own (a command-line argument, quoted as given). A word of a file's line has no place of
// its own: the line's place says where it is.
struct Word {
    std::string text;
    bool quoted = false;
    std::string where{};
};

// Turns the words of one step at a time into a Step. Each step must fit the device's state
// when it comes (no boot while the device is on, no run while it is off); the device is off
// before the first step.
class StepParser {
  public:
    explicit StepParser(std::string* error) : error_(error) {}

    // Where the next step stands, "file:line" or the step's words quoted, for messages and the
    // Step.
    void At(std::string where) {
        where_ = std::move(where);
    }

    // Appends the step the words make, or fails with a message that names where and what was
    // expected. No words: no step, no error.
    bool Parse(const std::vector<Word>& words, std::vector<Step>* steps);
    bool Fail(const std::string& expected);
    // The same, blaming `word` where it stands on its own.
    bool FailAt(const Word& word, const std::string& expected);
    // Fails saying why `word` will not do, with the word quoted.
    bool Refuse(const Word& word, const std::string& why);
    // Fails with `text` after where the step stands.
    bool Say(const std::string& text);

  private:
    // Fails unless the device is in one of the states the step `verb` may come in.
    bool NeedPower(const Verb& verb);

    PowerState power_ = kPowerOff;
    std::string where_;
    std::string* error_;
};

// What a command-line argument is after a step's words so far, the shell having taken its
// quotes off: a word of that step, one that stands for a quoted word, or the next step.
enum class Argument { kWord, kQuotedWord, kNextStep };
Argument ArgumentAfter(const std::vector<Word>& words, std::string_view argument);

// The usage's list of steps: a line or more for each, its words and what it does; of every
// step, or of those whose name starts with one of `named` (and "" when none does).
std::string StepsUsage(const std::vector<std::string>& named = {});

}  // namespace tws

#endif  // TIMEWARD_SIM_VERBS_H
