// Critical sections and interlocked operations: host locks and atomics, as strict as the device.
#include "deterministic.h"
#include "self.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <cstdio>
#include <cstdlib>

using namespace coredll;
using namespace coredll::detail;

namespace {

// A critical section is a recursive mutex, as its owner may enter it again. It is not a
// simulated wait: its holders never block while holding it, so it needs no scheduling, but in
// the deterministic mode the scheduler, not the mutex, makes a thread wait for it. Its owner
// (the simulated thread's own state, which tells apart threads that share a host thread in the
// deterministic mode) and depth are written by the owner alone, under the mutex.
struct Section {
    std::recursive_mutex mu;
    std::atomic<const ThreadState*> owner{nullptr};
    int depth = 0;
};

// The sections initialised and not deleted, by their address: a module unloaded with one of its
// own among them has leaked it.
std::mutex g_live_mu;
std::set<const char*> g_live;

// Sections held by any thread; each thread counts its own entries in its state.
std::atomic<int> g_sections_held{0};

Section* SectionOf(LPCRITICAL_SECTION cs) {
    return static_cast<Section*>(cs->LockObject);
}

// Frees a section whose owner was abandoned with its run, on the host thread that entered it.
void GiveUpSection(void* section) {
    Section* s = static_cast<Section*>(section);
    if (s->depth == 0)
        return;
    while (s->depth > 0) {
        --s->depth;
        s->mu.unlock();
    }
    s->owner.store(nullptr);
    --g_sections_held;
}

// A simulated thread outside the deterministic mode waits for the section's owner, which the
// kernel notes, so that a test's thread that settles while it owns the section says so.
void WaitToEnter(Section* s) {
    Kernel& k = TheKernel();
    const ThreadState* owner = s->owner.load();
    {
        std::lock_guard<std::mutex> lock(k.mu);
        k.section_owners_awaited.push_back(owner);
        k.settled.notify_all();
    }
    s->mu.lock();
    std::lock_guard<std::mutex> lock(k.mu);
    auto& owners = k.section_owners_awaited;
    owners.erase(std::find(owners.begin(), owners.end(), owner));
}

}  // namespace

namespace coredll::detail {

// On the device a section left by a thread that does not own it corrupts the lock, and one left
// held blocks every other thread for good: the simulation stops at once and says which.
void LockMisuse(const std::string& what) {
    Kernel& k = TheKernel();
    if (Scheduled() && k.sched)
        FailRunNow(*k.sched, what);
    std::fprintf(stderr, "simulated kernel: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void CheckNoSectionHeldHere(const std::string& who) {
    if (Self().sections_held != 0)
        LockMisuse(who + " returned holding a critical section");
}

bool AnySectionLiveIn(const char* begin, size_t size) {
    std::lock_guard<std::mutex> lock(g_live_mu);
    const auto it = g_live.lower_bound(begin);
    return it != g_live.end() && *it < begin + size;
}

bool AnySectionHeld() {
    return g_sections_held.load() != 0;
}

}  // namespace coredll::detail

namespace coredll::threads {

void CheckNoSectionHeld(std::string_view who) {
    CheckNoSectionHeldHere(std::string(who));
}

}  // namespace coredll::threads

COREDLL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lpCriticalSection->LockObject = new Section;
    std::lock_guard<std::mutex> lock(g_live_mu);
    g_live.insert(reinterpret_cast<const char*>(lpCriticalSection));
}

COREDLL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kEnterCriticalSection);
    Section* s = SectionOf(lpCriticalSection);
    if (Scheduled())
        EnterScheduled(s, GiveUpSection);
    if (Scheduled() || !Self().simulated)
        s->mu.lock();
    else if (!s->mu.try_lock())
        WaitToEnter(s);
    if (s->depth++ == 0) {
        s->owner.store(&Self());
        ++g_sections_held;
    }
    ++Self().sections_held;
}

COREDLL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kLeaveCriticalSection);
    Section* s = SectionOf(lpCriticalSection);
    if (s->owner.load() != &Self())
        LockMisuse("LeaveCriticalSection by a thread that does not own the section");
    --Self().sections_held;
    if (--s->depth == 0) {
        s->owner.store(nullptr);
        --g_sections_held;
    }
    s->mu.unlock();
    if (Scheduled())
        LeaveScheduled(s);
}

COREDLL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Section* s = SectionOf(lpCriticalSection);
    if (s->owner.load() != nullptr)
        LockMisuse("DeleteCriticalSection of a section that a thread holds");
    delete s;
    lpCriticalSection->LockObject = nullptr;
    std::lock_guard<std::mutex> lock(g_live_mu);
    g_live.erase(reinterpret_cast<const char*>(lpCriticalSection));
}

COREDLL_API LONG InterlockedExchange(LPLONG Target, LONG Value) {
    SchedulePoint("InterlockedExchange");
    InterlockedScheduled(Target);  // its address names it
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

COREDLL_API LONG InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand) {
    SchedulePoint("InterlockedCompareExchange");
    InterlockedScheduled(Destination);
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
