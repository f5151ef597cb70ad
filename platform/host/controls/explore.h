// The simulated core library's deterministic mode, and a systematic explorer of the schedules
// of a small concurrent program: for tests; driver code never sees it.
//
// In the deterministic mode exactly one thread runs at a time: the program's own threads and
// the simulated threads they start alike. A thread is switched out only at a call into the core
// library (each is a scheduling point: waits, event changes, thread creation, handle closes,
// entering a critical section (not leaving one), interlocked calls, the registry calls that
// create or remove a key or flush the hive, clock reads and sets, module calls, CeRunAppAtEvent
// and the notification thread's deliveries; a run in which a thread creates or removes a key
// fails, and value accesses are left to the race check), and the thread that runs next is
// chosen by a strategy: the same choices give the same run. Virtual time moves to the next
// timer when every thread is blocked, or, chosen as a preemption, while some could still run.
// A run may start 32 threads, the program's own and the simulated ones: one more fails it.
// Outside a run the library keeps its ordinary mode.
#ifndef TIMEWARD_EXPLORE_H
#define TIMEWARD_EXPLORE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "coredll_sim.h"

namespace coredll::explore {

// A scheduling point as a step check sees it: what the scheduler knows there, read under its
// own lock once, so that a check at every step of every run need not ask for each.
struct Step {
    const char* call;          // the call about to be made
    int thread;                // the calling thread's number (ThreadNumber)
    bool program;              // one of the program's threads (ThreadIndex is `thread`)
    uint64_t index;            // scheduling points passed in this run, this one included
    uint64_t now_ms;           // virtual time
    int simulated_threads;     // simulated threads alive (threads::Alive)
    uint64_t bad_handle_uses;  // so far (threads::BadHandleUses)
};

// A small concurrent program. Before each run the library is reset and `before` runs on the
// calling thread; then `threads` run, each on a thread of its own, under the scheduler; once
// every one has ended and no thread can run, `after` runs on the calling thread.
// `check_step` runs at every scheduling point on the thread that reached it, before the call
// does anything. Both checks return "" when all holds, else what does not; either may use the
// library's controls, not its calls.
struct Program {
    std::string name;
    std::function<void()> before;
    std::vector<std::function<void()>> threads;
    std::function<std::string(const Step& step)> check_step;
    std::function<std::string()> after;
};

// How the scheduler hands the turn from one thread to the next: by a switch of user-mode
// contexts on one host thread (no system call), or by a handoff between host threads, one per
// scheduled thread. The default is contexts where the build has them, unless
// TIMEWARD_EXPLORE_SWITCH=handoff. Both give the same runs for the same choices.
enum class Switches { kDefault, kContexts, kHandoff };

struct Bounds {
    // Depth-first: switches away from a thread that could go on, and timers that expire while
    // one could.
    int preemptions = 2;
    uint64_t depth_first_runs = 0;  // at most this many depth-first runs; 0: none
    uint64_t random_runs = 0;       // seeded random runs, seeds first_seed, first_seed + 1, ...
    uint64_t first_seed = 1;
    uint64_t time_bound_ms = 7200000;  // a run whose threads are not done by then fails
    uint64_t step_bound = 100000;      // as does one that takes more scheduling points
    Switches switches = Switches::kDefault;
};

struct Report {
    uint64_t depth_first_runs = 0;
    std::vector<uint64_t> runs_per_bound;  // depth-first runs with at most 0, 1, ... preemptions
    bool exhausted = false;  // every schedule within the largest preemption bound was run
    uint64_t random_runs = 0;
    uint64_t longest_run_steps = 0;
    double seconds = 0;
    // The process's user and system time meanwhile, every host thread's.
    double processor_seconds = 0;
    bool contexts = false;  // the switches were between contexts, not host threads
    uint64_t digest = 0;    // of every run's choices and steps, in order: equal runs, equal digest
    // The first failed run's report (what failed, its schedule, its last steps, the command that
    // runs it alone); empty when every run passed. Exploring stops at it.
    std::string failure;
};

// Runs `program` depth-first over its schedules with at most 0, then 1, ... then
// `bounds.preemptions` preemptions, up to the bound on runs in all, then the seeded random runs.
// The first run that fails (a check, a deadlock, a bound, a run that does not repeat itself) ends
// the exploration, in the process: its threads end where they stand, without unwinding, as
// terminated threads do (no host thread and no context is left), and the report holds the
// program, what failed, its schedule ("seed:N" or "choices:..."), the last steps, and the command
// that runs that schedule alone, which standard error shows too.
//
// TIMEWARD_EXPLORE_REPLAY=PROGRAM=SCHEDULE runs that one schedule of that program instead, and
// prints every step it takes.
SIM_API Report Explore(const Program& program, const Bounds& bounds);

// The report in a line: the depth-first runs within each bound, whether the largest bound was
// run through, the random runs, the longest run's steps, the time, the runs per second and how
// the scheduler switched.
SIM_API std::string Describe(const Report& report);

// The index of the calling program thread in its program's `threads`; -1 on any other thread.
SIM_API int ThreadIndex();
// The calling thread's number in the run: the program's threads first, then the threads they
// start, in order; -1 outside a run. Tests keep per-thread state by it, as the threads of a run
// may share one host thread.
SIM_API int ThreadNumber();
// Scheduling points passed so far in this run.
SIM_API uint64_t Steps();
// Whether thread `thread` of the run (by its number) is blocked in a wait or a sleep that
// nothing has ended yet.
SIM_API bool Blocked(int thread);
// Virtual time that timers moved on, so far in this run, while some thread could still run (a
// thread kept from running that long): time a wait did not need.
SIM_API uint64_t PreemptedMs();
// The scheduler's user-mode contexts that exist, in this process: none between runs.
SIM_API int LiveContexts();

}  // namespace coredll::explore

#endif  // TIMEWARD_EXPLORE_H
