// What the simulated device holds while it is off, and what its next boot will do.
#ifndef TIMEWARD_SIM_STATUS_H
#define TIMEWARD_SIM_STATUS_H

#include <string>

#include "device.h"

namespace tws {

// Prints the state of a device at rest: its clock, the stored snapshot, the switch, its image
// and the decision the driver will make at the next boot, as text or as one JSON object. The
// hive must be loaded into the simulated registry; the driver's own readers decode it.
void PrintStatus(const Device& device, const Rtc& rtc, const Image& image, bool json);

}  // namespace tws

#endif  // TIMEWARD_SIM_STATUS_H
