// UTF-8 and UTF-16 conversion, and names matched without regard to case.
#include "text.h"

#include <algorithm>
#include <cstdint>

namespace support {
namespace {

template <typename Char>
bool EqualIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    auto up = [](Char c) { return c >= Char('a') && c <= Char('z') ? Char(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](Char x, Char y) { return up(x) == up(y); });
}

}  // namespace

bool IEquals(std::string_view a, std::string_view b) {
    return EqualIgnoringCase(a, b);
}

bool IEquals(std::u16string_view a, std::u16string_view b) {
    return EqualIgnoringCase(a, b);
}

std::u16string Utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = c < 0x80           ? 1
                     : (c >> 5) == 0x6  ? 2
                     : (c >> 4) == 0xE  ? 3
                     : (c >> 3) == 0x1E ? 4
                                        : 0;
        if (len == 1) {
            cp = c;
        } else if (len > 1 && i + len <= s.size()) {
            cp = c & (0xFF >> (len + 1));
            bool ok = true;
            for (size_t k = 1; k < len; ++k) {
                unsigned char n = static_cast<unsigned char>(s[i + k]);
                if ((n >> 6) != 0x2) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (n & 0x3F);
            }
            static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD;
                len = 1;
            }
        } else {
            len = 1;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace support
