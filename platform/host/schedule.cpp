// The deterministic mode's scheduler: one thread runs at a time, and each scheduling point asks
// the strategy which thread runs next.
//
// Every scheduled thread has a turn variable of its own; the thread that holds the turn
// (Scheduler::current) runs, all others wait on theirs under the kernel's lock. Handing the turn
// on is setting `current` and waking that one thread, under the lock, so each handoff is also
// an ordering that ThreadSanitizer sees. A thread is enabled when it is ready, when the wait it
// is blocked in has been woken, or when the critical section it waits for is free. When no
// thread is enabled, virtual time moves to the next timer; with no timer left and program
// threads not done, the run is a deadlock.
#include "schedule.h"

#include <cstdio>
#include <cstdlib>

namespace coredll::detail {

thread_local int t_scheduled = -1;

namespace {

thread_local bool t_in_check = false;

bool Enabled(const Scheduler& s, int id) {
    const ScheduledThread& t = *s.threads[id];
    switch (t.state) {
        case ScheduledThread::kReady:
            return true;
        case ScheduledThread::kWaiting:
            return t.waiter->woken;
        case ScheduledThread::kLocking: {
            auto it = s.locks.find(t.lock);
            return it == s.locks.end() || it->second.first == id;
        }
        case ScheduledThread::kEnded:
            return false;
    }
    return false;
}

// The thread that runs next, -1 when the run is over. Moves virtual time on while every thread
// is blocked.
int PickLocked(Kernel& k, Scheduler& s) {
    int running = s.current >= 0 && Enabled(s, s.current) ? s.current : -1;
    std::vector<int> enabled;
    for (;;) {
        for (int id = 0; id < static_cast<int>(s.threads.size()); ++id) {
            if (Enabled(s, id))
                enabled.push_back(id);
        }
        if (!enabled.empty())
            break;
        if (s.programs_left == 0)
            return -1;
        if (k.timers.empty())
            FailRun(s, "every thread is blocked and no timer is set: a deadlock");
        const uint64_t next = k.timers.begin()->first;
        if (next > s.time_limit)
            FailRun(s, "the program's threads are not done after " + std::to_string(s.time_limit) +
                           " ms of virtual time");
        k.manual_now = next;
        while (!k.timers.empty() && k.timers.begin()->first == next)
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
        running = -1;
    }
    if (enabled.size() == 1)
        return enabled[0];
    const int chosen = s.strategy->Choose(enabled, running);
    s.choices.push_back(chosen);
    s.defaults.push_back(chosen == (running >= 0 ? running : enabled[0]));
    return chosen;
}

// Passes the turn to the thread the strategy picks, and waits until `me` has it again.
void SwitchLocked(Kernel& k, Scheduler& s, std::unique_lock<std::mutex>& lock, int me) {
    const int next = PickLocked(k, s);
    s.current = next;
    if (next < 0) {
        s.finished = true;
        s.done.notify_all();
    } else if (next != me) {
        s.threads[next]->turn.notify_one();
    }
    ScheduledThread& t = *s.threads[me];
    t.turn.wait(lock, [&] { return s.current == me; });
    t.state = ScheduledThread::kReady;
}

// Passes the turn on from a thread that ends.
void PassOnLocked(Kernel& k, Scheduler& s) {
    const int next = PickLocked(k, s);
    s.current = next;
    if (next < 0) {
        s.finished = true;
        s.done.notify_all();
    } else {
        s.threads[next]->turn.notify_one();
    }
}

std::string Choices(const Scheduler& s) {
    size_t end = s.defaults.size();
    while (end > 0 && s.defaults[end - 1])
        --end;
    std::string text = "choices:";
    for (size_t i = 0; i < end;) {
        size_t j = i;
        while (j < end && s.choices[j] == s.choices[i])
            ++j;
        // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) of "," + std::to_string().
        if (i != 0)
            text += ',';
        text += std::to_string(s.choices[i]);
        if (j - i > 1) {
            text += '*';
            text += std::to_string(j - i);
        }
        i = j;
    }
    return text;
}

}  // namespace

bool Scheduled() {
    return t_scheduled >= 0;
}

void SchedulePoint(const char* call) {
    if (t_scheduled < 0 || t_in_check)
        return;
    Kernel& k = TheKernel();
    Scheduler* s;
    {
        std::lock_guard<std::mutex> lock(k.mu);
        s = k.sched;
        s->trace.push_back({t_scheduled, call});
        if (s->print_steps)
            std::fprintf(stderr, "  step %zu: thread %d %s\n", s->trace.size(), t_scheduled, call);
        if (s->trace.size() > s->step_bound)
            FailRun(*s, "the program's threads are not done after " +
                            std::to_string(s->step_bound) + " scheduling points");
    }
    if (s->check_step) {
        t_in_check = true;
        const std::string what = s->check_step(call);
        t_in_check = false;
        if (!what.empty())
            FailRun(*s, what);
    }
    std::unique_lock<std::mutex> lock(k.mu);
    SwitchLocked(k, *s, lock, t_scheduled);
}

int AddScheduledLocked(Kernel& k) {
    k.sched->threads.push_back(std::make_unique<ScheduledThread>());
    return static_cast<int>(k.sched->threads.size()) - 1;
}

void AwaitFirstTurnLocked(Kernel& k, std::unique_lock<std::mutex>& lock, int id) {
    Scheduler& s = *k.sched;
    s.threads[id]->turn.wait(lock, [&] { return s.current == id; });
}

void EndScheduledLocked(Kernel& k, int id) {
    Scheduler& s = *k.sched;
    s.threads[id]->state = ScheduledThread::kEnded;
    if (s.threads[id]->program)
        --s.programs_left;
    PassOnLocked(k, s);
}

void BlockScheduledLocked(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w) {
    Scheduler& s = *k.sched;
    ScheduledThread& t = *s.threads[t_scheduled];
    t.state = ScheduledThread::kWaiting;
    t.waiter = &w;
    SwitchLocked(k, s, lock, t_scheduled);
    t.waiter = nullptr;
}

void EnterScheduled(void* cs) {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    Scheduler& s = *k.sched;
    auto it = s.locks.find(cs);
    if (it != s.locks.end() && it->second.first != t_scheduled) {
        ScheduledThread& t = *s.threads[t_scheduled];
        t.state = ScheduledThread::kLocking;
        t.lock = cs;
        SwitchLocked(k, s, lock, t_scheduled);
        t.lock = nullptr;
    }
    auto& [owner, depth] = s.locks[cs];
    owner = t_scheduled;
    ++depth;
}

void LeaveScheduled(void* cs) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    auto it = k.sched->locks.find(cs);
    if (it != k.sched->locks.end() && --it->second.second == 0)
        k.sched->locks.erase(it);
}

void FailRun(Scheduler& s, const std::string& what) {
    std::string schedule = s.schedule.empty() ? Choices(s) : s.schedule;
    std::fprintf(stderr, "explore: program %s failed: %s\n  %s, schedule %s\n  last steps:\n",
                 s.program.c_str(), what.c_str(), s.run.c_str(), schedule.c_str());
    const size_t from = s.trace.size() > 40 ? s.trace.size() - 40 : 0;
    for (size_t i = from; i < s.trace.size(); ++i)
        std::fprintf(stderr, "    %zu: thread %d %s\n", i + 1, s.trace[i].thread, s.trace[i].call);
    std::fprintf(stderr, "  run it alone: TIMEWARD_EXPLORE_REPLAY='%s=%s'\n", s.program.c_str(),
                 schedule.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace coredll::detail
