// The deterministic mode's scheduler: one thread runs at a time, and each scheduling point asks
// the strategy which thread runs next.
//
// The thread that holds the turn (Scheduler::current) runs. By default every scheduled thread
// is a user-mode context on the host thread that runs the program, and handing the turn on is a
// switch of contexts: no system call. Where the build has no contexts (or
// TIMEWARD_EXPLORE_SWITCH=handoff) each is a host thread with a turn variable of its own, and
// handing the turn on is setting `current` and waking that one thread under the kernel's lock.
// Both give the same runs for the same choices. A thread is enabled when it is ready, when the wait
// it is blocked in has been woken, or when the critical section it waits for is free. When no
// thread is enabled, virtual time moves to the next timer; with no timer left and program
// threads not done, the run is a deadlock.
#include "run_checks.h"
#include "schedule.h"

#include <cstdio>
#include <cstdlib>

namespace coredll::detail {

namespace {

template <typename S>
auto HeldLock(S& s, const void* lock) -> decltype(&s.locks[0]) {
    for (auto& held : s.locks) {
        if (held.lock == lock)
            return &held;
    }
    return nullptr;
}

bool Enabled(const Scheduler& s, int id) {
    const ScheduledThread& t = *s.threads[id];
    switch (t.state) {
        case ScheduledThread::kReady:
            return true;
        case ScheduledThread::kWaiting:
            return t.waiter->woken;
        case ScheduledThread::kLocking: {
            const Scheduler::Held* held = HeldLock(s, t.lock);
            return !held || held->owner == id;
        }
        case ScheduledThread::kEnded:
            return false;
    }
    return false;
}

// The thread that runs next, -1 when the run is over. Moves virtual time on to the next timer
// while every thread is blocked, or, as a choice like any other, while some could run: a timer
// may expire while a thread that could go on is kept from it, for as long as it takes.
int PickLocked(Kernel& k, Scheduler& s) {
    int running = s.current >= 0 && Enabled(s, s.current) ? s.current : -1;
    std::vector<int>& enabled = s.enabled;
    for (;;) {
        enabled.clear();
        for (int id = 0; id < static_cast<int>(s.threads.size()); ++id) {
            if (Enabled(s, id))
                enabled.push_back(id);
        }
        if (!enabled.empty()) {
            if (!k.timers.empty() && k.timers.begin()->first <= s.time_limit)
                enabled.push_back(kTimerExpires);
            if (enabled.size() == 1)
                return enabled[0];
            const int chosen = s.strategy->Choose(enabled, running);
            s.choices.push_back(chosen);
            s.defaults.push_back(chosen == (running >= 0 ? running : enabled[0]));
            if (chosen != kTimerExpires)
                return chosen;
        } else {
            if (s.programs_left == 0)
                return -1;
            if (!CheckBlockedRunLocked(k, s))
                return -1;
        }
        const uint64_t next = k.timers.begin()->first;
        if (!enabled.empty())
            s.preempted_ms += next - k.manual_now;
        k.manual_now = next;
        while (!k.timers.empty() && k.timers.begin()->first == next)
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
        running = -1;
    }
}

// Passes the turn to the thread the strategy picks; unless `me` ends, returns once `me` has it
// again. `me` is -1 for the host thread that runs the program.
void HandOnLocked(Kernel& k, Scheduler& s, std::unique_lock<std::mutex>& lock, int me, bool ends) {
    if (!s.failure.empty())
        AbandonLocked(k, s, lock, me);
    const int next = PickLocked(k, s);
    if (!s.failure.empty())
        AbandonLocked(k, s, lock, me);
    s.current = next;
    s.finished = next < 0;
    if (!s.contexts) {
        if (next < 0)
            s.done.notify_all();
        else if (next != me)
            s.threads[next]->turn.notify_one();
        if (!ends) {
            s.threads[me]->turn.wait(lock, [&] { return s.current == me || s.aborting; });
            if (s.aborting) {
                lock.release();
                std::longjmp(s.threads[me]->abandon, 1);
            }
        }
        return;
    }
    Context* from = me < 0 ? s.main : s.threads[me]->context;
    Context* to = next < 0 ? s.main : s.threads[next]->context;
    if (from == to)
        return;
    // The kernel's lock is the host thread's: the next context takes it anew.
    lock.unlock();
    SetSelf(next < 0 ? nullptr : &s.threads[next]->self);
    SwitchContext(from, to, ends);
    lock.lock();
    if (s.aborting) {
        // Resumed once more, in an abandoned run, to give up what it holds.
        GiveUpLocksOf(s, me);
        lock.unlock();
        SetSelf(nullptr);
        SwitchContext(from, s.main, true);
        std::abort();  // nothing switches back to an abandoned context
    }
}

// Passes the turn to the thread the strategy picks, and waits until `me` has it again.
void SwitchLocked(Kernel& k, Scheduler& s, std::unique_lock<std::mutex>& lock, int me) {
    HandOnLocked(k, s, lock, me, false);
    s.threads[me]->state = ScheduledThread::kReady;
}

// Ends a scheduled thread and passes the turn on; under the kernel's lock. With contexts it
// does not return.
void EndScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, int id) {
    Scheduler& s = *k.sched;
    s.threads[id]->state = ScheduledThread::kEnded;
    s.threads[id]->gone = true;
    if (s.threads[id]->program)
        --s.programs_left;
    HandOnLocked(k, s, lock, id, true);
}

// A scheduled thread's host thread, in the handoff mode. An abandoned run jumps back here, with
// the kernel's lock held, from wherever the thread stood.
void RunOnHost(Kernel& k, Scheduler& s, ScheduledThread& t, int id) {
    {
        std::unique_lock<std::mutex> lock(k.mu);
        SetSelf(&t.self);
        t.turn.wait(lock, [&] { return s.current == id || s.aborting; });
        if (s.aborting) {
            SetSelf(nullptr);
            return;
        }
    }
    if (setjmp(t.abandon) != 0) {
        GiveUpLocksOf(s, id);
        SetSelf(nullptr);
        k.mu.unlock();
        return;
    }
    t.body();
    std::unique_lock<std::mutex> lock(k.mu);
    EndScheduledLocked(k, lock, id);
    SetSelf(nullptr);
}

// A scheduled thread's context: the switch to it has made its state the host thread's.
void RunInContext(void* arg) {
    ScheduledThread& t = *static_cast<ScheduledThread*>(arg);
    t.body();
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    EndScheduledLocked(k, lock, t.self.scheduled);
}

}  // namespace

