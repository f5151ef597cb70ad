// Checks a scenario's expectations against the device.
#ifndef TIMEWARD_SIM_EXPECT_H
#define TIMEWARD_SIM_EXPECT_H

#include <timeward_backend.h>

#include "scenario.h"

namespace tws {

// Checks one expectation about the clock, the stored snapshot or the switch. `clock` is the
// system clock while the device is on, the real-time clock while it is off; `persisted`
// reads the key as flushed to the hive. A failure is said on the console with what was
// expected and what was seen.
bool Expect(const Step& s, const SYSTEMTIME& clock, bool persisted);

// Checks an expectation about the driver's debug lines, counted from the boot.
bool ExpectLines(const Step& s);

}  // namespace tws

#endif  // TIMEWARD_SIM_EXPECT_H
