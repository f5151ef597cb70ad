// Reads and writes the registry in the .reg text syntax of platform.reg files.
#include "regtree.h"
#include "support/reg_data.h"
#include "support/text.h"

#include <cstdio>
#include <optional>

namespace coredll::detail {
namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A reader over one logical line (physical lines joined where a hex list continues).
class Cursor {
  public:
    explicit Cursor(std::string_view s) : s_(s) {}
    bool AtEnd() const {
        return pos_ >= s_.size();
    }
    char Peek() const {
        return AtEnd() ? '\0' : s_[pos_];
    }
    void SkipSpace() {
        while (!AtEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t'))
            ++pos_;
    }
    bool Take(char c) {
        if (Peek() != c)
            return false;
        ++pos_;
        return true;
    }
    bool TakeWord(std::string_view w) {
        if (!support::IEquals(s_.substr(pos_, w.size()), w))
            return false;
        pos_ += w.size();
        return true;
    }
    // Only a comment may follow a complete value.
    bool RestIsEmpty() {
        SkipSpace();
        return AtEnd() || Peek() == ';';
    }
    // A quoted string with \\ and \" escapes, as UTF-8 text.
    std::optional<std::string> Quoted() {
        if (!Take('"'))
            return std::nullopt;
        std::string out;
        while (!AtEnd()) {
            char c = s_[pos_++];
            if (c == '"')
                return out;
            if (c == '\\') {
                if (AtEnd())
                    return std::nullopt;
                char e = s_[pos_++];
                if (e != '\\' && e != '"')
                    return std::nullopt;
                c = e;
            }
            out.push_back(c);
        }
        return std::nullopt;
    }
    std::optional<uint32_t> Hex(int max_digits) {
        uint32_t v = 0;
        int n = 0;
        while (n < max_digits && HexDigit(Peek()) >= 0) {
            v = v * 16 + static_cast<uint32_t>(HexDigit(s_[pos_++]));
            ++n;
        }
        if (n == 0 || HexDigit(Peek()) >= 0)
            return std::nullopt;
        return v;
    }

  private:
    std::string_view s_;
    size_t pos_ = 0;
};

struct Parser {
    std::string_view file;
    int line = 0;
    std::string* error;

    bool Fail(std::string_view expected) {
        if (error) {
            *error = std::string(file) + ":" + std::to_string(line) + ": expected " +
                     std::string(expected);
        }
        return false;
    }

    bool Text(const std::string& utf8, std::u16string* out) {
        std::u16string s = support::Utf16(utf8);
        if (support::Utf8(s) != utf8)
            return Fail("UTF-8 text");
        *out = std::move(s);
        return true;
    }

    // A quoted string, as UTF-16; `expected` says what it should have been when there is none.
    bool QuotedText(Cursor& c, std::string_view expected, std::u16string* out) {
        std::optional<std::string> s = c.Quoted();
        return s ? Text(*s, out) : Fail(expected);
    }

    // "a","b": a list of non-empty strings, stored each with its NUL and a NUL after the last.
    bool MultiSz(Cursor& c, RegValue* v) {
        v->type = REG_MULTI_SZ;
        c.SkipSpace();
        for (bool first = true; !c.RestIsEmpty(); first = false) {
            if (!first && !c.Take(','))
                return Fail("a comma between multi_sz strings");
            c.SkipSpace();
            std::u16string w;
            if (!QuotedText(c, "a quoted string in the multi_sz list", &w))
                return false;
            if (w.empty())
                return Fail("a non-empty string in the multi_sz list");
            support::AppendString(&v->data, w);
            c.SkipSpace();
        }
        support::AppendString(&v->data, u"");  // the empty string that ends the list
        return true;
    }

    // After "hex": an optional (type), a colon, then bytes separated by commas.
    bool HexBytes(Cursor& c, RegValue* v) {
        v->type = REG_BINARY;
        if (c.Take('(')) {
            std::optional<uint32_t> t = c.Hex(8);
            if (!t || !c.Take(')'))
                return Fail("hex(N): with N a hex type number");
            v->type = *t;
        }
        if (!c.Take(':'))
            return Fail("a colon after hex");
        c.SkipSpace();
        for (bool first = true; !c.RestIsEmpty(); first = false) {
            if (!first && !c.Take(','))
                return Fail("a comma between hex bytes");
            c.SkipSpace();
            std::optional<uint32_t> b = c.Hex(2);
            if (!b)
                return Fail("a hex byte (two hex digits)");
            v->data.push_back(static_cast<BYTE>(*b));
            c.SkipSpace();
        }
        return true;
    }

