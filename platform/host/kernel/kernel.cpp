// The simulated kernel's scheduler: handles, waits, and when simulated threads run.
//
// Every simulated thread (one started by CreateThread) is either runnable or blocked in a
// wait or a sleep. Whoever wakes a waiter counts it runnable again before it runs, so
// "every simulated thread is blocked" is a state that Settle can wait for without polling,
// and a manual-mode Advance can run the woken threads to their next wait one deadline at a
// time.
//
// In manual mode the threads that drive the simulation (tests, tools: any thread not started
// by CreateThread) behave as if they had the highest priority on a single processor: a
// simulated thread that was woken, or is new, runs only while one of them lets time pass, in
// Settle, Advance, or a wait or sleep of its own. Two requests that a test makes back to back
// thus reach a waiting thread before it runs, as they would on a device.
#include "kernel.h"

#include "deterministic.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace coredll::detail {

Kernel& TheKernel() {
    static Kernel* kernel = [] {
        Kernel* k = new Kernel;  // never destroyed: threads may outlive main
        StartClocks(*k);
        return k;
    }();
    return *kernel;
}

namespace {

SteadyClock::time_point RealFor(Kernel& k, uint64_t virtual_ms) {
    double real_ms = static_cast<double>(virtual_ms - k.anchor_virtual) / k.scale;
    return k.anchor_real + std::chrono::duration_cast<SteadyClock::duration>(
                               std::chrono::duration<double, std::milli>(real_ms));
}

[[noreturn]] void Die(const char* what, uint64_t ms, uint64_t now) {
    std::fprintf(stderr,
                 "simulated kernel: %s (%llu ms of virtual time; virtual time is now %llu ms)\n",
                 what, static_cast<unsigned long long>(ms), static_cast<unsigned long long>(now));
    std::abort();
}

// A driving thread's wait that is bounded, or has a time-out: moves virtual time on, timer by
// timer, while every simulated thread is blocked, until `w` is woken (at the latest by its own
// time-out) or the bound is passed.
void DriveTime(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w) {
    const uint64_t give_up = k.driving_bound ? k.manual_now + k.driving_bound : w.deadline;
    while (!w.woken) {
        k.settled.wait(lock, [&] { return w.woken || k.runnable == 0; });
        if (w.woken)
            return;
        if (k.timers.empty() || k.timers.begin()->first > give_up) {
            const bool thread = !w.objects.empty() && w.objects.front()->is_thread;
            Die(thread ? "a wait for a simulated thread to end did not end"
                       : "a driving thread's wait did not end",
                k.driving_bound, k.manual_now);
        }
        k.manual_now = k.timers.begin()->first;
        while (!k.timers.empty() && k.timers.begin()->first == k.manual_now)
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
    }
}

}  // namespace

uint64_t NowLocked(Kernel& k) {
    if (k.manual)
        return k.manual_now;
    auto real = std::chrono::duration<double, std::milli>(SteadyClock::now() - k.anchor_real);
    return k.anchor_virtual + static_cast<uint64_t>(real.count() * k.scale);
}

void Wake(Kernel& k, Waiter* w, DWORD result) {
    w->woken = true;
    w->result = result;
    for (Object* o : w->objects)
        o->waiters.remove(w);
    if (w->timed)
        k.timers.erase(w->timer);
    if (w->simulated) {
        k.runnable++;
        if (k.manual && k.gate == 0 && !k.sched) {
            w->held = true;
            k.held.push_back(w);
            return;
        }
    }
    w->cv.notify_one();
}

void Release(Kernel& k) {
    for (Waiter* w : k.held) {
        w->held = false;
        w->cv.notify_one();
    }
    k.held.clear();
}

