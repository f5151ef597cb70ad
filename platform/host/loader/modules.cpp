// Modules: LoadLibraryW and its kin over the host's dynamic loader, with Windows' rules for
// handles, reference counts and a DllMain that refuses the attach.
#include "deterministic.h"
#include "loader.h"
#include "notifications.h"
#include "self.h"
#include "support/text.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

typedef BOOL (*DllMainProc)(HANDLE, DWORD, LPVOID);

namespace coredll::detail {
namespace {

struct Modules {
    std::mutex mu;
    std::vector<HMODULE> thread_calls_disabled;
    std::filesystem::path search_path = ".";
    struct Module {
        void* dl;
        int refs;
        std::u16string file;  // the name it was loaded by, which loads it again
        bool pinned;          // the core library itself: never unloaded
        std::string host;     // the host's file
    };
    std::map<HMODULE, Module> loaded;
    // A driver module's writable data as the host's loader left it before the attach. Once its
    // last reference is freed the module is detached but stays mapped ("parked"); loading it
    // again restores that data and attaches it anew: a fresh module, as a reload gives, without
    // the host's loader mapping the file again each time.
    struct Image {
        DllMainProc dll_main;
        std::vector<std::pair<char*, std::vector<char>>> data;
        void* dl = nullptr;  // while parked
        bool parked = false;
        std::map<std::string, void*, std::less<>> procs;  // GetProcAddressW's answers so far
    };
    std::map<HMODULE, Image> images;
    std::map<std::string, HMODULE> parked;  // by the host's file
    // HostFileFor's answers since the search path last changed, kept across resets as the
    // search path is: resolving links costs a system call per part of the path.
    std::map<std::u16string, std::filesystem::path, std::less<>> host_files;
};

Modules& Mods() {
    static Modules* modules = new Modules;  // never destroyed: threads may outlive main
    return *modules;
}

// A module name without its directory: "\\Windows\\Timeward.dll" is "Timeward.dll".
std::string BaseName(std::u16string_view dll) {
    std::string name = support::Utf8(dll);
    size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// "Timeward.dll" is the host's "<search path>/libTimeward.so".
std::filesystem::path HostFileFor(std::u16string_view dll) {
    std::filesystem::path file;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto known = Mods().host_files.find(dll);
        if (known != Mods().host_files.end())
            return known->second;
        std::string name = BaseName(dll);
        if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0)
            name.resize(name.size() - 4);
        file = Mods().search_path / ("lib" + name + ".so");
    }
    // The file itself, whatever link names it: two names of one file are one module, as the
    // host's loader counts them, and a module kept mapped is found again by either. A file not
    // found is not remembered: it may appear.
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(file, ec);
    if (ec)
        return file;
    std::lock_guard<std::mutex> lock(Mods().mu);
    Mods().host_files.emplace(dll, real);
    return real;
}

constexpr std::u16string_view kCoreLibrary = u"coredll.dll";
constexpr std::string_view kRunAppAtEvent = "CeRunAppAtEvent";

// The core library, as GetModuleHandleW finds it: this library itself. Under the lock.
HMODULE CoreLibraryLocked() {
    static Dl_info info;  // where this library is mapped does not change: asked once
    static const bool found = dladdr(reinterpret_cast<void*>(&GetModuleHandleW), &info) != 0;
    if (!found)
        return nullptr;
    HMODULE h = static_cast<HMODULE>(info.dli_fbase);
    if (!Mods().loaded.count(h)) {
        void* dl = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (!dl)
            return nullptr;
        Mods().loaded.emplace(h, Modules::Module{dl, 1, std::u16string(kCoreLibrary), true, ""});
    }
    return h;
}

// Copies a module's data byte by byte: the range holds the red zones that AddressSanitizer
// poisons between globals, which no sanitized copy may touch.
__attribute__((no_sanitize("address", "thread"))) void CopyRaw(char* to, const char* from,
                                                               size_t n) {
    for (size_t i = 0; i < n; ++i)
        static_cast<volatile char*>(to)[i] = static_cast<const volatile char*>(from)[i];
}

// The writable ranges of the module at `base`: its writable segments less what is read-only
// after relocation.
int AddWritable(dl_phdr_info* info, size_t, void* data) {
    auto* image = static_cast<Modules::Image*>(data);
    if (!image->data.empty() || !image->dl)
        return 0;
    if (reinterpret_cast<void*>(info->dlpi_addr) != image->dl)
        return 0;
    uintptr_t relro_from = 0, relro_to = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_GNU_RELRO) {
            relro_from = info->dlpi_addr + ph.p_vaddr;
            relro_to = relro_from + ph.p_memsz;
        }
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_W))
            continue;
        uintptr_t from = info->dlpi_addr + ph.p_vaddr;
        const uintptr_t to = from + ph.p_memsz;
        if (relro_from <= from && from < relro_to)
            from = std::min(to, (relro_to + 4095) & ~uintptr_t{4095});
        char* at = reinterpret_cast<char*>(from);
        std::vector<char> bytes(to - from);
        CopyRaw(bytes.data(), at, bytes.size());
        image->data.emplace_back(at, std::move(bytes));
    }
    return 1;
}

}  // namespace