// Gives up the critical sections and the loader lock that thread `id` holds; on the host thread
// that entered them.
void GiveUpLocksOf(Scheduler& s, int id) {
    for (auto it = s.locks.begin(); it != s.locks.end();) {
        if (it->owner != id) {
            ++it;
            continue;
        }
        it->give_up(it->lock);
        it = s.locks.erase(it);
    }
}

// The scheduled thread that calls, or null outside a run.
ScheduledThread* Me(Kernel& k) {
    const int me = Self().scheduled;
    return me >= 0 && k.sched ? k.sched->threads[me].get() : nullptr;
}

bool Scheduled() {
    return Self().scheduled >= 0;
}

void SchedulePoint(const char* call) {
    ThreadState& self = Self();
    if (self.scheduled < 0 || self.in_check)
        return;
    Kernel& k = TheKernel();
    Scheduler* s;
    explore::Step step;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        s = k.sched;
        s->trace.push_back({self.scheduled, call});
        if (s->print_steps)
            std::fprintf(stderr, "  step %zu: thread %d %s\n", s->trace.size(), self.scheduled,
                         call);
        CheckStepBoundLocked(*s);
        step = {call,
                self.scheduled,
                s->threads[self.scheduled]->program,
                s->trace.size(),
                NowLocked(k),
                k.alive,
                k.bad_handle_uses};
    }
    CheckStep(*s, self, step);
    std::unique_lock<std::mutex> lock(k.mu);
    SwitchLocked(k, *s, lock, self.scheduled);
}

