// The saver's interval: the integrator's "TimewardInterval", or five minutes.
#ifndef TIMEWARD_CLOCK_INTERVAL_H
#define TIMEWARD_CLOCK_INTERVAL_H

#include "platform.h"

// An optional REG_DWORD in the driver's key: seconds between two periodic snapshots.
#define INTERVAL_VALUE_NAME TEXT("TimewardInterval")
static const DWORD DEFAULT_INTERVAL_SECONDS = 300;
static const DWORD MIN_INTERVAL_SECONDS = 60;
static const DWORD MAX_INTERVAL_SECONDS = 86400;
static const DWORD MS_PER_SECOND = 1000;

enum INTERVAL_STATE {
    INTERVAL_ABSENT,        // the default
    INTERVAL_SET,           // a REG_DWORD within bounds: in effect
    INTERVAL_OUT_OF_RANGE,  // a REG_DWORD outside them: the default instead
    INTERVAL_WRONG_TYPE     // another type, or another size: the default instead
};

extern "C" {

// The one rule for the value: its state, given whether it is there, its type, its size and
// (when 4 bytes) its number; *pdwSeconds is the interval in effect.
DWORD JudgeInterval(BOOL fPresent, DWORD dwType, DWORD cbData, DWORD dwValue, DWORD* pdwSeconds);

// Reads the value from the driver's key and returns the interval in effect, in milliseconds.
// A value that is not used says so in the debug output, with what is used instead.
DWORD ReadSaveIntervalMs(void);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_INTERVAL_H