void ResetModules() {
    Modules& m = Mods();
    std::lock_guard<std::mutex> lock(m.mu);
    m.thread_calls_disabled.clear();
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

namespace coredll::modules {

void SetSearchPath(const std::filesystem::path& dir) {
    std::lock_guard<std::mutex> lock(Mods().mu);
    if (Mods().search_path != dir)
        Mods().host_files.clear();
    Mods().search_path = dir;
}

std::vector<HMODULE> ThreadCallsDisabled() {
    std::lock_guard<std::mutex> lock(Mods().mu);
    return Mods().thread_calls_disabled;
}

int References(HMODULE module) {
    std::lock_guard<std::mutex> lock(Mods().mu);
    auto it = Mods().loaded.find(module);
    return it == Mods().loaded.end() ? 0 : it->second.refs;
}

bool IsLoaded(std::u16string_view dll_name) {
    const std::string host = HostFileFor(dll_name).string();
    {
        // A parked module is mapped still, but unloaded as far as its callers can tell.
        std::lock_guard<std::mutex> lock(Mods().mu);
        if (Mods().parked.count(host))
            return false;
    }
    void* dl = dlopen(host.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!dl)
        return false;
    dlclose(dl);
    return true;
}

}  // namespace coredll::modules

// Each module call is a scheduling point, before it takes the loader lock or looks at the list of
// modules: another thread may load or free a module first.
COREDLL_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
    SchedulePoint("DisableThreadLibraryCalls");
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Mods().mu);
    Mods().thread_calls_disabled.push_back(hLibModule);
    return TRUE;
}

COREDLL_API void CoredllModuleLoading(HINSTANCE hinstDLL, DllMainProc pfnDllMain) {
    Modules::Image image;
    image.dll_main = pfnDllMain;
    image.dl = hinstDLL;  // the base, while the data are found
    dl_iterate_phdr(AddWritable, &image);
    image.dl = nullptr;
    std::lock_guard<std::mutex> lock(Mods().mu);
    Mods().images[hinstDLL] = std::move(image);
}

COREDLL_API BOOL CoredllModuleUnloading(HINSTANCE hinstDLL) {
    std::lock_guard<std::mutex> lock(Mods().mu);
    auto it = Mods().images.find(hinstDLL);
    const bool detached = it != Mods().images.end() && it->second.parked;
    if (it != Mods().images.end())
        Mods().images.erase(it);
    return !detached;
}

COREDLL_API void CoredllModuleAttached(BOOL fAttached) {
    Self().attach_refused = !fAttached;
}

namespace {

// Loads the module parked for `host` again, if one is: its data as before its first attach,
// then the attach. Null when none is parked, or when its DllMain refuses the attach (then
// attach_refused is set and it stays parked).
HMODULE Unpark(const std::string& host, LPCWSTR file) {
    Self().attach_refused = false;
    Modules::Image* image;
    HMODULE h;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().parked.find(host);
        if (it == Mods().parked.end())
            return nullptr;
        h = it->second;
        Mods().parked.erase(it);
        image = &Mods().images.at(h);
        image->parked = false;
    }
    for (auto& [at, bytes] : image->data)
        CopyRaw(at, bytes.data(), bytes.size());
    if (!image->dll_main(h, DLL_PROCESS_ATTACH, nullptr)) {
        // As on Windows: a DllMain that fails the attach is detached again.
        image->dll_main(h, DLL_PROCESS_DETACH, nullptr);
        std::lock_guard<std::mutex> lock(Mods().mu);
        image->parked = true;
        Mods().parked[host] = h;
        Self().attach_refused = true;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(Mods().mu);
    Mods().loaded.try_emplace(h, Modules::Module{image->dl, 1, file, false, host});
    image->dl = nullptr;
    return h;
}

// LoadLibraryW's work, under the loader lock.
HMODULE LoadLibraryLocked(LPCWSTR lpLibFileName) {
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string host = HostFileFor(lpLibFileName).string();
    if (HMODULE h = Unpark(host, lpLibFileName))
        return h;
    if (Self().attach_refused) {
        Self().attach_refused = false;
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    void* dl = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl && Self().attach_refused) {
        // As on Windows: a DllMain that fails the attach fails the load, and the module is
        // detached and unloaded again.
        Self().attach_refused = false;
        dlclose(dl);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    link_map* map = nullptr;
    if (!dl || dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) {
        if (dl)
            dlclose(dl);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // As on Windows, the module handle is the module's base address.
    HMODULE h = reinterpret_cast<HMODULE>(map->l_addr);
    std::lock_guard<std::mutex> lock(Mods().mu);
    auto [it, fresh] = Mods().loaded.try_emplace(
        h, Modules::Module{dl, 0, std::u16string(lpLibFileName), false, host});
    it->second.refs++;
    if (!fresh)
        dlclose(dl);  // one dl reference per module, counted here
    return h;
}

}  // namespace

COREDLL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    SchedulePoint("LoadLibraryW");
    EnterLoaderLock();
    const HMODULE h = LoadLibraryLocked(lpLibFileName);
    LeaveLoaderLock();
    return h;
}

COREDLL_API FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    void* dl;
    bool core;
    if (!lpProcName) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::string name = support::Utf8(lpProcName);
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().loaded.find(hModule);
        if (it == Mods().loaded.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        dl = it->second.dl;
        core = it->second.pinned;
        // A driver module's exports are where they were at its first load: it stays mapped.
        auto image = Mods().images.find(hModule);
        if (image != Mods().images.end()) {
            auto known = image->second.procs.find(name);
            if (known != image->second.procs.end())
                return reinterpret_cast<FARPROC>(known->second);
        }
    }
    void* sym = core && name == kRunAppAtEvent && NotificationsLeftOut() ? nullptr
                                                                         : dlsym(dl, name.c_str());
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(Mods().mu);
    auto image = Mods().images.find(hModule);
    if (image != Mods().images.end())
        image->second.procs.emplace(name, sym);
    return reinterpret_cast<FARPROC>(sym);
}

