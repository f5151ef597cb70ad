// For compile checks off the device only: Windows CE 5.0's windows.h, as far as the driver and
// timewardctl use it. The declarations are CE 5.0's own, each with a comment that names the row
// of docs/developers.md's table "The device's declarations" it comes from (by the row's first
// name); nothing of the desktop's windows.h is read, so a call that is not there does not
// compile, and the error names it.
//
// Like the device's, it brings no winioctl.h, kfuncs.h, dbgapi.h, pkfuncs.h, pm.h or notify.h:
// the Windows CE backend includes each itself.
#ifndef TIMEWARD_SDK_CHECK_WINDOWS_H
#define TIMEWARD_SDK_CHECK_WINDOWS_H

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"

#endif  // TIMEWARD_SDK_CHECK_WINDOWS_H
