// The device power state the driver last accepted, for IOCTL_POWER_GET.
#ifndef TIMEWARD_DRIVER_POWER_H
#define TIMEWARD_DRIVER_POWER_H

#include "platform.h"

extern "C" {

// Back to D0, as after a fresh initialisation.
void ResetPowerState(void);

}  // extern "C"

#endif  // TIMEWARD_DRIVER_POWER_H
