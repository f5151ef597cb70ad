// What the platform cases need of a backend beyond the platform's own calls, one source per
// backend: the host's uses the simulation's controls, the Win32 one the Win32 calls.
#ifndef TIMEWARD_TESTS_PLATFORM_SUPPORT_H
#define TIMEWARD_TESTS_PLATFORM_SUPPORT_H

#include <platform.h>

// Gives `name` to a mutex held until the process ends; false when it cannot.
bool HoldNameWithAMutex(LPCWSTR name);
// Moves the tick count on to `ticks`, no thread waiting; false where it cannot be moved.
bool MoveTickCountTo(DWORD ticks);

#endif  // TIMEWARD_TESTS_PLATFORM_SUPPORT_H
