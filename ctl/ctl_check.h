// timewardctl check: the integrator's check-out of the driver on the device.
#ifndef TIMEWARD_CTL_CHECK_H
#define TIMEWARD_CTL_CHECK_H

#include "platform.h"

// One line per check, each PASS or FAIL, and on FAIL what to change; as JSON with fJson.
// Returns the program's exit status.
int CheckCommand(BOOL fJson);

#endif  // TIMEWARD_CTL_CHECK_H
