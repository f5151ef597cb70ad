// The simulated kernel: virtual time, the wall clock, events, waits and threads.
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
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace sim::detail {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Waiter;

struct Object {
    bool is_thread = false;
    bool manual_reset = false;
    bool signaled = false;
    std::u16string name;
    std::list<Waiter*> waiters;
};

struct Waiter {
    Object* object = nullptr;  // none for a sleep
    bool timed = false;
    uint64_t deadline = 0;
    bool simulated = false;
    bool woken = false;
    bool held = false;
    DWORD result = WAIT_TIMEOUT;
    std::condition_variable cv;
    std::multimap<uint64_t, Waiter*>::iterator timer;
};

constexpr int64_t kMsPerDay = 86400000;

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
    std::multimap<uint64_t, Waiter*> timers;  // by deadline; equal deadlines in arrival order
    int alive = 0;
    int runnable = 0;
    int gate = 0;             // driving threads now letting simulated ones run
    std::list<Waiter*> held;  // woken simulated waiters that wait for the gate
    uint64_t started = 0;
    bool fail_events = false;
    bool fail_threads = false;
    bool fail_waits = false;
    uint64_t driving_bound = 0;
    uint64_t bad_handle_uses = 0;
    std::vector<clock::SetCall> set_calls;
};

void StartClocks(Kernel& k);

Kernel& K() {
    static Kernel* kernel = [] {
        Kernel* k = new Kernel;  // never destroyed: threads may outlive main
        StartClocks(*k);
        return k;
    }();
    return *kernel;
}

thread_local bool t_simulated = false;
// Waits of this simulated thread that returned at once, in a row, at virtual time t_spin_at.
thread_local int t_spins = 0;
thread_local uint64_t t_spin_at = 0;

// The call hook, apart from the kernel's lock so that a hook may block and call the library.
std::mutex g_hook_mu;
std::shared_ptr<const threads::CallHook> g_hook;

void Hook(threads::Call call) {
    std::shared_ptr<const threads::CallHook> hook;
    {
        std::lock_guard<std::mutex> lock(g_hook_mu);
        hook = g_hook;
    }
    if (hook)
        (*hook)(call);
}

uint64_t NowLocked(Kernel& k) {
    if (k.manual)
        return k.manual_now;
    auto real = std::chrono::duration<double, std::milli>(SteadyClock::now() - k.anchor_real);
    return k.anchor_virtual + static_cast<uint64_t>(real.count() * k.scale);
}

SteadyClock::time_point RealFor(Kernel& k, uint64_t virtual_ms) {
    double real_ms = static_cast<double>(virtual_ms - k.anchor_virtual) / k.scale;
    return k.anchor_real + std::chrono::duration_cast<SteadyClock::duration>(
                               std::chrono::duration<double, std::milli>(real_ms));
}

