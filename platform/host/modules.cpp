// Modules: LoadLibraryW and its kin over the host's dynamic loader, with Windows' rules for
// handles, reference counts and a DllMain that refuses the attach.
#include "internal.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <map>
#include <mutex>

namespace coredll::detail {
namespace {

struct Modules {
    std::mutex mu;
    std::vector<HMODULE> thread_calls_disabled;
    std::filesystem::path search_path = ".";
    struct Module {
        void* dl;
        int refs;
    };
    std::map<HMODULE, Module> loaded;
};

Modules& Mods() {
    static Modules* modules = new Modules;  // never destroyed: threads may outlive main
    return *modules;
}

// "Timeward.dll" is the host's "<search path>/libTimeward.so".
std::filesystem::path HostFileFor(std::u16string_view dll) {
    std::string name = Utf8(dll);
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0) {
        name.resize(name.size() - 4);
    }
    std::lock_guard<std::mutex> lock(Mods().mu);
    return Mods().search_path / ("lib" + name + ".so");
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
    Mods().search_path = dir;
}

std::vector<HMODULE> ThreadCallsDisabled() {
    std::lock_guard<std::mutex> lock(Mods().mu);
    return Mods().thread_calls_disabled;
}

bool IsLoaded(std::u16string_view dll_name) {
    void* dl = dlopen(HostFileFor(dll_name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!dl)
        return false;
    dlclose(dl);
    return true;
}

}  // namespace coredll::modules

COREDLL_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Mods().mu);
    Mods().thread_calls_disabled.push_back(hLibModule);
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
    auto [it, fresh] = Mods().loaded.try_emplace(h, Modules::Module{dl, 0});
    it->second.refs++;
    if (!fresh)
        dlclose(dl);  // one dl reference per module, counted here
    return h;
}

COREDLL_API FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    void* dl;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().loaded.find(hModule);
        if (it == Mods().loaded.end() || !lpProcName) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        dl = it->second.dl;
    }
    void* sym = dlsym(dl, Utf8(lpProcName).c_str());
    if (!sym)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return sym;
}

COREDLL_API BOOL FreeLibrary(HMODULE hLibModule) {
    void* dl = nullptr;
    {
        std::lock_guard<std::mutex> lock(Mods().mu);
        auto it = Mods().loaded.find(hLibModule);
        if (it == Mods().loaded.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second.refs == 0) {
            dl = it->second.dl;
            Mods().loaded.erase(it);
        }
    }
    if (dl)
        dlclose(dl);  // outside the lock: the module's detach runs here
    return TRUE;
}