    bool Value(Cursor& c, RegValue* v) {
        if (c.Peek() == '"') {
            std::u16string w;
            if (!QuotedText(c, "a string closed by \" (escape \\ and \" with \\)", &w))
                return false;
            v->type = REG_SZ;
            support::AppendString(&v->data, w);
        } else if (c.TakeWord("dword:")) {
            std::optional<uint32_t> d = c.Hex(8);
            if (!d)
                return Fail("dword: followed by 1 to 8 hex digits");
            v->type = REG_DWORD;
            v->data = support::DwordData(*d);
        } else if (c.TakeWord("multi_sz:")) {
            if (!MultiSz(c, v))
                return false;
        } else if (c.TakeWord("hex")) {
            if (!HexBytes(c, v))
                return false;
        } else {
            return Fail("a value: \"string\", dword:, hex:, hex(N): or multi_sz:");
        }
        if (!c.RestIsEmpty())
            return Fail("the end of the line after the value");
        return true;
    }

    // The next logical line from `*pos`, trimmed: a value's list may go on over several lines,
    // each but the last ending in '\'. `line` ends on its last line; `*first_line` is its first.
    bool NextLine(std::string_view text, size_t* pos, std::string* logical, int* first_line) {
        auto physical = [&] {
            size_t end = text.find('\n', *pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view l = Trim(text.substr(*pos, end - *pos));
            *pos = end + 1;
            ++line;
            return l;
        };
        *logical = physical();
        *first_line = line;
        while (!logical->empty() && logical->back() == '\\' && logical->front() != '[' &&
               logical->front() != ';') {
            logical->pop_back();
            if (*pos >= text.size())
                return Fail("a continuation line after '\\'");
            *logical += physical();
        }
        if (logical->find('\0') != std::string::npos)
            return Fail("text without NUL bytes");
        return true;
    }

    // [HKEY_LOCAL_MACHINE\path]: the key, made where missing, that the values below go to.
    bool KeyLine(std::string_view l, RegKey* root, RegKey** key) {
        if (l.back() != ']')
            return Fail("a key line closed by ']'");
        std::string_view path = l.substr(1, l.size() - 2);
        if (!support::IEquals(path.substr(0, kRoot.size()), kRoot) ||
            (path.size() > kRoot.size() && path[kRoot.size()] != '\\')) {
            return Fail("a key under HKEY_LOCAL_MACHINE");
        }
        path.remove_prefix(path.size() > kRoot.size() ? kRoot.size() + 1 : kRoot.size());
        std::u16string wpath;
        if (!Text(std::string(path), &wpath))
            return false;
        *key = root;
        for (const std::u16string& part : SplitPath(wpath))
            *key = (*key)->AddChild(part);
        return true;
    }

    // "name"=value or @=value, into `key`. Errors in the value name the line it began on.
    bool ValueLine(std::string_view l, RegKey* key, int first_line) {
        Cursor c(l);
        std::u16string name;
        if (c.Take('@')) {
            // the key's default value has the empty name
        } else {
            if (!QuotedText(c, "a value name in quotes, @, a [key] line or a ; comment", &name))
                return false;
        }
        c.SkipSpace();
        if (!c.Take('='))
            return Fail("'=' after the value name");
        c.SkipSpace();
        if (!key)
            return Fail("a [key] line before the first value");
        RegValue v;
        const int last_line = line;
        line = first_line;
        if (!Value(c, &v))
            return false;
        line = last_line;
        RegKey::Named& slot = key->values[FoldCase(name)];
        slot.name = name;
        slot.value = std::move(v);
        return true;
    }

    bool Parse(std::string_view text, RegKey* root) {
        RegKey* key = nullptr;
        size_t pos = 0;
        while (pos < text.size()) {
            const bool first = line == 0;
            std::string logical;
            int first_line;
            if (!NextLine(text, &pos, &logical, &first_line))
                return false;
            std::string_view l = logical;
            if (first && l.size() >= 3 && static_cast<unsigned char>(l[0]) == 0xEF &&
                static_cast<unsigned char>(l[1]) == 0xBB &&
                static_cast<unsigned char>(l[2]) == 0xBF) {
                l.remove_prefix(3);  // a UTF-8 byte order mark
            }
            if (l.empty() || l.front() == ';')
                continue;
            if (first && (l == "REGEDIT4" || l == "Windows Registry Editor Version 5.00"))
                continue;
            if (!(l.front() == '[' ? KeyLine(l, root, &key) : ValueLine(l, key, first_line)))
                return false;
        }
        return true;
    }
};

std::string Escape(std::u16string_view s) {
    std::string out;
    for (char c : support::Utf8(s)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// A string that the quoted form can carry: no NUL and no control characters inside.
bool Printable(std::u16string_view s) {
    for (char16_t c : s) {
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return support::Utf16(support::Utf8(s)) == s;
}

std::optional<std::vector<std::u16string>> Strings(const std::vector<BYTE>& data, bool multi) {
    if (data.size() % 2 != 0 || data.size() < 2)
        return std::nullopt;
    std::u16string all = support::CodeUnits(data);
    if (all.back() != 0)
        return std::nullopt;
    all.pop_back();
    std::vector<std::u16string> out;
    if (!multi) {
        if (!Printable(all))
            return std::nullopt;
        out.push_back(all);
        return out;
    }
    if (all.empty())
        return out;
    if (all.back() != 0)
        return std::nullopt;
    all.pop_back();
    size_t start = 0;
    while (start <= all.size()) {
        size_t zero = all.find(u'\0', start);
        if (zero == std::u16string::npos)
            zero = all.size();
        std::u16string part = all.substr(start, zero - start);
        if (part.empty() || !Printable(part))
            return std::nullopt;
        out.push_back(part);
        start = zero + 1;
    }
    return out;
}

// Appends the text escaped, between double quotes. Appended piece by piece: building
// "\"" + Escape(text) makes GCC 12 at -O3 warn falsely (-Wrestrict) about the insertion at the
// front of the string.
void AppendQuoted(std::string* out, std::u16string_view text) {
    *out += '"';
    *out += Escape(text);
    *out += '"';
}

void FormatValue(std::string* out, const RegKey::Named& v) {
    if (v.name.empty())
        *out += "@";
    else
        AppendQuoted(out, v.name);
    *out += "=";
    const std::vector<BYTE>& d = v.value.data;
    if (v.value.type == REG_DWORD && d.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(support::DwordOf(d)));
        *out += buf;
    } else if (auto s = v.value.type == REG_SZ ? Strings(d, false) : std::nullopt) {
        AppendQuoted(out, (*s)[0]);
    } else if (auto m = v.value.type == REG_MULTI_SZ ? Strings(d, true) : std::nullopt) {
        *out += "multi_sz:";
        for (size_t i = 0; i < m->size(); ++i) {
            if (i)
                *out += ",";
            AppendQuoted(out, (*m)[i]);
        }
    } else {
        char buf[32];
        if (v.value.type == REG_BINARY) {
            *out += "hex:";
        } else {
            std::snprintf(buf, sizeof buf, "hex(%x):", v.value.type);
            *out += buf;
        }
        for (size_t i = 0; i < d.size(); ++i) {
            std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", d[i]);
            *out += buf;
        }
    }
    *out += "\n";
}

void FormatKey(std::string* out, const RegKey& key, const std::string& path) {
    if (!path.empty() || !key.values.empty()) {
        *out += "\n[" + std::string(kRoot) + path + "]\n";
        for (const auto& [folded, v] : key.values)
            FormatValue(out, v);
    }
    for (const auto& [folded, child] : key.keys) {
        FormatKey(out, *child.key, path + "\\" + support::Utf8(child.name));
    }
}

}  // namespace

bool ParseReg(std::string_view text, std::string_view file_name, RegKey* root, std::string* error) {
    RegKey parsed;
    Parser p{file_name, 0, error};
    if (!p.Parse(text, &parsed))
        return false;
    root->Merge(parsed);
    return true;
}

std::string FormatReg(const RegKey& root) {
    std::string out = "; Simulated Windows CE registry hive\n";
    FormatKey(&out, root, "");
    return out;
}

}  // namespace coredll::detail
