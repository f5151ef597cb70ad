// The module's load handling and its stream entry points, all but the power requests.
#include "timeward.h"

#include "power.h"
#include "saver.h"
#include "startup.h"

extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    (void)lpvReserved;
    if (fdwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls((HMODULE)hinstDLL);
        InitSaverLock();
        SetSaverModule((HMODULE)hinstDLL);
    } else if (fdwReason == DLL_PROCESS_DETACH) {
        DeleteSaverLock();
    }
    return TRUE;
}

extern "C" DWORD RTC_Init(LPCTSTR pContext, LPCVOID lpvBusContext) {
    (void)pContext;
    (void)lpvBusContext;
    // What the platform calls leave in the last-error code (an event that already existed, a
    // clock that could not be set) is not the caller's business.
    const DWORD dwError = GetLastError();
    BOOL fFirstInstance = FALSE;
    const DWORD dwContext = StartClockKeeping(&fFirstInstance);
    // The Power Manager may hold another instance in D4: only a start from none begins in D0.
    if (fFirstInstance) {
        ResetPowerState();
    }
    SetLastError(dwError);
    return dwContext;
}

extern "C" BOOL RTC_Deinit(DWORD hDeviceContext) {
    // Any other context was never handed out: nothing to undo. For the last instance the
    // Device Manager unloads the module next, and StopSaver returns only once no saver runs.
    if (hDeviceContext != DEVICE_CONTEXT) {
        return FALSE;
    }
    // A stop that ends an old saver starts the saver of an instance that began meanwhile, and
    // what that leaves in the last-error code is not the caller's business either.
    const DWORD dwError = GetLastError();
    const BOOL fStopped = StopSaver();
    SetLastError(dwError);
    return fStopped;
}

extern "C" DWORD RTC_Open(DWORD hDeviceContext, DWORD AccessCode, DWORD ShareMode) {
    (void)hDeviceContext;
    (void)AccessCode;
    (void)ShareMode;
    return 1;
}

extern "C" BOOL RTC_Close(DWORD hOpenContext) {
    (void)hOpenContext;
    return TRUE;
}

extern "C" DWORD RTC_Read(DWORD hOpenContext, LPVOID pBuffer, DWORD Count) {
    (void)hOpenContext;
    (void)pBuffer;
    (void)Count;
    return 1;
}

extern "C" DWORD RTC_Write(DWORD hOpenContext, LPCVOID pBuffer, DWORD Count) {
    (void)hOpenContext;
    (void)pBuffer;
    (void)Count;
    return 1;
}

extern "C" DWORD RTC_Seek(DWORD hOpenContext, LONG Amount, DWORD Type) {
    (void)hOpenContext;
    (void)Amount;
    (void)Type;
    return 1;
}

extern "C" void RTC_PowerUp(DWORD hDeviceContext) {
    (void)hDeviceContext;
}

extern "C" void RTC_PowerDown(DWORD hDeviceContext) {
    (void)hDeviceContext;
}
