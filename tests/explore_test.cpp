// Every schedule, within a bound, of the Device Manager's, the Power Manager's, the saver's and
// other processes' calls: a few small programs over the module's exports and one checker of
// what must hold at every step and at the end. A failing schedule ends the test with its
// schedule; TIMEWARD_EXPLORE=long explores further (docs/developers.md).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string_view>
#include <set>

// Depth-first runs per program where each run is slow: 0 where it is not.
#if defined(__arm__)
constexpr uint64_t kSlowRuns = 300;  // under an emulator
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kSlowRuns = 1000;
#else
constexpr uint64_t kSlowRuns = 0;
#endif

#include "explore.h"
#include "sim_fixture.h"

namespace {

using namespace timeward_test;
namespace explore = coredll::explore;

constexpr DWORD kMark = 0xBEEF;            // the caller's error code, which must stay
constexpr uint64_t kDeinitBoundMs = 1000;  // far below the saver's five-minute wait
// Every run starts this long before the tick count wraps, 49.7 days after a start: the saver's
// first registration for time changes comes before the wrap, its first snapshot and the
// programs' later steps after it.
constexpr uint64_t kStartTick = (uint64_t{1} << 32) - 1200;
const SYSTEMTIME kLater = Record(2026, 12, 8, 11, 3);
char16_t kTimeChangeTarget[] = u"\\\\.\\Notifications\\NamedEvents\\TimewardTimeChanged";

// The record in the store: its values are SYSTEMTIME's fields, in order.
SYSTEMTIME Stored() {
    const char* names[] = {"RTCYear", "RTCMonth",  "RTCDayOfWeek", "RTCDay",
                           "RTCHour", "RTCMinute", "RTCSecond",    "RTCMilliseconds"};
    WORD fields[8];
    for (int i = 0; i < 8; ++i)
        fields[i] = static_cast<WORD>(coredll::reg::GetDword(kKey, names[i]).value_or(0));
    SYSTEMTIME st;
    std::memcpy(&st, fields, sizeof st);
    return st;
}

// A program's bounds on preemptions: the suite's, and TIMEWARD_EXPLORE=long's (CI), within
// which the program completes in minutes.
struct Depth {
    int suite;
    int deep;
};

// One program's threads call these; the checker's state is touched only by the thread that
// holds the turn.
class Explorer : public ::testing::Test {
  protected:
    // A power request that succeeded while an instance was live: the steps at which it began
    // and returned, and the step at which the first snapshot that read the clock after it began.
    struct Request {
        uint64_t began = 0;
        uint64_t returned = UINT64_MAX;
        uint64_t answered = UINT64_MAX;
        // A saver that blocked in a wait it entered after the request returned, before any
        // snapshot answered it: the step of that wait, and the saver.
        uint64_t waited = UINT64_MAX;
        int waiter = -1;
    };
    // What the checker knows of a thread, by its number in the run. Of a thread that is not the
    // program's (a saver): its snapshots and its wakes.
    struct Thread {
        uint64_t clock_read = 0;         // the step at which it last read the clock
        std::optional<SYSTEMTIME> read;  // the clock it last read
        bool reading = false;            // its last step was GetSystemTime
        bool setting = false;            // its last step was SetSystemTime
        bool modifying = false;          // its last step was EventModify or a delivery
        uint64_t own_wakes = 0;          // the event changes it made
        bool saver = false;              // a thread not the program's, seen at a step
        uint64_t first = 0;              // the step of its first scheduling point
        uint64_t last_wait = 0;          // a saver: the step of its last wait
        int waits = 0;                   // and how many it has begun
        uint64_t pass_wakes = 0;         // wakes by others seen when its pass (from a wait) began
        bool passing = false;            // its pass (after a wait or a snapshot) has begun
        bool saved = false;              // it took a snapshot
        uint64_t saved_wakes = 0;        // pass_wakes of that snapshot's pass
        bool stop_saved = false;         // it took a snapshot while the last stop was under way
    };
    struct Run {
        int live = 0;                 // instances whose Init returned and Deinit has not begun
        int begun = 0;                // instances whose Init began and Deinit has not
        int deinits = 0;              // Deinits that have begun and not returned
        std::vector<Request> d4s;     // with one live
        std::vector<uint64_t> saves;  // steps at which a flushed snapshot read the clock
        std::vector<uint64_t>
            stops;  // steps at which a Deinit that ended the last instance returned
        std::vector<SYSTEMTIME> whole;  // records the store held whole, and the program's own sets
        std::vector<SYSTEMTIME> own;    // the program's own sets
        std::vector<Thread> threads;    // by number
        size_t sets_seen = 0;           // of the clock's SetSystemTime calls
        int program_set = -1;           // the program thread in SetClock's SetSystemTime
        uint64_t wakes = 0;             // event changes, deliveries, moves of time
        uint64_t now = 0;               // virtual time at the last step
        std::string failure;
    };
    Thread& Of(int me) {
        if (run_.threads.size() <= static_cast<size_t>(me))
            run_.threads.resize(me + 1);
        return run_.threads[me];
    }
    void Fail(const std::string& what) {
        if (run_.failure.empty())
            run_.failure = what;
    }
    // After a call that succeeded: the caller's error code is as it was.
    void ErrorKept(const char* call) {
        if (GetLastError() != kMark)
            Fail(call + (" left error code " + std::to_string(GetLastError())));
    }
    void Init() {
        SetLastError(kMark);
        ++run_.begun;
        if (init_(u"Drivers\\Active\\01", nullptr) != 1) {
            --run_.begun;
            return Fail("Init failed");
        }
        ErrorKept("Init");
        ++run_.live;
    }
    // Recorded as it begins: a snapshot that begins while it is under way may answer it, and its
    // thread may learn that it returned only steps later.
    void RequestD4() {
        const size_t mine = run_.d4s.size();
        if (run_.live > 0)
            run_.d4s.push_back({explore::Steps()});
        DWORD state = D4, actual = 0;
        SetLastError(kMark);
        if (!ioctl_(1, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual))
            return Fail("a D4 failed");
        ErrorKept("a D4");
        if (mine < run_.d4s.size())
            run_.d4s[mine].returned = explore::Steps();
    }
    // The Power Manager's D0: after a D4, a resume.
    void RequestD0() {
        DWORD state = D0, actual = 0;
        SetLastError(kMark);
        if (!ioctl_(1, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual))
            return Fail("a D0 failed");
        ErrorKept("a D0");
    }
    void Deinit() {
        --run_.live;
        --run_.begun;
        // What a preemption cost it is not time it waited for.
        const uint64_t from = coredll::clock::NowMs() - explore::PreemptedMs();
        SetLastError(kMark);
        ++run_.deinits;
        const BOOL ended = deinit_(1);
        --run_.deinits;
        // The driver has stopped once the last instance's Deinit, and any other still in it,
        // have returned; an earlier Deinit leaves the saver running.
        if (run_.deinits == 0 && run_.begun == 0)
            run_.stops.push_back(explore::Steps());
        if (!ended)
            return Fail("Deinit failed");
        ErrorKept("Deinit");
        const uint64_t took = coredll::clock::NowMs() - explore::PreemptedMs() - from;
        if (took > kDeinitBoundMs)
            Fail("Deinit waited " + std::to_string(took) + " ms");
    }
    void SetClock(const SYSTEMTIME& st) {
        run_.whole.push_back(st);
        run_.own.push_back(st);
        run_.program_set = explore::ThreadNumber();
        SetSystemTime(&st);
        run_.program_set = -1;
    }
    // A flushed snapshot, on the thread that took it.
    void Saved() {
        const int me = explore::ThreadNumber();
        Thread& t = Of(me);
        const uint64_t read = t.clock_read;
        run_.saves.push_back(read);
        for (Request& r : run_.d4s) {
            if (r.began < read && r.answered == UINT64_MAX)
                r.answered = read;
        }
        run_.whole.push_back(Stored());
        Fail(CheckFlushed(me));
        if (explore::ThreadIndex() >= 0)
            return;
        // One snapshot per wake: a second one with no event set by another thread, no delivery
        // and no time passed since the pass of the first began is a spin on an event left set.
        Passes(t);
        // Not while another thread's event change may have been made or not.
        const bool pending = std::any_of(run_.threads.begin(), run_.threads.end(),
                                         [&](const Thread& o) { return &o != &t && o.modifying; });
        // Nor the stop's own snapshot, once, while a Deinit is under way (an Init may be too): a
        // stop that came after the saver last read its flag, before the last snapshot read the
        // clock, is answered by the next one.
        if (t.saved && t.saved_wakes == t.pass_wakes && !pending) {
            if (run_.deinits == 0 || t.stop_saved)
                Fail("thread " + std::to_string(me) +
                     " took a second snapshot for one wake: its events stay set, and it spins");
            t.stop_saved = true;
        }
        t.saved = true;
        t.saved_wakes = t.pass_wakes;
        t.passing = false;
    }
    // The record just flushed by thread `me` is its last reading of the clock, all eight fields
    // (never one field from each of several readings), under a header that says it is whole and
    // of the generation after the last flushed one.
    std::string CheckFlushed(int me) {
        const SYSTEMTIME stored = Stored();
        const std::optional<SYSTEMTIME>& read = Of(me).read;
        const std::string who = "thread " + std::to_string(me) + " flushed ";
        if (!read || std::memcmp(&stored, &*read, sizeof stored) != 0)
            return who + Show(stored) + " (weekday " + std::to_string(stored.wDayOfWeek) +
                   "), not its last reading of the clock" +
                   (read
                        ? ", " + Show(*read) + " (weekday " + std::to_string(read->wDayOfWeek) + ")"
                        : "");
        const DWORD values[8] = {stored.wYear,   stored.wMonth,       stored.wDayOfWeek,
                                 stored.wDay,    stored.wHour,        stored.wMinute,
                                 stored.wSecond, stored.wMilliseconds};
        const DWORD generation = static_cast<DWORD>(run_.saves.size());
        DWORD header[3] = {};  // generation, check, state: little-endian, as this host is
        const auto record = coredll::reg::GetValue(kKey, "TimewardRecord");
        if (record && record->type == REG_BINARY && record->data.size() == sizeof header)
            std::memcpy(header, record->data.data(), sizeof header);
        if (header[0] != generation || header[1] != CheckOfValues(values, generation) ||
            header[2] != 0)
            return who + "snapshot " + std::to_string(generation) + " of the run under a header " +
                   "that is not generation " + std::to_string(generation) + ", whole and written";
        return "";
    }
    // The first step of a pass of saver `t` after its wait: what woke it is counted before.
    void Passes(Thread& t) {
        if (!t.passing)
            t.pass_wakes = run_.wakes - t.own_wakes;
        t.passing = true;
    }
    // The clock `me` sets must not be earlier than the one it read.
    std::string CheckSets(int me) {
        const auto sets = coredll::clock::SetSystemTimeCalls();
        const std::optional<SYSTEMTIME>& read = Of(me).read;
        for (; run_.sets_seen < sets.size(); ++run_.sets_seen) {
            const SYSTEMTIME& to = sets[run_.sets_seen].requested;
            int64_t to_ms = 0, read_ms = 0;
            if (me == run_.program_set || !read || !coredll::clock::ToMs(to, &to_ms) ||
                !coredll::clock::ToMs(*read, &read_ms) || to_ms >= read_ms)
                continue;
            return "the clock was set back, to " + Show(to) + " from " + Show(*read) +
                   ", which thread " + std::to_string(me) + " read";
        }
        return "";
    }
    // A Deinit with no instance live: it fails and changes nothing.
    void DeinitWithoutInstance() {
        const size_t saves = run_.saves.size();
        if (deinit_(1))
            return Fail("a Deinit with no instance succeeded");
        if (coredll::threads::Alive() != 0 || run_.saves.size() != saves)
            Fail("a Deinit with no instance started a saver or took a snapshot");
    }
    std::string CheckStep(const explore::Step& step) {
        const std::string_view c = step.call;  // at every step of every run: no copy
        const int me = step.thread;
        Thread& t = Of(me);
        t.first = t.first ? t.first : step.index;
        // Nothing else ran since this thread's last step: it read the clock as it is.
        if (t.reading)
            t.read = coredll::clock::Now();
        t.reading = c == "GetSystemTime";
        if (t.reading)
            t.clock_read = step.index;
        if (t.setting) {
            if (std::string what = CheckSets(me); !what.empty())
                return what;
        }
        t.setting = c == "SetSystemTime";
        if (step.now_ms != run_.now)
            ++run_.wakes;
        run_.now = step.now_ms;
        // An event change, or a delivery, is made once its thread goes on from the point before
        // it, which may be long after: it counts at that thread's next step, and until then
        // whether it was made is not known.
        const bool modified = t.modifying;
        if (modified) {
            ++run_.wakes;
            ++t.own_wakes;
        }
        t.modifying = c == "EventModify" || c == "a time-change notification's delivery";
        if (!step.program) {
            t.saver = true;
            // Each run of event changes begins a pass: a wake that took no snapshot, then a stop
            // that came meanwhile, are two passes with no wait between them.
            if (t.modifying && !modified)
                t.passing = false;
            if (t.modifying)
                Passes(t);
            if (c == "Wait") {
                t.last_wait = step.index;
                ++t.waits;
                t.passing = false;
            }
        }
        // A saver that waits, after a power request returned, has let it go unless a snapshot
        // that began before that wait answers it: the request left an event set that would end
        // the wait. Another thread's snapshot may have begun and not yet be flushed: the end
        // decides. A saver that began after the request (made while the last saver stopped) is
        // passed it by the stop that started it, which sets its event, maybe once its first wait
        // has begun: it answers before its second wait, unless a preemption moved time on, which
        // may have ended the first before the stop could set the event.
        for (Request& r : run_.d4s) {
            if (r.answered != UINT64_MAX || r.returned == UINT64_MAX || r.waited != UINT64_MAX)
                continue;
            for (int id = 0; id < static_cast<int>(run_.threads.size()); ++id) {
                const Thread& s = run_.threads[id];
                const bool owes = s.first < r.began || (s.waits > 1 && explore::PreemptedMs() == 0);
                if (s.saver && owes && s.last_wait > r.returned && explore::Blocked(id)) {
                    r.waited = s.last_wait;
                    r.waiter = id;
                }
            }
        }
        if (step.simulated_threads > 1)
            return "two saver threads";
        // A Deinit that waits for the saver's end starts the next instance's saver after it.
        if (run_.live > 0 && run_.deinits == 0 && step.simulated_threads == 0)
            return "an instance is live and no saver runs";
        if (step.bad_handle_uses != 0)
            return "a handle was used after it was closed, or closed twice";
        return run_.failure;
    }
    std::string CheckEnd() {
        FreeLibrary(module_);
        CloseHandle(quit_);
        if (!run_.failure.empty())
            return run_.failure;
        if (coredll::threads::Alive() != 0)
            return "a saver thread runs after the last Deinit";
        if (coredll::threads::BadHandleUses() != 0 || coredll::threads::OpenHandles() != 0)
            return "a handle was misused, or is left open";
        // A registration left by an earlier run stays if no saver got as far as its own.
        if (coredll::modules::IsLoaded(u"Timeward.dll") ||
            coredll::notify::Registrations().size() > (left_registered_ ? 1u : 0u))
            return "the module or its time-change registration is left";
        // Answered before the stop that followed it was over, not by a later instance's saver.
        for (const Request& r : run_.d4s) {
            uint64_t stop = UINT64_MAX;
            for (uint64_t s : run_.stops)
                stop = s > r.began ? std::min(stop, s) : stop;
            if (r.answered == UINT64_MAX || r.answered > stop)
                return "no snapshot began after the D4 of step " + std::to_string(r.began) +
                       " and before the stop after it";
            if (r.answered > r.waited)
                return "thread " + std::to_string(r.waiter) + " waits again after the D4 of step " +
                       std::to_string(r.began) + " with no snapshot since, at step " +
                       std::to_string(r.waited);
        }
        for (const coredll::clock::SetCall& set : coredll::clock::SetSystemTimeCalls()) {
            bool whole = false;
            for (const SYSTEMTIME& r : run_.whole)
                whole = whole || SameTime(r, set.requested);
            if (!whole)
                return "the clock was set to " + Show(set.requested) + ", never a whole snapshot";
        }
        // The driver's sets, without the program's own.
        auto sets = coredll::clock::SetSystemTimeCalls();
        std::erase_if(sets, [&](const coredll::clock::SetCall& set) {
            return std::any_of(run_.own.begin(), run_.own.end(),
                               [&](const SYSTEMTIME& own) { return SameTime(own, set.requested); });
        });
        if (due_ && (sets.empty() || !SameTime(sets[0].requested, *due_)))
            return "the first start-up did not restore " + Show(*due_);
        return "";
    }
    // Explores `threads` within `depth` from a store that holds `stored`, if given, and a clock at
    // `wall`.
    void Explore(const std::string& name, Depth depth, std::vector<std::function<void()>> threads,
                 std::optional<SYSTEMTIME> stored = std::nullopt,
                 std::optional<SYSTEMTIME> wall = std::nullopt,
                 const char* expected_failure = nullptr) {
        explore::Program p{name, nullptr, std::move(threads), nullptr, nullptr};
        p.before = [&] {
            run_ = Run();
            quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            coredll::debug::EchoToStderr(false);
            coredll::reg::CreateKey(kKey);
            if (stored) {
                StoreSnapshot(*stored);
                run_.whole.push_back(*stored);
            }
            coredll::clock::Advance(kStartTick);
            // Past the driver's floor unless the program says otherwise.
            coredll::clock::SetWall(wall.value_or(Record(2026, 12, 8, 9, 0)));
            // Left by a run that never stopped: the store outlives it.
            if (left_registered_)
                CeRunAppAtEvent(kTimeChangeTarget, NOTIFICATION_EVENT_TIME_CHANGE);
            coredll::modules::SetSearchPath(TIMEWARD_MODULE_DIR);
            module_ = LoadLibraryW(u"Timeward.dll");
            auto proc = [this](LPCWSTR n) {
                return reinterpret_cast<void (*)()>(GetProcAddressW(module_, n));
            };
            init_ = reinterpret_cast<decltype(init_)>(proc(u"RTC_Init"));
            deinit_ = reinterpret_cast<decltype(deinit_)>(proc(u"RTC_Deinit"));
            ioctl_ = reinterpret_cast<decltype(ioctl_)>(proc(u"RTC_IOControl"));
            coredll::reg::SetCallHook([this](coredll::RegCall call, std::u16string_view, LONG rc) {
                if (call == coredll::RegCall::kFlush && rc == 0)
                    Saved();
            });
        };
        p.check_step = [this](const explore::Step& step) { return CheckStep(step); };
        p.after = [this] { return CheckEnd(); };
        // Every schedule within the suite's bound on the host; fewer where each run is slow.
        // TIMEWARD_EXPLORE=long: within the deep bound, up to ten million runs per program;
        // TIMEWARD_EXPLORE=compare: the same runs again with the scheduler's handoffs between
        // host threads, side by side, which must be the same runs.
        const char* env = std::getenv("TIMEWARD_EXPLORE");
        const bool longer = env && std::string(env) == "long";
        explore::Bounds b;
        b.preemptions = longer ? depth.deep : kSlowRuns ? 2 : depth.suite;
        b.depth_first_runs = longer ? 10000000 : kSlowRuns ? kSlowRuns : 1000000;
        b.random_runs = longer ? 20000 : kSlowRuns ? 50 : 200;
        b.switches = explore::Switches::kContexts;
        const explore::Report r = explore::Explore(p, b);
        if (expected_failure) {
            EXPECT_THAT(r.failure, ::testing::HasSubstr(expected_failure));
            return;
        }
        ASSERT_TRUE(r.failure.empty()) << "the failure is above";
        std::printf("explore: %s: %s\n", name.c_str(), explore::Describe(r).c_str());
        // On the host the test command's promise: every schedule within the bound was run.
        if (kSlowRuns == 0 && !r.runs_per_bound.empty()) {
            EXPECT_TRUE(r.exhausted) << "the bound on runs cut the exploration short";
        }
        // Besides the fixed seeds, fresh ones each time: a failure prints its seed.
        explore::Bounds fresh = b;
        fresh.depth_first_runs = 0;
        fresh.random_runs = 50;
        fresh.first_seed = std::random_device()() * uint64_t{1000};
        std::printf("explore: %s: 50 random runs from seed %llu\n", name.c_str(),
                    static_cast<unsigned long long>(fresh.first_seed));
        ASSERT_TRUE(explore::Explore(p, fresh).failure.empty()) << "the failure is above";
        if (env && std::string(env) == "compare") {
            b.switches = explore::Switches::kHandoff;
            const explore::Report h = explore::Explore(p, b);
            ASSERT_TRUE(h.failure.empty()) << "the failure is above";
            std::printf("explore: %s: %s\n", name.c_str(), explore::Describe(h).c_str());
            EXPECT_EQ(r.digest, h.digest) << "the two switches gave different runs";
        }
    }
    void TearDown() override {
        // A failed run is abandoned before its end frees the module; its threads' references
        // would keep the driver's state for the next test of this process.
        while (module_ && coredll::modules::References(module_) > 0 && FreeLibrary(module_)) {
        }
        coredll::Reset();
    }
    Run run_;
    std::optional<SYSTEMTIME> due_;
    bool left_registered_ = false;  // the store holds the saver's registration at the start
    HANDLE quit_ = nullptr;         // set once a program's driver threads are done
    HMODULE module_ = nullptr;
    DWORD (*init_)(LPCWSTR, LPCVOID) = nullptr;
    BOOL (*deinit_)(DWORD) = nullptr;
    BOOL (*ioctl_)(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) = nullptr;
};

// Two instances start, ask for D4 and end; the second stays live a while after its D4, past the
// first wait of a saver that the first one's stop may have started for it.
TEST_F(Explorer, TwoInstancesWithPowerRequests) {
    Explore("two-instances", {2, 3},
            {[&] { Init(), RequestD4(), Deinit(); },
             [&] { Init(), RequestD4(), Sleep(1500), Deinit(); }});
}

TEST_F(Explorer, APowerRequestAgainstTheLastDeinit) {
    Explore("request-against-deinit", {3, 3}, {[&] { Init(), Deinit(); }, [&] { RequestD4(); }});
}

// The device suspends and resumes (D4, then D0) against the last Deinit: the D4 is answered by
// a snapshot, and the resume by none of its own.
TEST_F(Explorer, AResumeAgainstTheLastDeinit) {
    Explore("resume-against-deinit", {3, 3},
            {[&] {
                 Init(), Deinit();
                 // The D4's, the stop's, and one for each five minutes that timers moved on.
                 const uint64_t due = 2 + (coredll::clock::NowMs() - kStartTick) / 300000;
                 if (run_.saves.size() > due)
                     Fail(std::to_string(run_.saves.size()) + " snapshots where " +
                          std::to_string(due) + " were due");
             },
             [&] { RequestD4(), RequestD0(); }});
}

// The saver writes a later clock over the store while a second instance reads it: a record
// with fields of both would be due.
TEST_F(Explorer, AStartUpDuringASnapshot) {
    Explore("startup-during-snapshot", {2, 3},
            {[&] { Init(), RequestD4(), Deinit(); }, [&] { Init(), Deinit(); }},
            Record(2026, 12, 8, 10, 58), kLater);
}

// Another process sets "SaveRTCEvent" as the first instance starts: the previous run's
// snapshot, due, is still restored. Created there first, the event is manual-reset: only the
// saver's reset keeps it from waking the saver again at once.
TEST_F(Explorer, AnotherProcessSetsTheSaveEventAtStart) {
    due_ = kLater;
    Explore("setter-at-start", {3, 3},
            {[&] { Init(), Deinit(); },
             [&] {
                 HANDLE save = CreateEventW(nullptr, TRUE, FALSE, u"SaveRTCEvent");
                 SetEvent(save);
                 CloseHandle(save);
             }},
            kLater);
}

// Another process waits on "SaveRTCEvent" until the driver is gone.
TEST_F(Explorer, AnotherProcessWaitsOnTheSaveEvent) {
    Explore("waiter", {3, 3},
            {[&] { Init(), RequestD4(), Deinit(), SetEvent(quit_); },
             [&] {
                 HANDLE both[] = {quit_, CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent")};
                 while (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
                 }
                 CloseHandle(both[1]);
             }});
}

// The first instance runs until its saver has registered for changes of the clock; another
// thread then nudges the clock across New Year, by less than a set that is saved at once, and
// asks for D4: a wake for the change takes no snapshot and leaves the request for the next. The
// notification thread delivers the change against the stop.
TEST_F(Explorer, AClockChangeAgainstDeinit) {
    Explore("clock-change", {1, 3},
            {[&] { Init(), Sleep(1500), Deinit(); },
             [&] { Sleep(1500), SetClock(Record(2027, 1, 1, 0, 1, 30, 250)), RequestD4(); }},
            std::nullopt, Record(2026, 12, 31, 23, 58));
}

// Another thread sets the clock as the saver's first wait times out and it registers for
// changes of the clock: the set is saved at once, before the stop's own snapshot.
TEST_F(Explorer, AClockChangeAtTheFirstRegistration) {
    uint64_t set_at = 0;
    Explore(
        "clock-change-at-registration", {2, 3},
        {[&] {
             Init(), Sleep(1500);
             // Unless a timer expired while the saver could still run, keeping it from there.
             if (explore::PreemptedMs() == 0 && (run_.saves.empty() || run_.saves.back() < set_at))
                 Fail("the clock set at step " + std::to_string(set_at) + " was not saved");
             Deinit();
         },
         [&] { Sleep(1000), SetClock(Record(2027, 3, 3, 3, 3)), set_at = explore::Steps(); }});
}

// Another thread sets the clock, still behind the due snapshot, while start-up restores it; a
// registration left by a run that never stopped delivers the change as soon as the saver's
// event exists.
TEST_F(Explorer, AClockChangeAgainstTheRestore) {
    due_ = kLater;
    left_registered_ = true;
    Explore("clock-change-at-restore", {1, 3},
            {[&] { Init(), Sleep(1500), Deinit(); }, [&] { SetClock(Record(2026, 12, 8, 10, 0)); }},
            kLater);
}

// An instance begins while the last one stops, asks for D4 and ends, while a third starts up.
TEST_F(Explorer, AnInstanceThroughTheLastStopWhileAThirdStartsUp) {
    Explore("through-the-last-stop", {1, 2},
            {[&] { Init(), SetEvent(quit_), Deinit(); },
             [&] { WaitForSingleObject(quit_, INFINITE), Init(), RequestD4(), Deinit(); },
             [&] { WaitForSingleObject(quit_, INFINITE), Init(), Deinit(); }});
}

// The Device Manager never calls RTC_Deinit holding the loader lock, as from another module's
// DllMain: there the last stop's wait for the saver's end never ends, and every run says so.
TEST_F(Explorer, ADeinitHoldingTheLoaderLockIsAFailedRun) {
    auto program = [&] {
        Explore("deinit-under-loader-lock", {1, 1},
                {[&] { Init(), coredll::modules::WithLoaderLock([&] { Deinit(); }); },
                 [&] { RequestD4(); }},
                std::nullopt, std::nullopt,
                "a wait for a thread's end while holding the loader lock: a deadlock");
    };
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer halts first, on the same misuse: the stop takes the saver's lock under the
    // loader lock, which Init took the other way round (it loads the module under it).
    EXPECT_EXIT(program(), ::testing::ExitedWithCode(66),
                "lock-order-inversion \\(potential deadlock\\)");
#else
    program();
#endif
}

// Another process creates "SaveRTCEvent" first, manual-reset, and sets it twice: each wake of
// the saver takes one snapshot, never one after another on an event left set.
TEST_F(Explorer, AForeignManualResetSaveEvent) {
    Explore("manual-reset-save-event", {3, 3},
            {[&] {
                 Init(), RequestD4(), Deinit();
                 // The two sets, the D4 and the stop, and one for each five minutes that timers
                 // moved on.
                 const uint64_t due = 4 + (coredll::clock::NowMs() - kStartTick) / 300000;
                 if (run_.saves.size() > due)
                     Fail(std::to_string(run_.saves.size()) + " snapshots where " +
                          std::to_string(due) + " were due");
                 SetEvent(quit_);
             },
             [&] {
                 HANDLE save = CreateEventW(nullptr, TRUE, FALSE, u"SaveRTCEvent");
                 SetEvent(save), SetEvent(save);
                 WaitForSingleObject(quit_, INFINITE);
                 CloseHandle(save);
             }});
}

// RTC_Deinit with no instance, before the first Init and after the last Deinit, against a
// power request: it fails and changes nothing.
TEST_F(Explorer, ADeinitWithNoInstance) {
    Explore("deinit-without-instance", {3, 3},
            {[&] { DeinitWithoutInstance(), Init(), Deinit(), DeinitWithoutInstance(); },
             [&] { RequestD4(); }});
}

}  // namespace

// The scheduler itself, on programs of plain platform calls.
namespace scheduler {

// Sets the value "V" of the driver's key, under `cs` when it is given.
void SetV(LPCRITICAL_SECTION cs) {
    if (cs)
        EnterCriticalSection(cs);
    HKEY key;
    DWORD value = 1;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvex\\Timeward", 0, 0, &key);
    RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(key);
    if (cs)
        LeaveCriticalSection(cs);
}

CRITICAL_SECTION g_cs;

explore::Program Writers(bool locked) {
    LPCRITICAL_SECTION cs = locked ? &g_cs : nullptr;
    return {"writers",
            [] { coredll::reg::CreateKey(kKey); },
            {[cs] { SetV(cs); }, [cs] { SetV(cs); }},
            nullptr,
            nullptr};
}

// A thread that starts another, which sets an event the first waits for, against a third
// thread: the same seeds and the same depth-first order give the same runs, switch for switch,
// on user-mode contexts as on host threads.
TEST(Scheduler, SameRunsOnBothSwitches) {
    static HANDLE done;
    auto child = [](LPVOID) -> DWORD {
        SetEvent(done);
        return 0;
    };
    explore::Program p{"starter",
                       [] { done = CreateEventW(nullptr, FALSE, FALSE, nullptr); },
                       {[child] {
                            HANDLE t = CreateThread(nullptr, 0, child, nullptr, 0, nullptr);
                            WaitForSingleObject(done, INFINITE);
                            WaitForSingleObject(t, INFINITE);
                            CloseHandle(t);
                        },
                        [] { SetLastError(GetTickCount()); }},
                       nullptr,
                       [] { return CloseHandle(done) ? "" : "the event was closed"; }};
    explore::Bounds b;
    b.depth_first_runs = 100000;
    b.random_runs = 50;
    b.switches = explore::Switches::kContexts;
    const explore::Report contexts = explore::Explore(p, b);
    b.switches = explore::Switches::kHandoff;
    const explore::Report handoffs = explore::Explore(p, b);
    EXPECT_EQ(contexts.runs_per_bound, handoffs.runs_per_bound);
    EXPECT_GT(contexts.depth_first_runs, 10u);
    EXPECT_EQ(contexts.digest, handoffs.digest);
}

// Two threads set one value of the store: without a lock the first schedule fails with both
// sets; under one critical section every schedule passes. Opening and closing the key are not
// scheduling points, so a run that creates a key fails.
TEST(Scheduler, ReportsUnorderedRegistryWrites) {
    explore::Bounds b;
    b.depth_first_runs = 1000;
    InitializeCriticalSection(&g_cs);
    const explore::Report locked = explore::Explore(Writers(true), b);
    EXPECT_TRUE(locked.exhausted);
    EXPECT_GT(locked.depth_first_runs, 1u);
    DeleteCriticalSection(&g_cs);
    EXPECT_THAT(explore::Explore(Writers(false), b).failure,
                ::testing::ContainsRegex(
                    "data race on the registry value .*TIMEWARD.V: thread 0's RegSetValue before "
                    "the first step from driver_tests\\+0x[0-9a-f]+, and thread 1's RegSetValue"));
    auto create = [] {
        HKEY key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\New", 0, nullptr, 0, 0, nullptr, &key,
                        nullptr);
        RegCloseKey(key);
    };
    EXPECT_THAT(explore::Explore({"creator", nullptr, {create}, nullptr, nullptr}, b).failure,
                ::testing::HasSubstr("a key was created or removed while the program's threads"));
    // The clocks have room for 32 threads a run; one more fails it.
    b.depth_first_runs = 1;
    for (const size_t threads : {32, 33}) {
        const explore::Program crowd{
            "crowd", nullptr, std::vector<std::function<void()>>(threads, [] {}), nullptr, nullptr};
        EXPECT_EQ(explore::Explore(crowd, b).failure.find("a run of more than 32 threads") !=
                      std::string::npos,
                  threads == 33);
    }
}

// Host threads of this process.
size_t HostThreads() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

// A run that fails ends in the process: its threads end where they stand (blocked in waits, a
// simulated one among them, one holding a critical section), no host thread or context is left,
// and the next runs, which begin with a reset that would end the process over a thread still
// alive or a section still held, pass.
TEST(Scheduler, AFailedRunLeavesNoThreadBehind) {
    static HANDLE never;
    auto blocked = [](LPVOID) -> DWORD { return WaitForSingleObject(never, INFINITE); };
    explore::Program stuck{"stuck",
                           [] {
                               never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                               InitializeCriticalSection(&g_cs);
                           },
                           {[blocked] {
                                CloseHandle(CreateThread(nullptr, 0, blocked, nullptr, 0, nullptr));
                                EnterCriticalSection(&g_cs);
                                WaitForSingleObject(never, INFINITE);
                            },
                            [] { WaitForSingleObject(never, INFINITE); }},
                           nullptr,
                           nullptr};
    explore::Program sleepers{
        "sleepers", nullptr, {[] { Sleep(5); }, [] { Sleep(5); }}, nullptr, nullptr};
    for (explore::Switches how : {explore::Switches::kContexts, explore::Switches::kHandoff}) {
        explore::Bounds b;
        b.depth_first_runs = 100;
        b.switches = how;
        // First a run that passes: ThreadSanitizer starts a thread of its own at a process's
        // first new thread.
        EXPECT_EQ(explore::Explore(sleepers, b).failure, "");
        const size_t threads = HostThreads();
        EXPECT_THAT(explore::Explore(stuck, b).failure,
                    ::testing::HasSubstr("every thread is blocked and no timer is set"));
        DeleteCriticalSection(&g_cs);  // ends the process if it is still held
#if !defined(__arm__)
        // Under the ARM emulator a joined thread is still listed for a while, as the emulator
        // ends it after the join has returned.
        EXPECT_EQ(HostThreads(), threads);
#else
        (void)threads;
#endif
        EXPECT_EQ(explore::LiveContexts(), 0);
        EXPECT_EQ(explore::Explore(sleepers, b).failure, "");
    }
}

}  // namespace scheduler
