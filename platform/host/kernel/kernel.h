// The simulated kernel's state and scheduling, shared by its events, threads, waits and clock.
#ifndef TIMEWARD_HOST_KERNEL_H
#define TIMEWARD_HOST_KERNEL_H

#include "internal.h"
#include "self.h"

#include <chrono>
#include <functional>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>

namespace coredll::detail {

using SteadyClock = std::chrono::steady_clock;

struct Waiter;
struct Scheduler;

struct Object {
    bool is_thread = false;
    bool foreign = false;  // another kind of object that holds a name (TakeName)
    bool manual_reset = false;
    bool signaled = false;
    DWORD exit_code = 0;  // a thread's, once it has ended
    std::u16string name;
    std::list<Waiter*> waiters;
};

struct Waiter {
    std::vector<Object*> objects;  // any one of them ends the wait; none for a sleep
    bool timed = false;
    uint64_t deadline = 0;
    bool simulated = false;
    bool woken = false;
    bool held = false;
    DWORD result = WAIT_TIMEOUT;
    std::condition_variable cv;
    std::multimap<uint64_t, Waiter*>::iterator timer;
};

struct Kernel {
    std::mutex mu;
    std::condition_variable settled;
    bool manual = true;
    double scale = 1.0;
    uint64_t manual_now = 0;
    SteadyClock::time_point anchor_real;
    uint64_t anchor_virtual = 0;
    int64_t wall_base = 0;  // ms since 1601-01-01 at wall_mono
    uint64_t wall_mono = 0;
    std::map<uintptr_t, std::shared_ptr<Object>> handles;
    uintptr_t next_handle = 0x100;
    std::map<std::u16string, std::weak_ptr<Object>> named;
    std::vector<std::shared_ptr<Object>> taken_names;  // held by TakeName until Reset
    std::multimap<uint64_t, Waiter*> timers;  // by deadline; equal deadlines in arrival order
    int alive = 0;
    int kernel_threads = 0;  // the kernel's own threads (the notification thread), not in alive
    int runnable = 0;
    int gate = 0;             // driving threads now letting simulated ones run
    std::list<Waiter*> held;  // woken simulated waiters that wait for the gate
    // The owners of the sections that simulated threads wait to enter, one entry per waiter,
    // outside the deterministic mode: a test's thread among them that settles waits for ever.
    std::vector<const ThreadState*> section_owners_awaited;
    uint64_t started = 0;
    bool fail_events = false;
    bool fail_threads = false;
    bool fail_waits = false;
    uint64_t driving_bound = 0;
    uint64_t bad_handle_uses = 0;
    std::vector<clock::SetCall> set_calls;
    Scheduler* sched = nullptr;  // the deterministic mode's, during a run of the explorer
};

// The one simulated kernel: its lock, its objects, its threads and its time.
Kernel& TheKernel();

// Virtual time 0, the wall clock at 2026-01-01 00:00:00 UTC, manual mode.
void StartClocks(Kernel& k);
uint64_t NowLocked(Kernel& k);

// Counts `w` runnable again and lets it run, or holds it until a driving thread lets time pass.
void Wake(Kernel& k, Waiter* w, DWORD result);
// Lets the held simulated threads run.
void Release(Kernel& k);

// While a driving thread is inside, woken simulated threads may run.
class OpenGate {
  public:
    explicit OpenGate(Kernel& k) : k_(k), open_(!Self().simulated) {
        if (open_ && k_.gate++ == 0)
            Release(k_);
    }
    ~OpenGate() {
        if (open_)
            k_.gate--;
    }
    OpenGate(const OpenGate&) = delete;
    OpenGate& operator=(const OpenGate&) = delete;

  private:
    Kernel& k_;
    bool open_;
};

// Waits until every simulated thread is blocked.
void SettleLocked(Kernel& k, std::unique_lock<std::mutex>& lock);
// A simulated thread's wait that returns without blocking; ends a spin.
void ReturnsAtOnce(Kernel& k);
// Blocks the caller until `w` is woken; the caller holds the lock.
DWORD Block(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w, DWORD ms);

std::shared_ptr<Object> Lookup(Kernel& k, HANDLE h);
HANDLE AddHandle(Kernel& k, std::shared_ptr<Object> object);
// Releases waiters of an object that has just been set.
void ReleaseWaiters(Kernel& k, Object& o, bool all);
// Sets an event as EventModify(EVENT_SET) does; the caller holds the lock.
void SetEventLocked(Kernel& k, Object& o);
// The event of that name, or null when no event holds the name.
std::shared_ptr<Object> NamedEventLocked(Kernel& k, const std::u16string& name);

// A critical section used as the device would not allow: ends the process (a failed run in the
// deterministic mode) with `what`.
[[noreturn]] void LockMisuse(const std::string& what);
// Whether a critical section initialised and not deleted lies in [begin, begin + size).
bool AnySectionLiveIn(const char* begin, size_t size);
// Reports `who` by name when the calling thread still holds a critical section.
void CheckNoSectionHeldHere(const std::string& who);
// Whether any thread holds a critical section.
bool AnySectionHeld();

// Starts a simulated thread for `body`, which its caller has counted runnable: in the
// deterministic mode it waits for its first turn, else for a driving thread to let it run.
// Once `body` has returned, `ended` runs under the lock with its result. Under the lock.
void StartSimulatedLocked(Kernel& k, std::function<DWORD()> body,
                          std::function<void(Kernel&, DWORD)> ended);
// Starts a thread of the kernel's own, scheduled as any simulated thread but not counted in
// threads::Alive: Settle and Advance wait for it, and Reset lets it end first. Under the lock.
void StartKernelThreadLocked(Kernel& k, std::function<void()> body);

// Calls the call hook, if one is set.
void Hook(threads::Call call);
void ResetCallHook();

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_KERNEL_H
