// The deterministic mode as the kernel and the folders above it see it. The kernel owns this
// interface and schedule/ implements it: the scheduler builds on the kernel's objects, waits and
// threads, and the kernel's calls are its scheduling points, so the kernel declares here what it
// asks of the scheduler, and no folder but schedule/ and explore/ includes a header of the
// scheduler's. Outside a run of the explorer each of these does nothing, or is not called.
#ifndef TIMEWARD_HOST_DETERMINISTIC_H
#define TIMEWARD_HOST_DETERMINISTIC_H

#include "kernel.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace coredll::detail {

// Whether the calling thread is one the scheduler runs.
bool Scheduled();
// A scheduling point: the calling thread, if scheduled, may be switched out here.
void SchedulePoint(const char* call);
// Registers a new thread, ready, that runs `body` once the scheduler first picks it and then
// ends; under the kernel's lock. A program's thread counts towards the run's end; any other is a
// simulated one (CreateThread's), whose `abandoned` runs if the run is abandoned before it ends.
// Returns its number.
int StartScheduledLocked(Kernel& k, std::function<void()> body, bool program,
                         std::function<void(Kernel&)> abandoned = nullptr);
// The waiter and the list of objects a wait of the calling thread keeps while it blocks: the
// scheduled thread's own, else `local` and `local_objects`; under the kernel's lock.
Waiter& WaiterLocked(Kernel& k, Waiter& local);
std::vector<std::shared_ptr<Object>>& WaitObjectsLocked(
    Kernel& k, std::vector<std::shared_ptr<Object>>& local_objects);
// Blocks a scheduled thread in `w` until it is woken and has the turn; under the kernel's lock.
void BlockScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w);
// A scheduled thread's critical section: waits for it to be free, then owns it; and leaves it.
// `give_up` frees it from its owner if the run is abandoned while it is held.
void EnterScheduled(void* cs, void (*give_up)(void*));
void LeaveScheduled(void* cs);
// Happens-before through the platform's synchronisation, for the calling scheduled thread (no
// effect on any other): it acquires what `object` released, or releases its clock into it. The
// Locked forms run under the kernel's lock.
void AcquireScheduledLocked(Kernel& k, const void* object);
void ReleaseScheduledLocked(Kernel& k, const void* object);
// An interlocked call on `target`: both at once.
void InterlockedScheduled(const void* target);
// An access of the calling scheduled thread to a registry value (`key`: its key's path and its
// name, folded). Two accesses from different threads, one a write, that no synchronisation
// orders, fail the run, whether or not they overlapped in it.
void NoteKeyAccess(const std::u16string& key, bool write, const char* call, const void* site);
// Fails the run with a report on it (the first failure of a run is the one reported). The run
// is abandoned at its next scheduling point: every thread of it ends where it stands, without
// unwinding, as a terminated thread does on the device, and the explorer reports the failure.
// A failure found by a check on the program's thread, after the run, just fails it.
void FailRun(Scheduler& s, const std::string& what);
// From a scheduled thread: fails its run (FailRun), under the kernel's lock, which the caller
// must not hold.
void FailScheduledRun(const std::string& what);
// Fails the run and abandons it at once, from a scheduled thread that cannot go on (a lock
// misused); the kernel's lock must not be held.
[[noreturn]] void FailRunNow(Scheduler& s, const std::string& what);
// Whether [p, p + n) lies within the stack of the context running on the calling host thread:
// memory that is mapped, readable and writable for as long as the process lives (a stack freed
// goes to a pool, never back to the host).
bool WithinRunningStack(const void* p, size_t n);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_DETERMINISTIC_H
