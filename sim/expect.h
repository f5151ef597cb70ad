// Checks a scenario's expectations against the device.
#ifndef TIMEWARD_SIM_EXPECT_H
#define TIMEWARD_SIM_EXPECT_H

#include <timeward_backend.h>

#include "scenario.h"

namespace tws {

// Checks one expectation about the clock, the stored snapshot or the switch, as the status
// model reads the key flushed to the hive. `clock` is the system clock while the device is
// on, the real-time clock while it is off. A failure is said on the console with what was
// expected and what was seen.
bool Expect(const Step& s, const SYSTEMTIME& clock);

// Checks an expectation about the driver's debug lines, counted from the boot.
bool ExpectLines(const Step& s);

}  // namespace tws

#endif  // TIMEWARD_SIM_EXPECT_H
