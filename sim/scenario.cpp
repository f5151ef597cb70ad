// Reads the steps of a scenario from a file's lines or from the command line's words.
#include "scenario.h"

#include <cstdio>

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
                if (d == '\\' && i < line.size()) {
                    d = line[i++];
                    if (d != '"' && d != '\\') {
                        // The whole character after it, however many bytes it takes.
                        size_t end = i;
                        while (end < line.size() && (line[end] & 0xC0) == 0x80)
                            ++end;
                        *why = "\\\" or \\\\ after a backslash in quoted text, not '\\" +
                               std::string(line.substr(i - 1, end - i + 1)) + "'";
                        return false;
                    }
                }
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

std::string Utf8Problem(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // The length of the sequence the lead byte begins, and the least code point it may
        // stand for (shorter forms are overlong).
        const size_t n = c < 0x80             ? 1
                         : (c & 0xE0) == 0xC0 ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 0;
        char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        bool ok = n != 0 && i + n <= text.size();
        for (size_t k = 1; ok && k < n; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            ok = (d & 0xC0) == 0x80;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= kLeast[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (!ok) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", c);
            return "expected UTF-8 text, but the byte " + std::string(byte) + " at column " +
                   std::to_string(i + 1) + " begins no UTF-8 character";
        }
        i += n;
    }
    return "";
}

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
        if (const std::string problem = Utf8Problem(l); !problem.empty())
            return p.Say(problem);
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
