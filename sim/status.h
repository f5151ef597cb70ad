// What the simulated device holds, and what its next start will do, in the words of the one
// status model that timewardctl renders too.
#ifndef TIMEWARD_SIM_STATUS_H
#define TIMEWARD_SIM_STATUS_H

#include <string>

#include "device.h"

namespace tws {

// The power of a device that another run holds.
inline constexpr char kInUse[] = "in use";

// The device's side of the status: where it is, whether it is on, its image, and, at rest,
// its real-time clock (null while it is on).
struct DeviceState {
    const Device& device;
    const char* power;  // "off", "on", "suspended", or "in use" by another run
    const Rtc* rtc;
    const Image& image;
    // The registry's value writes and flushes since the boot while it is on; of its last time
    // on while it is off; none before its first boot.
    const Wear* wear = nullptr;
};

// Prints the device's lines and the model's, as text or as one JSON object. The hive must be
// loaded into the simulated registry; the model reads it as flushed. `clock` is the clock the
// next start is judged against.
void PrintStatus(const DeviceState& d, const SYSTEMTIME& clock, bool json);

}  // namespace tws

#endif  // TIMEWARD_SIM_STATUS_H