void Wake(Kernel& k, Waiter* w, DWORD result) {
    w->woken = true;
    w->result = result;
    if (w->object)
        w->object->waiters.remove(w);
    if (w->timed)
        k.timers.erase(w->timer);
    if (w->simulated) {
        k.runnable++;
        if (k.manual && k.gate == 0) {
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

// While a driving thread is inside, woken simulated threads may run.
class OpenGate {
  public:
    explicit OpenGate(Kernel& k) : k_(k), open_(!t_simulated) {
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

void SettleLocked(Kernel& k, std::unique_lock<std::mutex>& lock) {
    OpenGate gate(k);
    k.settled.wait(lock, [&] { return k.runnable == 0; });
}

[[noreturn]] void Die(const char* what, uint64_t ms, uint64_t now) {
    std::fprintf(stderr,
                 "simulated kernel: %s (%llu ms of virtual time; virtual time is now %llu ms)\n",
                 what, static_cast<unsigned long long>(ms), static_cast<unsigned long long>(now));
    std::abort();
}

// A simulated thread's wait that returns without blocking; ends a spin.
void ReturnsAtOnce(Kernel& k) {
    if (!t_simulated)
        return;
    const uint64_t now = NowLocked(k);
    t_spins = now == t_spin_at ? t_spins + 1 : 1;
    t_spin_at = now;
    if (t_spins >= threads::kSpinLimit)
        Die("a simulated thread spins: its waits returned at once without end", 0, now);
}

// A bounded driving thread's wait: moves virtual time on, timer by timer, while every
// simulated thread is blocked, until `w` is woken or the bound is passed.
void DriveTime(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w) {
    const uint64_t give_up = k.manual_now + k.driving_bound;
    while (!w.woken) {
        k.settled.wait(lock, [&] { return w.woken || k.runnable == 0; });
        if (w.woken)
            return;
        if (k.timers.empty() || k.timers.begin()->first > give_up) {
            Die(w.object && w.object->is_thread ? "a wait for a simulated thread to end did not end"
                                                : "a driving thread's wait did not end",
                k.driving_bound, k.manual_now);
        }
        k.manual_now = k.timers.begin()->first;
        while (!k.timers.empty() && k.timers.begin()->first == k.manual_now)
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
    }
}

// Blocks the caller until `w` is woken; the caller holds the lock.
DWORD Block(Kernel& k, std::unique_lock<std::mutex>& lock, Waiter& w, DWORD ms) {
    t_spins = 0;
    w.simulated = t_simulated;
    if (ms != INFINITE) {
        w.timed = true;
        w.deadline = NowLocked(k) + ms;
        w.timer = k.timers.emplace(w.deadline, &w);
    }
    if (w.object)
        w.object->waiters.push_back(&w);
    if (w.simulated && --k.runnable == 0)
        k.settled.notify_all();
    OpenGate gate(k);
    if (!w.simulated && k.manual && k.driving_bound != 0)
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
    k.next_handle += 4;
    k.handles[h] = std::move(object);
    return reinterpret_cast<HANDLE>(h);
}

// Releases waiters of an object that has just been set.
void ReleaseWaiters(Kernel& k, Object& o, bool all) {
    while (!o.waiters.empty()) {
        Wake(k, o.waiters.front(), WAIT_OBJECT_0);
        if (!all)
            return;
    }
}

constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kDays1601 = DaysFromCivil(1601, 1, 1);

// Virtual time 0, the wall clock at 2026-01-01 00:00:00 UTC, manual mode.
void StartClocks(Kernel& k) {
    k.manual = true;
    k.scale = 1.0;
    k.manual_now = 0;
    k.anchor_virtual = 0;
    k.anchor_real = SteadyClock::now();
    k.wall_base = (DaysFromCivil(2026, 1, 1) - kDays1601) * kMsPerDay;
    k.wall_mono = 0;
}

}  // namespace

SYSTEMTIME WallNow() {
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    return clock::FromMs(k.wall_base + static_cast<int64_t>(NowLocked(k) - k.wall_mono));
}

uint64_t VirtualNowMs() {
    std::lock_guard<std::mutex> lock(K().mu);
    return NowLocked(K());
}

void ResetKernel() {
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    if (k.alive != 0) {
        std::fprintf(stderr, "sim::Reset: %d simulated threads are still alive\n", k.alive);
        std::abort();
    }
    StartClocks(k);
    k.handles.clear();
    k.named.clear();
    k.timers.clear();
    k.runnable = 0;
    k.gate = 0;
    k.held.clear();
    k.started = 0;
    k.fail_events = k.fail_threads = k.fail_waits = false;
    k.driving_bound = 0;
    k.bad_handle_uses = 0;
    k.set_calls.clear();
    std::lock_guard<std::mutex> hook_lock(g_hook_mu);
    g_hook.reset();
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim::clock {

bool IsValidRecord(const SYSTEMTIME& st) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12)
        return false;
    bool leap = (st.wYear % 4 == 0 && st.wYear % 100 != 0) || st.wYear % 400 == 0;
    unsigned days = kDays[st.wMonth - 1] + (st.wMonth == 2 && leap ? 1 : 0);
    return st.wDay >= 1 && st.wDay <= days && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

bool ToMs(const SYSTEMTIME& st, int64_t* ms) {
    if (!IsValidRecord(st))
        return false;
    int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDays1601;
    *ms = ((days * 24 + st.wHour) * 60 + st.wMinute) * 60000 + st.wSecond * 1000 + st.wMilliseconds;
    return true;
}

SYSTEMTIME FromMs(int64_t ms) {
    if (ms < 0)
        ms = 0;
    int64_t days = ms / kMsPerDay;
    int64_t rest = ms % kMsPerDay;
    // civil_from_days, counted from 1970-01-01
    int64_t z = days + kDays1601 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<WORD>(rest / 3600000);
    st.wMinute = static_cast<WORD>(rest / 60000 % 60);
    st.wSecond = static_cast<WORD>(rest / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(rest % 1000);
    return st;
}

void SetManual() {
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    k.manual_now = NowLocked(k);
    k.manual = true;
    for (auto& [deadline, w] : k.timers)
        w->cv.notify_one();
}

void SetScaled(double scale) {
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    uint64_t now = NowLocked(k);
    k.manual = false;
    k.scale = scale > 0 ? scale : 1.0;
    k.anchor_virtual = now;
    k.anchor_real = SteadyClock::now();
    Release(k);
    for (auto& [deadline, w] : k.timers)
        w->cv.notify_one();
}

uint64_t NowMs() {
    return VirtualNowMs();
}

void Advance(uint64_t ms) {
    Kernel& k = K();
    std::unique_lock<std::mutex> lock(k.mu);
    if (!k.manual) {
        k.anchor_virtual += ms;
        for (auto& [deadline, w] : k.timers)
            w->cv.notify_one();
        return;
    }
    const uint64_t target = k.manual_now + ms;
    OpenGate gate(k);
    SettleLocked(k, lock);
    while (!k.timers.empty() && k.timers.begin()->first <= target) {
        k.manual_now = k.timers.begin()->first;
        while (!k.timers.empty() && k.timers.begin()->first == k.manual_now) {
            Wake(k, k.timers.begin()->second, WAIT_TIMEOUT);
        }
        SettleLocked(k, lock);
    }
    k.manual_now = target;
}

void Settle() {
    std::unique_lock<std::mutex> lock(K().mu);
    SettleLocked(K(), lock);
}

void BoundDrivingWaits(uint64_t ms) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().driving_bound = ms;
}

SYSTEMTIME Now() {
    return WallNow();
}

void SetWall(const SYSTEMTIME& st) {
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    int64_t ms;
    if (!ToMs(st, &ms))
        return;
    k.wall_base = ms;
    k.wall_mono = NowLocked(k);
}

std::vector<SetCall> SetSystemTimeCalls() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().set_calls;
}

}  // namespace sim::clock

namespace sim::threads {

int Alive() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().alive;
}

uint64_t Started() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().started;
}

int OpenHandles() {
    std::lock_guard<std::mutex> lock(K().mu);
    return static_cast<int>(K().handles.size());
}

bool EventExists(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(K().mu);
    auto it = K().named.find(std::u16string(name));
    return it != K().named.end() && !it->second.expired();
}

void FailEventCreation(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_events = fail;
}

void FailThreadCreation(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_threads = fail;
}

void FailWaits(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_waits = fail;
}

uint64_t BadHandleUses() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().bad_handle_uses;
}

void SetCallHook(CallHook hook) {
    std::lock_guard<std::mutex> lock(g_hook_mu);
    g_hook = hook ? std::make_shared<const CallHook>(std::move(hook)) : nullptr;
}

}  // namespace sim::threads

