// The version of Timeward: the one definition. CMake takes the project version from it, and
// the version resource of Timeward.dll (Timeward.rc) includes it on every Windows build.
#ifndef TIMEWARD_DRIVER_VERSION_H
#define TIMEWARD_DRIVER_VERSION_H

#define TIMEWARD_VERSION_MAJOR 1
#define TIMEWARD_VERSION_MINOR 0
#define TIMEWARD_VERSION_TEXT "1.0"

#endif  // TIMEWARD_DRIVER_VERSION_H
