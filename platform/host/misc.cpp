// The rest of the simulated core library: debug output, last-error code, modules, and the
// reset that brings the whole library back to its state at load.
#include "internal.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sim::detail {
namespace {

struct Records {
    std::mutex mu;
    std::vector<debug::Line> lines;
    bool echo = true;
    std::function<void(const debug::Line&)> listener;
    std::vector<HMODULE> thread_calls_disabled;
    std::filesystem::path search_path = ".";
    struct Module {
        void* dl;
        int refs;
    };
    std::map<HMODULE, Module> modules;
};

Records& Rec() {
    static Records* records = new Records;  // never destroyed: threads may outlive main
    return *records;
}

thread_local DWORD t_last_error = 0;

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

// The kernel debug print's format: %s (wide), %S (narrow), %c, %d, %i, %u, %x, %X, %%, with
// an optional '0' flag, a width and 'l' or 'h' size letters, which change nothing here.
std::u16string Format(const char16_t* fmt, va_list args) {
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
                out += Utf16(s ? s : "(null)");
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

}  // namespace

void ResetRecords() {
    Records& r = Rec();
    std::lock_guard<std::mutex> lock(r.mu);
    r.lines.clear();
    r.echo = true;
    r.listener = nullptr;
    r.thread_calls_disabled.clear();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim {

void Reset() {
    ResetKernel();
    ResetRegistry();
    ResetRecords();
    ResetGuardedCopy();
}

namespace debug {

std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(Rec().mu);
    return Rec().lines;
}

std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const Line& l : Lines())
        out.push_back(Utf8(l.text));
    return out;
}

void Clear() {
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().lines.clear();
}

void EchoToStderr(bool echo) {
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().echo = echo;
}

void SetListener(std::function<void(const Line&)> listener) {
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().listener = std::move(listener);
}

}  // namespace debug

namespace modules {

void SetSearchPath(const std::filesystem::path& dir) {
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().search_path = dir;
}

std::vector<HMODULE> ThreadCallsDisabled() {
    std::lock_guard<std::mutex> lock(Rec().mu);
    return Rec().thread_calls_disabled;
}

}  // namespace modules

}  // namespace sim

namespace {

// "Timeward.dll" is the host's "<search path>/libTimeward.so".
std::filesystem::path HostFileFor(std::u16string_view dll) {
    std::string name = Utf8(dll);
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0) {
        name.resize(name.size() - 4);
    }
    std::lock_guard<std::mutex> lock(Rec().mu);
    return Rec().search_path / ("lib" + name + ".so");
}

}  // namespace

bool sim::modules::IsLoaded(std::u16string_view dll_name) {
    void* dl = dlopen(HostFileFor(dll_name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!dl)
        return false;
    dlclose(dl);
    return true;
}

COREDLL_API void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    if (!lpszFmt)
        return;
    va_list args;
    va_start(args, lpszFmt);
    debug::Line line{VirtualNowMs(), WallNow(), Format(lpszFmt, args)};
    va_end(args);
    Records& r = Rec();
    std::function<void(const debug::Line&)> listener;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.lines.push_back(line);
        listener = r.listener;
        if (r.echo) {
            std::string text = Utf8(line.text);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    if (listener)
        listener(line);
}

COREDLL_API void SetLastError(DWORD dwErrCode) {
    t_last_error = dwErrCode;
}

COREDLL_API DWORD GetLastError(void) {
    return t_last_error;
}

COREDLL_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Rec().mu);
    Rec().thread_calls_disabled.push_back(hLibModule);
    return TRUE;
}

// Whether the DllMain of the module this thread is loading refused the attach.
thread_local bool t_attach_refused = false;

COREDLL_API void CoredllModuleAttached(BOOL fAttached) {
    t_attach_refused = !fAttached;
}

COREDLL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    t_attach_refused = false;
    void* dl = dlopen(HostFileFor(lpLibFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl && t_attach_refused) {
        // As on Windows: a DllMain that fails the attach fails the load, and the module is
        // detached and unloaded again.
        t_attach_refused = false;
        dlclose(dl);
        SetLastError(1114);  // ERROR_DLL_INIT_FAILED
        return nullptr;
    }
    link_map* map = nullptr;
    if (!dl || dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) {
        if (dl)
            dlclose(dl);
        SetLastError(126);  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    // As on Windows, the module handle is the module's base address.
    HMODULE h = reinterpret_cast<HMODULE>(map->l_addr);
    std::lock_guard<std::mutex> lock(Rec().mu);
    auto [it, fresh] = Rec().modules.try_emplace(h, Records::Module{dl, 0});
    it->second.refs++;
    if (!fresh)
        dlclose(dl);  // one dl reference per module, counted here
    return h;
}

COREDLL_API FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    void* dl;
    {
        std::lock_guard<std::mutex> lock(Rec().mu);
        auto it = Rec().modules.find(hModule);
        if (it == Rec().modules.end() || !lpProcName) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        dl = it->second.dl;
    }
    void* sym = dlsym(dl, Utf8(lpProcName).c_str());
    if (!sym)
        SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return sym;
}

COREDLL_API BOOL FreeLibrary(HMODULE hLibModule) {
    void* dl = nullptr;
    {
        std::lock_guard<std::mutex> lock(Rec().mu);
        auto it = Rec().modules.find(hLibModule);
        if (it == Rec().modules.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second.refs == 0) {
            dl = it->second.dl;
            Rec().modules.erase(it);
        }
    }
    if (dl)
        dlclose(dl);  // outside the lock: the module's detach runs here
    return TRUE;
}