COREDLL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime)
        *lpSystemTime = WallNow();
}

COREDLL_API BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    Hook(threads::Call::kSetSystemTime);
    if (!lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    int64_t ms;
    BOOL ok = clock::ToMs(*lpSystemTime, &ms) ? TRUE : FALSE;
    k.set_calls.push_back({*lpSystemTime, ok});
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    k.wall_base = ms;
    k.wall_mono = NowLocked(k);
    return TRUE;
}

COREDLL_API DWORD GetTickCount(void) {
    return static_cast<DWORD>(VirtualNowMs());
}

COREDLL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                LPCWSTR lpName) {
    Hook(threads::Call::kCreateEvent);
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    if (k.fail_events) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    if (!name.empty()) {
        auto it = k.named.find(name);
        if (it != k.named.end()) {
            if (std::shared_ptr<Object> existing = it->second.lock()) {
                if (existing->is_thread) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                SetLastError(183);  // ERROR_ALREADY_EXISTS
                return AddHandle(k, existing);
            }
        }
    }
    auto event = std::make_shared<Object>();
    event->manual_reset = bManualReset != FALSE;
    event->signaled = bInitialState != FALSE;
    event->name = name;
    if (!name.empty())
        k.named[name] = event;
    SetLastError(ERROR_SUCCESS);
    return AddHandle(k, std::move(event));
}

