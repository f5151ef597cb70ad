// Registers the saver's time-change event with the notification subsystem, where there is one.
#include "time_change.h"

// CeRunAppAtEvent, as notify.h declares it.
typedef BOOL (*RUN_APP_AT_EVENT)(WCHAR* pwszAppName, LONG lWhichEvent);
// The declaration's own type, or this does not compile. Named only inside sizeof, which calls
// nothing, the call is not imported.
typedef char RUN_APP_AT_EVENT_IS_DECLARED[sizeof(static_cast<RUN_APP_AT_EVENT>(&CeRunAppAtEvent))];

// What the subsystem opens and sets. Not const: the call takes a writable string.
static WCHAR g_szTimeChangeTarget[] =
    TEXT("\\\\.\\Notifications\\NamedEvents\\") TIME_CHANGE_EVENT_NAME;

static RUN_APP_AT_EVENT FindRunAppAtEvent(void) {
    const HMODULE hCore = GetModuleHandleW(TEXT("coredll.dll"));
    if (hCore == NULL) {
        return NULL;
    }
    // Through void (*)(void), the type any function pointer may pass through unwarned.
    return (RUN_APP_AT_EVENT)(void (*)(void))GetProcAddressW(hCore, TEXT("CeRunAppAtEvent"));
}

extern "C" BOOL TimeChangesAvailable(void) {
    return FindRunAppAtEvent() != NULL;
}

extern "C" TIME_CHANGE_WATCH WatchTimeChanges(void) {
    const RUN_APP_AT_EVENT pfnRunAppAtEvent = FindRunAppAtEvent();
    if (pfnRunAppAtEvent == NULL) {
        NKDbgPrintfW(
            TEXT("CeRunAppAtEvent is missing: a clock that is set is saved at the next "
                 "snapshot, not at once\r\n"));
        return TIME_CHANGES_UNAVAILABLE;
    }
    // The subsystem's store can outlive the process that registered: a registration left by a
    // run that never stopped is dropped first, so that one change of the clock is one wake.
    pfnRunAppAtEvent(g_szTimeChangeTarget, NOTIFICATION_EVENT_NONE);
    return pfnRunAppAtEvent(g_szTimeChangeTarget, NOTIFICATION_EVENT_TIME_CHANGE)
               ? TIME_CHANGES_WATCHED
               : TIME_CHANGES_UNWATCHED;
}

extern "C" void UnwatchTimeChanges(void) {
    const RUN_APP_AT_EVENT pfnRunAppAtEvent = FindRunAppAtEvent();
    if (pfnRunAppAtEvent != NULL) {
        pfnRunAppAtEvent(g_szTimeChangeTarget, NOTIFICATION_EVENT_NONE);
    }
}
