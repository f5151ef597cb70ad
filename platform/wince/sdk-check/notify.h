// For compile checks off the device only: the declarations of the Windows CE 5 SDK's notify.h
// that the driver uses, as that header declares them.
#pragma once

#define NOTIFICATION_EVENT_NONE 0
#define NOTIFICATION_EVENT_TIME_CHANGE 1

extern "C" BOOL CeRunAppAtEvent(WCHAR* pwszAppName, LONG lWhichEvent);
