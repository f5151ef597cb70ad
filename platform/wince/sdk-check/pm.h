// For compile checks off the device only: Windows CE 5.0's pm.h, the Power Manager's
// declarations. Row IOCTL_POWER_*: its codes are built from winioctl.h's CTL_CODE, which it
// does not include, so a source that uses them includes <winioctl.h> first.
#ifndef TIMEWARD_SDK_CHECK_PM_H
#define TIMEWARD_SDK_CHECK_PM_H

#include "windef.h"

#include "power_manager.h"

#endif  // TIMEWARD_SDK_CHECK_PM_H