void SettleLocked(Kernel& k, std::unique_lock<std::mutex>& lock) {
    OpenGate gate(k);
    const auto& owners = k.section_owners_awaited;
    const auto awaits_me = [&] { return std::count(owners.begin(), owners.end(), &Self()) != 0; };
    k.settled.wait(lock, [&] { return k.runnable == 0 || awaits_me(); });
    if (k.runnable != 0) {
        // A call the test made returned holding a critical section, and a simulated thread waits
        // to enter it: on the device as here, it would wait for ever.
        lock.unlock();
        LockMisuse(
            "a simulated thread waits for a critical section that the test's thread holds while "
            "it lets the simulated threads run: a deadlock");
    }
}

void ReturnsAtOnce(Kernel& k) {
    ThreadState& self = Self();
    if (!self.simulated)
        return;
    const uint64_t now = NowLocked(k);
    self.spins = now == self.spin_at ? self.spins + 1 : 1;
    self.spin_at = now;
    if (self.spins >= threads::kSpinLimit && k.sched) {
        FailRun(*k.sched, "a simulated thread spins: its waits returned at once without end");
        return;
    }
    if (self.spins >= threads::kSpinLimit)
        Die("a simulated thread spins: its waits returned at once without end", 0, now);
}

DWORD Block(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w, DWORD ms) {
    Self().spins = 0;
    w.simulated = Self().simulated;
    if (ms != INFINITE) {
        w.timed = true;
        w.deadline = NowLocked(k) + ms;
        w.timer = k.timers.emplace(w.deadline, &w);
    }
    for (Object* o : w.objects)
        o->waiters.push_back(&w);
    if (w.simulated && --k.runnable == 0)
        k.settled.notify_all();
    if (Scheduled()) {
        BlockScheduledLocked(k, lock, w);
        return w.result;
    }
    OpenGate gate(k);
    if (!w.simulated && k.manual && (k.driving_bound != 0 || w.timed))
        DriveTime(k, lock, w);
    while (!w.woken || w.held) {
        if (w.woken || k.manual || !w.timed) {
            w.cv.wait(lock);
        } else if (NowLocked(k) >= w.deadline) {
            Wake(k, &w, WAIT_TIMEOUT);
        } else {
            w.cv.wait_until(lock, RealFor(k, w.deadline));
        }
    }
    return w.result;
}

std::shared_ptr<Object> Lookup(Kernel& k, HANDLE h) {
    auto it = k.handles.find(reinterpret_cast<uintptr_t>(h));
    return it == k.handles.end() ? nullptr : it->second;
}

HANDLE AddHandle(Kernel& k, std::shared_ptr<Object> object) {
    uintptr_t h = k.next_handle;
    k.next_handle += kHandleStep;
    k.handles[h] = std::move(object);
    return reinterpret_cast<HANDLE>(h);
}

// Releases waiters of an object that has just been set, each with the index the object has
// in its wait.
void ReleaseWaiters(Kernel& k, Object& o, bool all) {
    while (!o.waiters.empty()) {
        Waiter* w = o.waiters.front();
        const auto at = std::find(w->objects.begin(), w->objects.end(), &o);
        Wake(k, w, WAIT_OBJECT_0 + static_cast<DWORD>(at - w->objects.begin()));
        if (!all)
            return;
    }
}

