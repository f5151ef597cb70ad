// The deterministic mode's scheduler, as the kernel's own files see it. Its state lives under
// the kernel's lock; one thread at a time holds the turn.
#ifndef TIMEWARD_HOST_SCHEDULE_H
#define TIMEWARD_HOST_SCHEDULE_H

#include "context.h"
#include "kernel.h"

#include <functional>
#include <string>
#include <thread>
#include <unordered_map>

namespace coredll::detail {

// What picks the thread that runs next, and what it picked so far.
class Strategy {
  public:
    virtual ~Strategy() = default;
    // The next thread among `enabled` (ascending); `running` is the thread that ran last when it
    // could go on, else -1: picking another one then is a preemption.
    virtual int Choose(const std::vector<int>& enabled, int running) = 0;
};

// Happens-before, as a vector clock: element i counts the releases of thread i that are ordered
// before the holder.
using VectorClock = std::vector<uint32_t>;

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
    Waiter* waiter = nullptr;  // kWaiting: the wait it is blocked in
    void* lock = nullptr;      // kLocking: the critical section it waits to enter
    ThreadState self;          // its last-error code and the like
    std::function<void()> body;
    std::condition_variable turn;  // handoff: signaled when it has the turn
    std::thread host;              // handoff: the host thread it runs on
    Context* context = nullptr;    // contexts: its own
    VectorClock clock;
};

struct Step {
    int thread;
    const char* call;
};

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
    // What each synchronising object (critical section, event, thread, interlocked target)
    // passes on from the threads that released it.
    std::map<const void*, VectorClock> released;
    struct KeyAccesses {
        Access write;               // the last one
        std::vector<Access> reads;  // by thread, since the last write
    };
    // By the value's path and name, folded: names that share their long path, which a hash
    // tells apart faster than an ordered compare.
    std::unordered_map<std::u16string, KeyAccesses> keys;
};

// Whether the calling thread is one the scheduler runs.
bool Scheduled();
// A scheduling point: the calling thread, if scheduled, may be switched out here.
void SchedulePoint(const char* call);
// Registers a new thread, ready, that runs `body` once the scheduler first picks it and then
// ends; under the kernel's lock. A program's thread counts towards the run's end; any other is a
// simulated one (CreateThread's). Returns its number.
int StartScheduledLocked(Kernel& k, std::function<void()> body, bool program);
// Runs the program's threads from the first pick until none can run; under the kernel's lock.
void RunScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock);
// Frees what the run's threads held once the run is over: joins their host threads, or deletes
// their contexts.
void EndRun(Scheduler& s);
// Blocks a scheduled thread in `w` until it is woken and has the turn; under the kernel's lock.
void BlockScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w);
// A scheduled thread's critical section: waits for it to be free, then owns it; and leaves it.
void EnterScheduled(void* cs);
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
// Ends the process with a report on the run that failed.
[[noreturn]] void FailRun(Scheduler& s, const std::string& what);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_SCHEDULE_H
