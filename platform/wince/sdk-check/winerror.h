// For compile checks off the device only: the error codes of Windows CE 5.0's winerror.h that the
// driver and timewardctl name. Row Constants: Windows' own values, the desktop's as well.
#ifndef TIMEWARD_SDK_CHECK_WINERROR_H
#define TIMEWARD_SDK_CHECK_WINERROR_H

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L

#endif  // TIMEWARD_SDK_CHECK_WINERROR_H
