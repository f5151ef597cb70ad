// Happens-before between the scheduled threads: a vector clock per thread, passed on by the
// platform's synchronisation (critical sections, events set and waited on, thread start and end,
// interlocked calls), for the race check.
#include "schedule.h"

#include <algorithm>

namespace coredll::detail {

namespace {

void Join(VectorClock& into, const VectorClock& from) {
    for (uint32_t i = 0; i < from.size; ++i)
        into.at[i] = std::max(into.at[i], from.at[i]);
    into.size = std::max(into.size, from.size);
}

// What `object` passes on from the threads that released it, null when none has.
VectorClock* Released(Scheduler& s, const void* object) {
    for (auto it = s.released.rbegin(); it != s.released.rend(); ++it) {
        if (it->first == object)
            return &it->second;
    }
    return nullptr;
}

}  // namespace

// One more release of thread `id` (a thread past the clock's room has failed its run).
void Tick(VectorClock& clock, int id) {
    if (id >= kClockThreads)
        return;
    ++clock.at[id];
    clock.size = std::max(clock.size, static_cast<uint32_t>(id + 1));
}

void AcquireScheduledLocked(Kernel& k, const void* object) {
    ScheduledThread* me = Me(k);
    if (!me)
        return;
    if (const VectorClock* released = Released(*k.sched, object))
        Join(me->clock, *released);
}

void ReleaseScheduledLocked(Kernel& k, const void* object) {
    ScheduledThread* me = Me(k);
    if (!me)
        return;
    VectorClock* released = Released(*k.sched, object);
    if (!released)
        released = &k.sched->released.emplace_back(object, VectorClock()).second;
    Join(*released, me->clock);
    Tick(me->clock, Self().scheduled);
}

void InterlockedScheduled(const void* target) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    AcquireScheduledLocked(k, target);
    ReleaseScheduledLocked(k, target);
}

}  // namespace coredll::detail
