// The module's load handling and its stream entry points, all but the power requests.
#include "timeward.h"

#include "power.h"
#include "saver.h"
#include "startup.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    (void)lpvReserved;
    if (fdwReason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls((HMODULE)hinstDLL);
        InitSaverLock();
    } else if (fdwReason == DLL_PROCESS_DETACH) {
        DeleteSaverLock();
    }
    return TRUE;
}

extern "C" DWORD RTC_Init(LPCTSTR pContext, LPCVOID lpvBusContext) {
    (void)pContext;
    (void)lpvBusContext;
    const DWORD dwContext = StartClockKeeping();
    if (dwContext != 0) {
        ResetPowerState();
    }
    return dwContext;
}

extern "C" BOOL RTC_Deinit(DWORD hDeviceContext) {
    // Any other context was never handed out: nothing to undo. For the last instance the
    // Device Manager unloads the module next, and StopSaver returns only once no saver runs.
    if (hDeviceContext != DEVICE_CONTEXT) {
        return FALSE;
    }
    return StopSaver();
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
