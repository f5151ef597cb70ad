// The platform services the driver calls: the Windows CE core library's types and calls.
//
// Driver code includes this header and nothing else of the platform. The build puts one
// backend's directory on the include path, and its backend header supplies the declarations:
// on Windows CE the platform's own headers (a pass-through to COREDLL), on desktop Windows the
// Win32 headers plus desktop stand-ins for the CE-only calls, on the host the simulated core
// library.
#ifndef TIMEWARD_PLATFORM_H
#define TIMEWARD_PLATFORM_H

#include <timeward_backend.h>

// A wide string is UTF-16 on every backend.
typedef char timeward_wchar_is_16_bits[sizeof(WCHAR) == 2 ? 1 : -1];

#endif  // TIMEWARD_PLATFORM_H
