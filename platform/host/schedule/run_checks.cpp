// The checks the scheduler makes of every run: a deadlock, the bounds on virtual time and on
// steps, the program's checks of each step and of the end, and no critical section left entered.
#include "run_checks.h"

namespace coredll::detail {

bool CheckBlockedRunLocked(Kernel& k, Scheduler& s) {
    if (k.timers.empty()) {
        FailRun(s, "every thread is blocked and no timer is set: a deadlock");
        return false;
    }
    if (k.timers.begin()->first > s.time_limit) {
        FailRun(s, "the program's threads are not done after " + std::to_string(s.time_limit) +
                       " ms of virtual time");
        return false;
    }
    return true;
}

void CheckStepBoundLocked(Scheduler& s) {
    if (s.trace.size() > s.step_bound && s.failure.empty())
        FailRun(s, "the program's threads are not done after " + std::to_string(s.step_bound) +
                       " scheduling points");
}

void CheckStep(Scheduler& s, ThreadState& self, const explore::Step& step) {
    if (!s.check_step || !s.failure.empty())
        return;
    self.in_check = true;
    const std::string what = s.check_step(step);
    self.in_check = false;
    if (!what.empty())
        FailRun(s, what);
}

void CheckRunEnd(Scheduler& s, const explore::Program& program) {
    // Every thread has ended: a critical section still entered is one that nobody can leave.
    if (!s.locks.empty())
        FailRun(s, "a critical section is still entered by thread " +
                       std::to_string(s.locks.front().owner) + ", which has ended");
    if (program.after) {
        const std::string what = program.after();
        if (!what.empty())
            FailRun(s, what);
    }
}

}  // namespace coredll::detail
