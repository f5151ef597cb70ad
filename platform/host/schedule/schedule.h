// The deterministic mode's scheduler, as the kernel's own files see it. Its state lives under
// the kernel's lock; one thread at a time holds the turn.
#ifndef TIMEWARD_HOST_SCHEDULE_H
#define TIMEWARD_HOST_SCHEDULE_H

#include "context.h"
#include "explore.h"
#include "kernel.h"

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
// Runs the program's threads from the first pick until none can run; under the kernel's lock.
void RunScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock);
// Frees what the run's threads held once the run is over: joins their host threads, or deletes
// their contexts.
void EndRun(Scheduler& s);
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

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_SCHEDULE_H
