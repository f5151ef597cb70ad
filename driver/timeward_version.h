// The version of Timeward and its floor: the one definition of each. CMake takes the project
// version from it, the version resource of Timeward.dll (Timeward.rc) includes it on every
// Windows build, and the clock keeping takes the floor.
#ifndef TIMEWARD_DRIVER_VERSION_H
#define TIMEWARD_DRIVER_VERSION_H

#define TIMEWARD_VERSION_MAJOR 1
#define TIMEWARD_VERSION_MINOR 0
#define TIMEWARD_VERSION_TEXT "1.0"

// The floor: a day no later than the release's, raised with each release. With no snapshot to
// restore, a start never leaves the clock before it. Its hexadecimal digits are the date,
// YYYYMMDD, as "TimewardFloor" writes one: the day is set here, not taken from the build
// machine's clock, so that every build of a release is the same.
#define TIMEWARD_FLOOR 0x20261201

#endif  // TIMEWARD_DRIVER_VERSION_H
