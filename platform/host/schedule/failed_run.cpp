// A failed run: the report on what failed, with the schedule that replays it, and the end of the
// run, in which every thread stops where it stands.
#include "schedule.h"

#include <cstdio>
#include <cstdlib>

namespace coredll::detail {

namespace {

// A blocked wait that will never end: no object or timer may keep pointing at it.
void ForgetWaitLocked(Kernel& k, ScheduledThread& t) {
    Waiter* w = t.state == ScheduledThread::kWaiting ? t.waiter : nullptr;
    if (!w || w->woken)
        return;
    for (Object* o : w->objects)
        o->waiters.remove(w);
    if (w->timed)
        k.timers.erase(w->timer);
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

// Abandons the failed run from the thread `me` that holds the turn: every thread of it ends where
// it stands, as TerminateThread ends one on the device. Its waits are forgotten, what it holds is
// given up, a simulated thread ends as its creator sees it, and its stack is abandoned (a
// context's is freed with it; a host thread's frames are skipped by a jump to its start). Nothing
// is unwound, so no frame that a thread can be left in owns heap memory: a wait keeps its objects
// in the thread's state. Never returns.
[[noreturn]] void AbandonLocked(Kernel& k, Scheduler& s, std::unique_lock<std::mutex>& lock,
                                int me) {
    for (auto& t : s.threads) {
        if (t->state != ScheduledThread::kEnded)
            ForgetWaitLocked(k, *t);
    }
    for (int id = 0; id < static_cast<int>(s.threads.size()); ++id) {
        ScheduledThread& t = *s.threads[id];
        if (t.state == ScheduledThread::kEnded)
            continue;
        t.state = ScheduledThread::kEnded;
        if (t.abandoned)
            t.abandoned(k);
    }
    s.aborting = true;
    s.finished = true;
    s.current = -1;
    if (!s.contexts) {
        for (auto& t : s.threads)
            t->turn.notify_one();
        s.done.notify_all();
        // The kernel's lock stays held: the thread's start lets it go.
        lock.release();
        std::longjmp(s.threads[me]->abandon, 1);
    }
    // Each thread gives up its locks where it took them, as the sanitizers see a context as a
    // thread of its own: this one here, another when the program's context switches to it once
    // more (RunScheduledLocked).
    GiveUpLocksOf(s, me);
    lock.unlock();
    SetSelf(nullptr);
    SwitchContext(s.threads[me]->context, s.main, true);
    std::abort();  // nothing switches back to an abandoned context
}

void FailRun(Scheduler& s, const std::string& what) {
    if (!s.failure.empty())
        return;
    const std::string schedule = s.schedule.empty() ? Choices(s) : s.schedule;
    std::string report = "program " + s.program + " failed: " + what + "\n  " + s.run +
                         ", schedule " + schedule + "\n  last steps:\n";
    const size_t from = s.trace.size() > 40 ? s.trace.size() - 40 : 0;
    for (size_t i = from; i < s.trace.size(); ++i) {
        report += "    " + std::to_string(i + 1) + ": thread ";
        report += std::to_string(s.trace[i].thread) + " " + s.trace[i].call + "\n";
    }
    report += "  run it alone: TIMEWARD_EXPLORE_REPLAY='" + s.program + "=" + schedule + "'\n";
    std::fprintf(stderr, "explore: %s", report.c_str());
    std::fflush(stderr);
    s.failure = std::move(report);
}

void FailScheduledRun(const std::string& what) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    if (k.sched)
        FailRun(*k.sched, what);
}

void FailRunNow(Scheduler& s, const std::string& what) {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    FailRun(s, what);
    AbandonLocked(k, s, lock, Self().scheduled);
}

}  // namespace coredll::detail
