// The checks the scheduler makes of every run, whatever program it runs. Each fails the run
// (FailRun) with what does not hold; the explorer reports it with the schedule that replays it.
//
// A new check of every run goes here, called at the point of the run it watches: a pick at which
// no thread can run, each scheduling point, or the end. What a program's own threads must do is
// that program's check (explore::Program's check_step and after), which these run. Apart from
// them: the race check (race_check.cpp), and the kernel's checks of a misused lock, a wait for a
// thread's end under the loader lock and a spinning thread, which hold outside a run too.
#ifndef TIMEWARD_HOST_RUN_CHECKS_H
#define TIMEWARD_HOST_RUN_CHECKS_H

#include "schedule.h"

namespace coredll::detail {

// At a pick where no thread can run while the program's threads are not done: a deadlock when
// no timer is set, else a run past its bound on virtual time when the next timer lies beyond it.
// False when the run failed; under the kernel's lock.
bool CheckBlockedRunLocked(Kernel& k, Scheduler& s);
// At each scheduling point, under the kernel's lock: a run past its bound on steps.
void CheckStepBoundLocked(Scheduler& s);
// At each scheduling point, outside the kernel's lock, on the thread that reached it: the
// program's own check of the step.
void CheckStep(Scheduler& s, ThreadState& self, const explore::Step& step);
// Once every thread of the run has ended, on the program's thread: no critical section left
// entered, then the program's own check of the end.
void CheckRunEnd(Scheduler& s, const explore::Program& program);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_RUN_CHECKS_H
