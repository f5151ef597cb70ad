// The stream-driver entry points of the Timeward module, in the shape the Device Manager
// calls them. The module exports exactly these ten (Timeward.def).
#ifndef TIMEWARD_DRIVER_TIMEWARD_H
#define TIMEWARD_DRIVER_TIMEWARD_H

#include "platform.h"

extern "C" {

// Runs the start-up check: 0 refuses initialisation, 1 is the device context.
DWORD RTC_Init(LPCTSTR pContext, LPCVOID lpvBusContext);
// Ends one initialised instance; the last one takes one last snapshot and ends the saver, so
// that the module can be unloaded. FALSE, changing nothing, when no instance is left to end.
BOOL RTC_Deinit(DWORD hDeviceContext);

// The device has no data: open, close, read, write and seek are inert and succeed.
DWORD RTC_Open(DWORD hDeviceContext, DWORD AccessCode, DWORD ShareMode);
BOOL RTC_Close(DWORD hOpenContext);
DWORD RTC_Read(DWORD hOpenContext, LPVOID pBuffer, DWORD Count);
DWORD RTC_Write(DWORD hOpenContext, LPCVOID pBuffer, DWORD Count);
DWORD RTC_Seek(DWORD hOpenContext, LONG Amount, DWORD Type);

// The Power Manager's requests: IOCTL_POWER_CAPABILITIES, IOCTL_POWER_SET, IOCTL_POWER_GET.
BOOL RTC_IOControl(DWORD hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut,
                   DWORD dwLenOut, PDWORD pdwActualOut);

// Nothing to do: the snapshot on the way into a low-power state comes from IOCTL_POWER_SET.
void RTC_PowerUp(DWORD hDeviceContext);
void RTC_PowerDown(DWORD hDeviceContext);

// As the platform declares it: the module's instance handle as a HANDLE.
BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

}  // extern "C"

#endif  // TIMEWARD_DRIVER_TIMEWARD_H
