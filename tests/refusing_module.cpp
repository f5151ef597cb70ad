// A module whose DllMain refuses the process attach, for the loader's tests.
#include <timeward_backend.h>

extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    (void)hinstDLL;
    (void)lpvReserved;
    if (fdwReason == DLL_PROCESS_ATTACH) {
        NKDbgPrintfW(TEXT("attach refused\r\n"));
        return FALSE;
    }
    if (fdwReason == DLL_PROCESS_DETACH) {
        NKDbgPrintfW(TEXT("detach\r\n"));
    }
    return TRUE;
}
