// The host calendar, by the names the simulator's code uses.
#ifndef TIMEWARD_SIM_CALENDAR_H
#define TIMEWARD_SIM_CALENDAR_H

#include "support/calendar.h"

namespace tws {

using support::Instant;
using support::IsValidRecord;
using support::NowUtc;
using support::ToInstant;
using support::ToRecord;

}  // namespace tws

#endif  // TIMEWARD_SIM_CALENDAR_H
