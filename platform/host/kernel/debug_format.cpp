// The kernel debug print's format engine: the conversions NKDbgPrintfW takes, to UTF-16 text.
#include "internal.h"
#include "support/text.h"

namespace coredll::detail {
namespace {

void AppendNumber(std::u16string* out, unsigned long long v, bool negative, int base, bool upper,
                  int width, char pad) {
    char buf[32];
    int n = 0;
    do {
        unsigned d = static_cast<unsigned>(v % static_cast<unsigned>(base));
        buf[n++] = static_cast<char>(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
        v /= static_cast<unsigned>(base);
    } while (v && n < 30);
    if (negative)
        buf[n++] = '-';
    for (int i = n; i < width; ++i)
        out->push_back(static_cast<char16_t>(pad));
    while (n)
        out->push_back(static_cast<char16_t>(buf[--n]));
}

}  // namespace

std::u16string FormatDebugText(const char16_t* fmt, va_list args) {
    std::u16string out;
    for (const char16_t* p = fmt; *p; ++p) {
        if (*p != u'%') {
            out.push_back(*p);
            continue;
        }
        const char16_t* start = p++;
        char pad = ' ';
        if (*p == u'0') {
            pad = '0';
            ++p;
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9')
            width = width * 10 + (*p++ - u'0');
        while (*p == u'l' || *p == u'h')
            ++p;
        switch (*p) {
            case u'%':
                out.push_back(u'%');
                break;
            case u's': {
                const char16_t* s = va_arg(args, const char16_t*);
                out += s ? s : u"(null)";
                break;
            }
            case u'S': {
                const char* s = va_arg(args, const char*);
                out += support::Utf16(s ? s : "(null)");
                break;
            }
            case u'c':
                out.push_back(static_cast<char16_t>(va_arg(args, int)));
                break;
            case u'd':
            case u'i': {
                int v = va_arg(args, int);
                AppendNumber(&out,
                             v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                   : static_cast<unsigned long long>(v),
                             v < 0, 10, false, width, pad);
                break;
            }
            case u'u':
                AppendNumber(&out, va_arg(args, unsigned), false, 10, false, width, pad);
                break;
            case u'x':
            case u'X':
                AppendNumber(&out, va_arg(args, unsigned), false, 16, *p == u'X', width, pad);
                break;
            default:  // not a conversion: keep the text as written
                if (!*p)
                    --p;
                out.append(start, p + 1);
                break;
        }
    }
    return out;
}

}  // namespace coredll::detail
