// For compile checks off the device only: the declarations of the Windows CE 5 SDK's
// kfuncs.h that the driver uses, as that header declares them. Platform Builder builds use
// the SDK's own header.
#pragma once

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

extern "C" BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);
