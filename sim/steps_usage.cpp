// The usage's list of steps, from the table: each step's words and what it does.
#include "verbs.h"

#include <algorithm>

#include "step_names.h"

namespace tws {
namespace {

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

std::string StepsUsage(const std::vector<std::string>& named) {
    std::string out;
    std::string forms;
    bool wanted = named.empty();
    for (const Verb& v : Verbs()) {
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
