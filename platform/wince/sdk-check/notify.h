// For compile checks off the device only: Windows CE 5.0's notify.h, the time-change
// notification the saver registers for.
#ifndef TIMEWARD_SDK_CHECK_NOTIFY_H
#define TIMEWARD_SDK_CHECK_NOTIFY_H

#include "windef.h"

#define NOTIFICATION_EVENT_NONE 0
#define NOTIFICATION_EVENT_TIME_CHANGE 1

// Row CeRunAppAtEvent: the name is not const, and there is no WINAPI.
extern "C" BOOL CeRunAppAtEvent(TCHAR* pwszAppName, LONG lWhichEvent);

#endif  // TIMEWARD_SDK_CHECK_NOTIFY_H
