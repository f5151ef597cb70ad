// The device power state of the last IOCTL_POWER_SET that succeeded, for IOCTL_POWER_GET.
#ifndef TIMEWARD_DRIVER_POWER_H
#define TIMEWARD_DRIVER_POWER_H

#include "platform.h"

extern "C" {

// Back to D0, as when the first instance starts.
void ResetPowerState(void);

}  // extern "C"

#endif  // TIMEWARD_DRIVER_POWER_H
