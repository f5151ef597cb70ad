// Steps found by their names of one word or more, and a word one letter away from a name.
#ifndef TIMEWARD_SIM_STEP_NAMES_H
#define TIMEWARD_SIM_STEP_NAMES_H

#include <string>
#include <string_view>
#include <vector>

#include "verbs.h"

namespace tws {

// The word at `k` in a verb's name, "" past its end.
std::string_view NameWord(const Verb& verb, size_t k);

// The step the words name, the longest name first, with the number of words its name takes.
const Verb* Find(const std::vector<Word>& words, size_t* named);

// How many of the words some name starts with; and "a, b or c", the words that can come next.
size_t Known(const std::vector<Word>& words, std::string* next);

// Whether a step's name starts with the word.
bool IsVerb(std::string_view word);

// A word that is no step but is one letter away from one: "; is 'runn' the step run?"; else "".
std::string LikelyStep(std::string_view word);

}  // namespace tws

#endif  // TIMEWARD_SIM_STEP_NAMES_H
