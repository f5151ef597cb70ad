// The clock: the system time's calls, the tick count, and the controls that make virtual time
// manual or scaled, move it on and set the wall clock.
#include "deterministic.h"
#include "notifications.h"

using namespace coredll;
using namespace coredll::detail;

namespace coredll::clock {

void SetManual() {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    k.manual_now = NowLocked(k);
    k.manual = true;
    for (auto& [deadline, w] : k.timers)
        w->cv.notify_one();
}

void SetScaled(double scale) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    uint64_t now = NowLocked(k);
    k.manual = false;
    k.scale = scale > 0 ? scale : 1.0;
    k.anchor_virtual = now;
    k.anchor_real = SteadyClock::now();
    Release(k);
    for (auto& [deadline, w] : k.timers)
        w->cv.notify_one();
}

uint64_t NowMs() {
    return VirtualNowMs();
}

void Advance(uint64_t ms) {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    if (!k.manual) {
        k.anchor_virtual += ms;
        for (auto& [deadline, w] : k.timers)
            w->cv.notify_one();
        return;
    }
    const uint64_t target = k.manual_now + ms;
    OpenGate gate(k);
    SettleLocked(k, lock);
    while (!k.timers.empty() && k.timers.begin()->first <= target) {
        k.manual_now = k.timers.begin()->first;
        while (!k.timers.empty() && k.timers.begin()->first == k.manual_now) {
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
        }
        SettleLocked(k, lock);
    }
    k.manual_now = target;
}

void Settle() {
    std::unique_lock<std::mutex> lock(TheKernel().mu);
    SettleLocked(TheKernel(), lock);
}

void BoundDrivingWaits(uint64_t ms) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    TheKernel().driving_bound = ms;
}

SYSTEMTIME Now() {
    return WallNow();
}

void SetWall(const SYSTEMTIME& st) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    int64_t ms;
    if (!ToMs(st, &ms))
        return;
    k.wall_base = ms;
    k.wall_mono = NowLocked(k);
}

std::vector<SetCall> SetSystemTimeCalls() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return TheKernel().set_calls;
}

}  // namespace coredll::clock

COREDLL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    SchedulePoint("GetSystemTime");
    if (lpSystemTime)
        *lpSystemTime = WallNow();
}

COREDLL_API BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    Hook(threads::Call::kSetSystemTime);
    if (!lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Kernel& k = TheKernel();
    {
        std::lock_guard<std::mutex> lock(k.mu);
        int64_t ms;
        BOOL ok = clock::ToMs(*lpSystemTime, &ms) ? TRUE : FALSE;
        k.set_calls.push_back({*lpSystemTime, ok});
        if (!ok) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        k.wall_base = ms;
        k.wall_mono = NowLocked(k);
    }
    NotifyTimeChange();
    return TRUE;
}

COREDLL_API DWORD GetTickCount(void) {
    SchedulePoint("GetTickCount");
    return static_cast<DWORD>(VirtualNowMs());
}