void ResetKernel() {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    // The kernel's own threads (a notification thread with deliveries left) end first.
    if (k.kernel_threads != 0) {
        OpenGate gate(k);
        k.settled.wait(lock, [&] { return k.kernel_threads == 0; });
    }
    if (k.alive != 0) {
        std::fprintf(stderr, "coredll::Reset: %d simulated threads are still alive\n", k.alive);
        std::abort();
    }
    if (AnySectionHeld()) {
        std::fprintf(stderr,
                     "coredll::Reset: a critical section is still held: an entry point "
                     "or a thread returned holding it\n");
        std::abort();
    }
    StartClocks(k);
    k.handles.clear();
    k.named.clear();
    k.taken_names.clear();
    k.timers.clear();
    k.runnable = 0;
    k.gate = 0;
    k.held.clear();
    k.started = 0;
    k.fail_events = k.fail_threads = k.fail_waits = false;
    k.driving_bound = 0;
    k.bad_handle_uses = 0;
    k.set_calls.clear();
    ResetCallHook();
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

namespace {

// A wait for any one of `handles`: the first that is signaled ends it at once (an auto-reset
// event is reset by the wait it ends), else the caller blocks until one is set or the time is up.
DWORD WaitForAny(const HANDLE* handles, DWORD count, DWORD ms) {
    Hook(threads::Call::kWait);
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    auto fail = [&](DWORD error) {
        SetLastError(error);
        ReturnsAtOnce(k);
        return WAIT_FAILED;
    };
    // Held: a close during the wait is safe.
    std::vector<std::shared_ptr<Object>> local_objects;
    std::vector<std::shared_ptr<Object>>& objects = WaitObjectsLocked(k, local_objects);
    objects.clear();
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Object> o = Lookup(k, handles[i]);
        if (!o) {
            k.bad_handle_uses++;
            return fail(ERROR_INVALID_HANDLE);
        }
        // As the documentation says, one object may not be waited for twice in one wait.
        for (const auto& earlier : objects) {
            if (earlier == o)
                return fail(ERROR_INVALID_PARAMETER);
        }
        // Its end needs the loader lock: on the device this wait never ends.
        if (o->is_thread && !o->signaled && HoldsLoaderLock()) {
            const char* what =
                "a wait for a thread's end while holding the loader lock: a deadlock";
            if (!k.sched)
                LockMisuse(what);
            FailRun(*k.sched, what);  // the run is abandoned in the wait
        }
        objects.push_back(std::move(o));
    }
    if (k.fail_waits)
        return fail(ERROR_INVALID_HANDLE);
    for (DWORD i = 0; i < count; ++i) {
        Object& o = *objects[i];
        if (o.signaled) {
            if (!o.manual_reset)
                o.signaled = false;
            AcquireScheduledLocked(k, &o);
            ReturnsAtOnce(k);
            return WAIT_OBJECT_0 + i;
        }
    }
    if (ms == 0) {
        ReturnsAtOnce(k);
        return WAIT_TIMEOUT;
    }
    Waiter local;
    Waiter& w = WaiterLocked(k, local);
    for (const auto& o : objects)
        w.objects.push_back(o.get());
    const DWORD result = Block(k, lock, w, ms);
    if (result - WAIT_OBJECT_0 < count)
        AcquireScheduledLocked(k, objects[result - WAIT_OBJECT_0].get());
    objects.clear();
    return result;
}

}  // namespace

COREDLL_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForAny(&hHandle, 1, dwMilliseconds);
}

COREDLL_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL fWaitAll,
                                         DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles || fWaitAll) {
        Hook(threads::Call::kWait);
        SetLastError(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(TheKernel().mu);
        ReturnsAtOnce(TheKernel());
        return WAIT_FAILED;
    }
    return WaitForAny(lpHandles, nCount, dwMilliseconds);
}

COREDLL_API void Sleep(DWORD dwMilliseconds) {
    Hook(threads::Call::kSleep);
    if (dwMilliseconds == 0) {
        // It gives up the processor and returns: a thread that does nothing else spins.
        std::this_thread::yield();
        std::lock_guard<std::mutex> lock(TheKernel().mu);
        ReturnsAtOnce(TheKernel());
        return;
    }
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    Waiter w;
    Block(k, lock, w, dwMilliseconds);
}

COREDLL_API BOOL CloseHandle(HANDLE hObject) {
    Hook(threads::Call::kCloseHandle);
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    auto it = k.handles.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == k.handles.end()) {
        k.bad_handle_uses++;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::u16string name = it->second->name;
    k.handles.erase(it);
    if (!name.empty()) {
        auto n = k.named.find(name);
        if (n != k.named.end() && n->second.expired())
            k.named.erase(n);
    }
    return TRUE;
}
