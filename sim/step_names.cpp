// Steps found by their names of one word or more, and a word one letter away from a name.
#include "step_names.h"

#include <algorithm>

namespace tws {
namespace {

// How many of the first `words` are the first words of the verb's name.
size_t Shared(const Verb& verb, const std::vector<Word>& words) {
    size_t k = 0;
    while (k < words.size() && !NameWord(verb, k).empty() && NameWord(verb, k) == words[k].text)
        ++k;
    return k;
}

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

}  // namespace

std::string_view NameWord(const Verb& verb, size_t k) {
    std::string_view name = verb.name;
    for (; k > 0 && !name.empty(); --k) {
        const size_t space = name.find(' ');
        name = space == name.npos ? "" : name.substr(space + 1);
    }
    return name.substr(0, name.find(' '));
}

const Verb* Find(const std::vector<Word>& words, size_t* named) {
    const Verb* found = nullptr;
    *named = 0;
    for (const Verb& v : Verbs()) {
        const size_t k = Shared(v, words);
        if (k > *named && NameWord(v, k).empty()) {
            found = &v;
            *named = k;
        }
    }
    return found;
}

size_t Known(const std::vector<Word>& words, std::string* next) {
    size_t known = 0;
    for (const Verb& v : Verbs())
        known = std::max(known, Shared(v, words));
    std::vector<std::string_view> names;
    for (const Verb& v : Verbs()) {
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
    return std::ranges::any_of(Verbs(), [&](const Verb& v) { return NameWord(v, 0) == word; });
}

std::string LikelyStep(std::string_view word) {
    if (IsVerb(word))
        return "";
    for (const Verb& v : Verbs()) {
        const std::string_view name = NameWord(v, 0);
        if (OneEditApart(word, name))
            return "; is '" + std::string(word) + "' the step " + std::string(name) + "?";
    }
    return "";
}

}  // namespace tws
