// Critical sections and interlocked operations: plain host locks and atomics.
#include "schedule.h"

using namespace coredll;
using namespace coredll::detail;

// A critical section is a recursive mutex, as its owner may enter it again. It is not a
// simulated wait: its holders never block while holding it, so it needs no scheduling, but in
// the deterministic mode the scheduler, not the mutex, makes a thread wait for it.
COREDLL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lpCriticalSection->LockObject = new std::recursive_mutex;
}

COREDLL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kEnterCriticalSection);
    if (Scheduled())
        EnterScheduled(lpCriticalSection->LockObject);
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject)->lock();
}

COREDLL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kLeaveCriticalSection);
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject)->unlock();
    if (Scheduled())
        LeaveScheduled(lpCriticalSection->LockObject);
}

COREDLL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject);
    lpCriticalSection->LockObject = nullptr;
}

COREDLL_API LONG InterlockedExchange(LPLONG Target, LONG Value) {
    SchedulePoint("InterlockedExchange");
    InterlockedScheduled(const_cast<LONG*>(Target));  // its address names it
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

COREDLL_API LONG InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand) {
    SchedulePoint("InterlockedCompareExchange");
    InterlockedScheduled(const_cast<LONG*>(Destination));
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
