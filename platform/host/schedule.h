// The deterministic mode's scheduler, as the kernel's own files see it. Its state lives under
// the kernel's lock; one thread at a time holds the turn.
#ifndef TIMEWARD_HOST_SCHEDULE_H
#define TIMEWARD_HOST_SCHEDULE_H

#include "kernel.h"

#include <string>

namespace coredll::detail {

// What picks the thread that runs next, and what it picked so far.
class Strategy {
  public:
    virtual ~Strategy() = default;
    // The next thread among `enabled` (ascending); `running` is the thread that ran last when it
    // could go on, else -1: picking another one then is a preemption.
    virtual int Choose(const std::vector<int>& enabled, int running) = 0;
};

struct ScheduledThread {
    enum State { kReady, kWaiting, kLocking, kEnded };
    State state = kReady;
    bool program = false;
    Waiter* waiter = nullptr;  // kWaiting: the wait it is blocked in
    void* lock = nullptr;      // kLocking: the critical section it waits to enter
    std::condition_variable turn;
};

struct Step {
    int thread;
    const char* call;
};

struct Scheduler {
    Strategy* strategy = nullptr;
    std::string program;
    std::vector<std::unique_ptr<ScheduledThread>> threads;
    int current = -1;
    int programs_left = 0;
    bool finished = false;
    std::condition_variable done;
    std::map<void*, std::pair<int, int>> locks;  // critical section: owner, depth
    std::vector<int> choices;                    // at each point with a choice, the one made
    std::vector<bool> defaults;                  // whether it was the default one
    std::vector<Step> trace;
    bool print_steps = false;
    uint64_t time_limit = 0;  // virtual time by which the run must be done
    uint64_t step_bound = 0;
    std::function<std::string(const char* call)> check_step;
    std::string schedule;  // "seed:N"; empty for a list of choices
    std::string run;       // which run of the exploration this is, for the report
};

// Whether the calling thread is one the scheduler runs.
bool Scheduled();
// A scheduling point: the calling thread, if scheduled, may be switched out here.
void SchedulePoint(const char* call);
// Registers a new thread, ready, as CreateThread's; under the kernel's lock. Returns its number.
int AddScheduledLocked(Kernel& k);
// Blocks a new thread until it first has the turn; under the kernel's lock.
void AwaitFirstTurnLocked(Kernel& k, std::unique_lock<std::mutex>& lock, int id);
// Ends a scheduled thread and passes the turn on; under the kernel's lock.
void EndScheduledLocked(Kernel& k, int id);
// Blocks a scheduled thread in `w` until it is woken and has the turn; under the kernel's lock.
void BlockScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w);
// A scheduled thread's critical section: waits for it to be free, then owns it; and leaves it.
void EnterScheduled(void* cs);
void LeaveScheduled(void* cs);
// Ends the process with a report on the run that failed.
[[noreturn]] void FailRun(Scheduler& s, const std::string& what);

extern thread_local int t_scheduled;

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_SCHEDULE_H
