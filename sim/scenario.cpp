// Reads the steps of a scenario from a file's lines or from the command line's words.
#include "scenario.h"

#include "verbs.h"

namespace tws {
namespace {

// Splits a line into words; "quoted text" is one word; # starts a comment.
bool Tokenize(std::string_view line, std::vector<Word>* words, std::string* why) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string word;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < line.size())
                    d = line[i++];
                word.push_back(d);
            }
            if (!closed) {
                *why = "a closing '\"'";
                return false;
            }
            words->push_back({.text = word, .quoted = true});
        } else {
            size_t end = line.find_first_of(" \t\r#", i);
            if (end == std::string_view::npos)
                end = line.size();
            words->push_back({.text = std::string(line.substr(i, end - i))});
            i = end;
        }
    }
    return true;
}

}  // namespace

bool ParseScenario(std::string_view text, std::string_view file_name, std::vector<Step>* steps,
                   std::string* error) {
    StepParser p(error);
    std::vector<Step> parsed;
    int line = 0;
    size_t pos = 0;
    // A byte-order mark, as some editors write at the start of UTF-8 text, is not a word.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        pos = kByteOrderMark.size();
    // UTF-16, as some Windows editors save text: its mark, or ASCII with a NUL in every other
    // byte.
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF") ||
        (text.size() >= 2 && (text[0] == '\0') != (text[1] == '\0'))) {
        *error = std::string(file_name) +
                 ":1: expected UTF-8 text, but this is UTF-16; save it as UTF-8 (iconv -f "
                 "UTF-16 -t UTF-8)";
        return false;
    }
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        std::string_view l = text.substr(pos, nl - pos);
        pos = nl + 1;
        p.At(std::string(file_name) + ":" + std::to_string(++line));
        if (l.find('\0') != std::string_view::npos)
            return p.Fail("text, not a NUL byte");
        std::vector<Word> words;
        std::string why;
        if (!Tokenize(l, &words, &why))
            return p.Fail(why);
        if (!p.Parse(words, &parsed))
            return false;
    }
    *steps = std::move(parsed);
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, std::vector<Step>* steps,
                      std::string* error) {
    StepParser p(error);
    std::vector<Step> parsed;
    size_t i = 0;
    while (i < args.size()) {
        // Each argument stands on its own: a message names it, quoted.
        std::vector<Word> words{{.text = args[i], .where = "'" + args[i] + "'"}};
        std::string step = args[i++];
        for (; i < args.size(); ++i) {
            const Argument a = ArgumentAfter(words, args[i]);
            if (a == Argument::kNextStep)
                break;
            words.push_back({.text = args[i],
                             .quoted = a == Argument::kQuotedWord,
                             .where = "'" + args[i] + "'"});
            step += " " + args[i];
        }
        p.At("'" + step + "'");
        if (!p.Parse(words, &parsed))
            return false;
    }
    *steps = std::move(parsed);
    return true;
}

}  // namespace tws