COREDLL_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    SchedulePoint("GetModuleFileNameW");
    std::u16string file;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().loaded.find(hModule);
        if (it == Mods().loaded.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);  // the program itself is no module here
            return 0;
        }
        file = it->second.file;
    }
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // As on Windows, a name too long for the buffer is cut short and still terminated.
    const DWORD n = std::min<DWORD>(static_cast<DWORD>(file.size()), nSize - 1);
    std::copy_n(file.data(), n, lpFilename);
    lpFilename[n] = u'\0';
    return n;
}

COREDLL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    SchedulePoint("GetModuleHandleW");
    if (!lpModuleName) {
        SetLastError(ERROR_MOD_NOT_FOUND);  // the program itself is no module here
        return nullptr;
    }
    const std::string name = BaseName(lpModuleName);
    std::lock_guard<std::mutex> lock(Mods().mu);
    static const std::string core = support::Utf8(kCoreLibrary);
    if (strcasecmp(name.c_str(), core.c_str()) == 0)
        return CoreLibraryLocked();
    for (const auto& [h, module] : Mods().loaded) {
        if (strcasecmp(name.c_str(), BaseName(module.file).c_str()) == 0)
            return h;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

namespace {

// FreeLibrary's work, under the loader lock.
BOOL FreeLibraryLocked(HMODULE hLibModule) {
    void* dl = nullptr;
    DllMainProc dll_main = nullptr;
    const std::vector<std::pair<char*, std::vector<char>>>* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().loaded.find(hLibModule);
        if (it == Mods().loaded.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (it->second.pinned)
            return TRUE;
        if (--it->second.refs == 0) {
            dl = it->second.dl;
            auto image = Mods().images.find(hLibModule);
            if (image != Mods().images.end()) {
                image->second.parked = true;
                image->second.dl = dl;
                Mods().parked[it->second.host] = hLibModule;
                dll_main = image->second.dll_main;
                data = &image->second.data;
            }
            Mods().loaded.erase(it);
        }
    }
    // Outside the lock: the module's detach runs here.
    if (dll_main) {
        dll_main(hLibModule, DLL_PROCESS_DETACH, nullptr);
        // Its writable data go with it: a section there still initialised leaks what the
        // kernel keeps for it, at every load.
        for (const auto& [at, bytes] : *data) {
            if (AnySectionLiveIn(at, bytes.size()))
                LockMisuse("a module's detach left a critical section of its own not deleted");
        }
    } else if (dl)
        dlclose(dl);
    return TRUE;
}

}  // namespace

BOOL coredll::detail::FreeModule(HMODULE hLibModule) {
    EnterLoaderLock();
    const BOOL freed = FreeLibraryLocked(hLibModule);
    LeaveLoaderLock();
    return freed;
}

COREDLL_API BOOL FreeLibrary(HMODULE hLibModule) {
    SchedulePoint("FreeLibrary");
    return FreeModule(hLibModule);
}

COREDLL_API void FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode) {
    SchedulePoint("FreeLibraryAndExitThread");
    ThreadState& self = Self();
    if (!self.exit) {
        std::fprintf(stderr,
                     "simulated kernel: FreeLibraryAndExitThread on a thread that "
                     "CreateThread did not start\n");
        std::abort();
    }
    FreeModule(hLibModule);
    self.exit_code = dwExitCode;
    std::longjmp(*self.exit, 1);
}
