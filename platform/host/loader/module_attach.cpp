// Host loader glue linked into each driver module: calls the module's DllMain on load and
// unload with the module's own instance handle, as the Windows CE loader does.
#include <dlfcn.h>

#include <timeward_backend.h>

typedef BOOL(WINAPI* DllMainProc)(HANDLE, DWORD, LPVOID);
// The core library's loader keeps the module's data as it is before the attach, so that it can
// load the module again without the host's loader; and learns DllMain's answer to the attach,
// as Windows' loader does.
extern "C" void CoredllModuleLoading(HINSTANCE hinstDLL, DllMainProc pfnDllMain);
extern "C" void CoredllModuleAttached(BOOL fAttached);
// Whether the module's detach is still to run as the host unloads it: not when the core
// library's loader has run it already.
extern "C" BOOL CoredllModuleUnloading(HINSTANCE hinstDLL);

namespace {

char g_anchor;

// As on Windows, the instance handle is the module's base address.
HINSTANCE ModuleInstance() {
    Dl_info info;
    if (!dladdr(&g_anchor, &info)) {
        return NULL;
    }
    return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void AttachModule() {
    CoredllModuleLoading(ModuleInstance(), DllMain);
    CoredllModuleAttached(DllMain(ModuleInstance(), DLL_PROCESS_ATTACH, NULL));
}

__attribute__((destructor)) void DetachModule() {
    if (CoredllModuleUnloading(ModuleInstance())) {
        DllMain(ModuleInstance(), DLL_PROCESS_DETACH, NULL);
    }
}

}  // namespace
