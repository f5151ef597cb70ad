// The scenario verbs: a table of each step's name, the words it takes and the step it makes.
#ifndef TIMEWARD_SIM_VERBS_H
#define TIMEWARD_SIM_VERBS_H

#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace tws {

// The device's state between steps; a bit each, so that a verb can allow several.
enum PowerState : unsigned { kPowerOff = 1, kPowerOn = 2, kPowerSuspended = 4 };

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

    // Fails unless the device is in one of the `allowed` states for the step `name`.
    bool NeedPower(unsigned allowed, std::string_view name);

  private:
    PowerState power_ = kPowerOff;
    std::string where_;
    std::string* error_;
};

// True when `word` names a step.
bool IsVerb(std::string_view word);

}  // namespace tws

#endif  // TIMEWARD_SIM_VERBS_H