COREDLL_API BOOL EventModify(HANDLE hEvent, DWORD func) {
    Hook(threads::Call::kEventModify);
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    std::shared_ptr<Object> o = Lookup(k, hEvent);
    if (!o)
        k.bad_handle_uses++;
    if (!o || o->is_thread || func < EVENT_PULSE || func > EVENT_SET) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (func == EVENT_RESET) {
        o->signaled = false;
    } else if (func == EVENT_PULSE) {
        ReleaseWaiters(k, *o, o->manual_reset);
        o->signaled = false;
    } else if (o->manual_reset) {
        o->signaled = true;
        ReleaseWaiters(k, *o, true);
    } else if (!o->waiters.empty()) {
        ReleaseWaiters(k, *o, false);  // an auto-reset event releases one waiter and stays clear
    } else {
        o->signaled = true;
    }
    return TRUE;
}

COREDLL_API BOOL SetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_SET);
}

COREDLL_API BOOL ResetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_RESET);
}

COREDLL_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Hook(threads::Call::kWait);
    Kernel& k = K();
    std::unique_lock<std::mutex> lock(k.mu);
    std::shared_ptr<Object> o = Lookup(k, hHandle);  // held: a close during the wait is safe
    if (!o)
        k.bad_handle_uses++;
    if (!o || k.fail_waits) {
        SetLastError(ERROR_INVALID_HANDLE);
        ReturnsAtOnce(k);
        return WAIT_FAILED;
    }
    if (o->signaled) {
        if (!o->manual_reset)
            o->signaled = false;
        ReturnsAtOnce(k);
        return WAIT_OBJECT_0;
    }
    if (dwMilliseconds == 0) {
        ReturnsAtOnce(k);
        return WAIT_TIMEOUT;
    }
    Waiter w;
    w.object = o.get();
    return Block(k, lock, w, dwMilliseconds);
}

COREDLL_API void Sleep(DWORD dwMilliseconds) {
    Hook(threads::Call::kSleep);
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    Kernel& k = K();
    std::unique_lock<std::mutex> lock(k.mu);
    Waiter w;
    Block(k, lock, w, dwMilliseconds);
}

// No stack larger than a Windows CE 5 process's whole 32 MB slot can be reserved.
constexpr DWORD kLargestStack = 32u << 20;

COREDLL_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD dwStackSize,
                                LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                DWORD dwCreationFlags, LPDWORD lpThreadId) {
    Hook(threads::Call::kCreateThread);
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mu);
    if (k.fail_threads || dwStackSize > kLargestStack) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!lpStartAddress || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Object>();
    thread->is_thread = true;
    thread->manual_reset = true;
    k.alive++;
    k.runnable++;
    k.started++;
    if (lpThreadId)
        *lpThreadId = static_cast<DWORD>(k.started);
    HANDLE h = AddHandle(k, thread);
    std::thread([thread, lpStartAddress, lpParameter] {
        t_simulated = true;
        Kernel& kk = K();
        {
            // A new thread is runnable, and like a woken one it starts only while a driving
            // thread lets time pass: what the creator does next happens before it runs.
            std::unique_lock<std::mutex> start_lock(kk.mu);
            Waiter start;
            start.simulated = true;
            if (kk.manual && kk.gate == 0) {
                start.held = true;
                kk.held.push_back(&start);
            }
            start.cv.wait(start_lock, [&] { return !start.held; });
        }
        lpStartAddress(lpParameter);
        std::lock_guard<std::mutex> done(kk.mu);
        thread->signaled = true;
        ReleaseWaiters(kk, *thread, true);
        kk.alive--;
        if (--kk.runnable == 0)
            kk.settled.notify_all();
    }).detach();
    return h;
}

COREDLL_API BOOL CloseHandle(HANDLE hObject) {
    Hook(threads::Call::kCloseHandle);
    Kernel& k = K();
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

// A critical section is a recursive mutex, as its owner may enter it again. It is not a
// simulated wait: its holders never block while holding it, so it needs no scheduling.
COREDLL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lpCriticalSection->LockObject = new std::recursive_mutex;
}

COREDLL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kEnterCriticalSection);
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject)->lock();
}

COREDLL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Hook(threads::Call::kLeaveCriticalSection);
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject)->unlock();
}

COREDLL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->LockObject);
    lpCriticalSection->LockObject = nullptr;
}

COREDLL_API LONG InterlockedExchange(LPLONG Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

COREDLL_API LONG InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
