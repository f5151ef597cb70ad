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

// Turns the words of one step at a time into a Step. Each step must fit the device's state
// when it comes (no boot while the device is on, no run while it is off); the device is off
// before the first step.
class StepParser {
  public:
    explicit StepParser(std::string* error) : error_(error) {}

    // Where the next step stands, "file:line" or the step's words quoted, for messages and the
    // Step; and where each of its words stands, when they stand apart (the command line's
    // arguments, each quoted).
    void At(std::string where, std::vector<std::string> word_wheres = {}) {
        where_ = std::move(where);
        word_wheres_ = std::move(word_wheres);
    }

    // Appends the step the words make, or fails with a message that names where and what was
    // expected. A word in quotes is marked by a leading '"'. No words: no step, no error.
    bool Parse(const std::vector<std::string>& words, std::vector<Step>* steps);
    bool Fail(const std::string& expected);
    // The same, blaming the word at `word` (the last word when past the end).
    bool FailAt(size_t word, const std::string& expected);
    // Fails saying why the word `text` at `word` will not do, with the word quoted.
    bool Refuse(size_t word, const std::string& text, const std::string& why);

    // Fails unless the device is in one of the `allowed` states for the step `name`.
    bool NeedPower(unsigned allowed, std::string_view name);

  private:
    PowerState power_ = kPowerOff;
    std::string where_;
    std::vector<std::string> word_wheres_;
    std::string* error_;
};

// True when `word` names a step.
bool IsVerb(std::string_view word);

}  // namespace tws

#endif  // TIMEWARD_SIM_VERBS_H
