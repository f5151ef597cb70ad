// Windows CE backend: the platform's own headers. The driver calls COREDLL directly.
#ifndef TIMEWARD_WINCE_BACKEND_H
#define TIMEWARD_WINCE_BACKEND_H

#include <windows.h>
#include <kfuncs.h>   // EventModify, EVENT_SET
#include <pkfuncs.h>  // NKDbgPrintfW, CeSafeCopyMemory
#include <pm.h>       // POWER_CAPABILITIES, CEDEVICE_POWER_STATE, IOCTL_POWER_*

#endif  // TIMEWARD_WINCE_BACKEND_H
