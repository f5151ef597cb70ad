// Host loader glue linked into each driver module: calls the module's DllMain on load and
// unload with the module's own instance handle, as the Windows CE loader does.
#include <dlfcn.h>

#include <timeward_backend.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
// The core library's loader learns DllMain's answer to the attach, as Windows' loader does.
extern "C" void CoredllModuleAttached(BOOL fAttached);

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
    CoredllModuleAttached(DllMain(ModuleInstance(), DLL_PROCESS_ATTACH, NULL));
}

__attribute__((destructor)) void DetachModule() {
    DllMain(ModuleInstance(), DLL_PROCESS_DETACH, NULL);
}

}  // namespace
