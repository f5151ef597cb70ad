// The deterministic mode's scheduler: its state, which lives under the kernel's lock (one thread
// at a time holds the turn), and what this folder's files and the explorer share. The kernel and
// the folders above it see the scheduler through kernel/deterministic.h, which this folder
// implements.
#ifndef TIMEWARD_HOST_SCHEDULE_H
#define TIMEWARD_HOST_SCHEDULE_H

#include "context.h"
#include "deterministic.h"
#include "explore.h"

#include <csetjmp>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace coredll::detail {

// Among the choices, after the threads that could run: the next timer expires now, before any
// of them goes on. It counts as a preemption, as a thread that could go on is kept from it.
constexpr int kTimerExpires = -1;

// What picks the thread that runs next, and what it picked so far.
class Strategy {
  public:
    virtual ~Strategy() = default;
    // The next thread among `enabled` (ascending, then kTimerExpires when a timer is set);
    // `running` is the thread that ran last when it could go on, else -1: picking another one
    // then is a preemption.
    virtual int Choose(const std::vector<int>& enabled, int running) = 0;
};

// Happens-before, as a vector clock: element i counts the releases of thread i that are ordered
// before the holder. Held inline, as a lock call acquires or releases one at every step; a run
// may start kClockThreads threads (one more fails it).
constexpr int kClockThreads = 32;
struct VectorClock {
    uint32_t size = 0;  // the elements past it are 0
    uint32_t at[kClockThreads] = {};
    uint32_t operator[](size_t i) const {
        return i < size ? at[i] : 0;
    }
};

// An access to a registry key, for the check of races.
struct Access {
    int thread = -1;     // -1: none
    uint32_t epoch = 0;  // the thread's own element of its clock at the access
    const char* call = "";
    const void* site = nullptr;  // the caller's return address
    uint64_t step = 0;
};

struct ScheduledThread {
    enum State { kReady, kWaiting, kLocking, kEnded };
    State state = kReady;
    bool program = false;
    bool gone = false;         // its body returned, or it failed there
    Waiter* waiter = nullptr;  // kWaiting: the wait it is blocked in
    void* lock = nullptr;      // kLocking: the critical section it waits to enter
    ThreadState self;          // its last-error code and the like
    std::function<void()> body;
    std::condition_variable turn;  // handoff: signaled when it has the turn
    std::thread host;              // handoff: the host thread it runs on
    Context* context = nullptr;    // contexts: its own
    std::jmp_buf abandon;          // handoff: where its host thread ends when the run is abandoned
    // A simulated thread's end as its creator sees it, run when the run is abandoned instead.
    std::function<void(Kernel&)> abandoned;
    // What a wait of its own holds while it is blocked: here, not on its stack, so that an
    // abandoned stack owns nothing.
    Waiter waiter_storage;
    std::vector<std::shared_ptr<Object>> wait_objects;
    VectorClock clock;
};

struct Step {
    int thread;
    const char* call;
};

// A number no other run of the process has.
uint64_t NewRunId();

struct Scheduler {
    Strategy* strategy = nullptr;
    bool contexts = false;    // switches in user mode on one host thread, else handoffs
    Context* main = nullptr;  // contexts: that of the host thread that runs the program
    std::string program;
    std::vector<std::unique_ptr<ScheduledThread>> threads;
    int current = -1;
    int programs_left = 0;
    bool finished = false;
    std::condition_variable done;
    struct Held {
        void* lock;
        int owner;
        int depth;
        void (*give_up)(void*);  // frees it from an owner whose run was abandoned
    };
    std::vector<Held> locks;     // critical sections and the loader lock, held; in the order taken
    std::vector<int> enabled;    // at the point being picked: the threads that could run
    std::vector<int> choices;    // at each point with a choice, the one made
    std::vector<bool> defaults;  // whether it was the default one
    std::vector<Step> trace;
    bool print_steps = false;
    uint64_t time_limit = 0;    // virtual time by which the run must be done
    uint64_t preempted_ms = 0;  // moved on by timers that expired while a thread could run
    uint64_t step_bound = 0;
    std::function<std::string(const explore::Step& step)> check_step;
    std::string schedule;   // "seed:N"; empty for a list of choices
    std::string run;        // which run of the exploration this is, for the report
    std::string failure;    // the report on what failed; empty while all holds
    bool aborting = false;  // the run is abandoned: every thread of it ends where it is
    // What each synchronising object (critical section, event, thread, interlocked target)
    // passes on from the threads that released it.
    // A run has a few dozen: a list, searched from its end, costs less than a tree's nodes.
    std::vector<std::pair<const void*, VectorClock>> released;
    uint64_t id = NewRunId();  // tells this run's accesses to registry values from others'
};

// Runs the program's threads from the first pick until none can run; under the kernel's lock.
void RunScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock);
// Frees what the run's threads held once the run is over: joins their host threads, or deletes
// their contexts.
void EndRun(Scheduler& s);

// Shared by this folder's files. The scheduler (schedule.cpp): the scheduled thread that calls,
// or null outside a run; and the locks a thread gives up when its run is abandoned.
ScheduledThread* Me(Kernel& k);
void GiveUpLocksOf(Scheduler& s, int id);
// A failed run (failed_run.cpp): ends every thread of it where it stands, from the thread `me`
// that holds the turn; under the kernel's lock, which it lets go.
[[noreturn]] void AbandonLocked(Kernel& k, Scheduler& s, std::unique_lock<std::mutex>& lock,
                                int me);
// Happens-before (happens_before.cpp): one more release of thread `id` in `clock`.
void Tick(VectorClock& clock, int id);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_SCHEDULE_H