int StartScheduledLocked(Kernel& k, std::function<void()> body, bool program,
                         std::function<void(Kernel&)> abandoned) {
    Scheduler& s = *k.sched;
    const int id = static_cast<int>(s.threads.size());
    s.threads.push_back(std::make_unique<ScheduledThread>());
    ScheduledThread& t = *s.threads.back();
    t.program = program;
    t.self.simulated = !program;
    t.self.scheduled = id;
    t.body = std::move(body);
    t.abandoned = std::move(abandoned);
    // A new thread sees what its creator did; the creator's later steps it does not.
    if (ScheduledThread* parent = Me(k)) {
        t.clock = parent->clock;
        Tick(parent->clock, Self().scheduled);
    }
    if (id >= kClockThreads)
        FailRun(s, "a run of more than " + std::to_string(kClockThreads) +
                       " threads: the race check's clocks have room for no more");
    Tick(t.clock, id);
    if (program)
        ++s.programs_left;
    if (s.contexts)
        t.context = NewContext(RunInContext, &t);
    else
        t.host = std::thread(RunOnHost, std::ref(k), std::ref(s), std::ref(t), id);
    return id;
}

void RunScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock) {
    Scheduler& s = *k.sched;
    // The first pick is a choice like any other.
    std::vector<int> all;
    for (int id = 0; id < static_cast<int>(s.threads.size()); ++id)
        all.push_back(id);
    const int first = all.size() == 1 ? 0 : s.strategy->Choose(all, -1);
    if (all.size() > 1) {
        s.choices.push_back(first);
        s.defaults.push_back(first == 0);
    }
    if (!s.failure.empty()) {
        // No thread has run: the host threads of a handoff end at their start.
        s.aborting = true;
        for (auto& t : s.threads)
            t->turn.notify_one();
        return;
    }
    s.current = first;
    if (!s.contexts) {
        s.threads[first]->turn.notify_one();
        s.done.wait(lock, [&] { return s.finished; });
        return;
    }
    s.main = NewThreadContext();
    lock.unlock();
    SetSelf(&s.threads[first]->self);
    SwitchContext(s.main, s.threads[first]->context, false);
    // An abandoned run: each thread that holds a lock gives it up on its own context.
    while (s.aborting && !s.locks.empty()) {
        const int owner = s.locks.front().owner;
        ScheduledThread& t = *s.threads[owner];
        if (t.gone) {
            GiveUpLocksOf(s, owner);  // it ended holding them: no context to give them up on
            continue;
        }
        SetSelf(&t.self);
        SwitchContext(s.main, t.context, false);
    }
    lock.lock();
}

void EndRun(Scheduler& s) {
    for (auto& t : s.threads) {
        if (t->host.joinable())
            t->host.join();
        if (t->context)
            DeleteContext(t->context);
        t->context = nullptr;
    }
    if (s.main)
        DeleteContext(s.main);
    s.main = nullptr;
}

Waiter& WaiterLocked(Kernel& k, Waiter& local) {
    ScheduledThread* me = Me(k);
    if (!me)
        return local;
    Waiter& w = me->waiter_storage;
    w.objects.clear();
    w.timed = w.simulated = w.woken = w.held = false;
    w.deadline = 0;
    w.result = WAIT_TIMEOUT;
    return w;
}

std::vector<std::shared_ptr<Object>>& WaitObjectsLocked(
    Kernel& k, std::vector<std::shared_ptr<Object>>& local_objects) {
    ScheduledThread* me = Me(k);
    return me ? me->wait_objects : local_objects;
}

void BlockScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w) {
    Scheduler& s = *k.sched;
    const int me = Self().scheduled;
    ScheduledThread& t = *s.threads[me];
    t.state = ScheduledThread::kWaiting;
    t.waiter = &w;
    SwitchLocked(k, s, lock, me);
    t.waiter = nullptr;
}

void EnterScheduled(void* cs, void (*give_up)(void*)) {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    Scheduler& s = *k.sched;
    const int me = Self().scheduled;
    const Scheduler::Held* held = HeldLock(s, cs);
    if (held && held->owner != me) {
        ScheduledThread& t = *s.threads[me];
        t.state = ScheduledThread::kLocking;
        t.lock = cs;
        SwitchLocked(k, s, lock, me);
        t.lock = nullptr;
    }
    if (Scheduler::Held* mine = HeldLock(s, cs))
        ++mine->depth;
    else
        s.locks.push_back({cs, me, 1, give_up});
    AcquireScheduledLocked(k, cs);
}

void LeaveScheduled(void* cs) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    ReleaseScheduledLocked(k, cs);
    std::vector<Scheduler::Held>& locks = k.sched->locks;
    if (Scheduler::Held* held = HeldLock(*k.sched, cs); held && --held->depth == 0)
        locks.erase(locks.begin() + (held - locks.data()));
}

}  // namespace coredll::detail
