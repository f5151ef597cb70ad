// The floor: the earliest time the clock starts at when no snapshot restores it, the release's
// own or the integrator's "TimewardFloor".
#ifndef TIMEWARD_CLOCK_FLOOR_H
#define TIMEWARD_CLOCK_FLOOR_H

#include "platform.h"
#include "timeward_version.h"

// A floor is a date whose hexadecimal digits read as its year, month and day, as a .reg file
// writes a DWORD: 0x20270601, "TimewardFloor"=dword:20270601, is 2027-06-01 00:00:00 UTC.
// TIMEWARD_FLOOR, the release's, is no later than the day the release was made.
static const DWORD RELEASE_FLOOR = TIMEWARD_FLOOR;
// The last floor the start-up check can compare: its seconds since 1961 wrap in 2097.
static const DWORD LAST_FLOOR = 0x20961231;

// An optional REG_DWORD in the driver's key that raises the floor.
#define FLOOR_VALUE_NAME TEXT("TimewardFloor")

enum FLOOR_STATE {
    FLOOR_ABSENT,        // the release's floor
    FLOOR_SET,           // a REG_DWORD that is a date from the release's floor to LAST_FLOOR
    FLOOR_OUT_OF_RANGE,  // another REG_DWORD: the release's floor instead
    FLOOR_WRONG_TYPE     // another type, or another size: the release's floor instead
};

extern "C" {

// TRUE, with *pTime midnight of that day, when dwFloor's eight hexadecimal digits are decimal
// digits that make a real date in a year from 1961.
BOOL FloorDate(DWORD dwFloor, SYSTEMTIME* pTime);

// The floor's digits as a decimal number, 20270601 for 0x20270601, for a line to show as the
// .reg file writes it; 0 when they make no date.
DWORD FloorNumber(DWORD dwFloor);

// The one rule for the value: its state, given whether it is there, its type, its size and
// (when 4 bytes) its number; *pdwFloor is the floor in effect.
DWORD JudgeFloor(BOOL fPresent, DWORD dwType, DWORD cbData, DWORD dwValue, DWORD* pdwFloor);

// Reads the value from the driver's key and returns the floor in effect. A value that is not
// used says so in the debug output, with the floor used instead.
DWORD ReadFloor(void);

// TRUE when the clock reading is earlier than the floor's day.
BOOL IsBeforeFloor(const SYSTEMTIME* pClock, DWORD dwFloor);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_FLOOR_H
