// The saver's start and stop while the Device Manager's and the Power Manager's threads call the
// module at once. Each case forces one interleaving by holding threads at platform calls.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "hang_guard.h"
#include "module_fixture.h"
#include "scratch_dir.h"

namespace {

using namespace timeward_test;
using coredll::threads::Call;

// Named points that threads reach, and may be held at, with no timing involved: a wait for one
// that never comes ends the test as hung (hang_guard.h), naming it.
class Points {
  public:
    // Notes that `point` was reached.
    void Pass(const std::string& point) {
        std::lock_guard<std::mutex> lock(mu_);
        reached_.insert(point);
        cv_.notify_all();
    }
    // Notes that `point` was reached and holds the caller there until Release(point).
    void Hold(const std::string& point) {
        std::unique_lock<std::mutex> lock(mu_);
        reached_.insert(point);
        cv_.notify_all();
        if (!cv_.wait_for(lock, kHangGuard, [&] { return released_.count(point) != 0; }))
            Hung("a thread held at \"" + point + "\" for the test to release it");
    }
    void Release(const std::string& point) {
        std::lock_guard<std::mutex> lock(mu_);
        released_.insert(point);
        cv_.notify_all();
    }
    // Returns once one of `points` has been reached.
    void WaitForAny(std::initializer_list<std::string> points) {
        std::unique_lock<std::mutex> lock(mu_);
        std::string names;
        for (const std::string& p : points)
            names += (names.empty() ? "\"" : " or \"") + p + "\"";
        if (!cv_.wait_for(lock, kHangGuard, [&] {
                for (const std::string& p : points) {
                    if (reached_.count(p))
                        return true;
                }
                return false;
            }))
            Hung("a thread to reach " + names);
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::set<std::string> reached_, released_;
};

// The role of the calling thread in a case; the saver's thread has none.
thread_local std::string t_role;

class Lifecycle : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        t_role = "test";
        d_ = &Start();
        coredll::clock::Settle();
    }
    void StopDriver() override {
        coredll::reg::SetCallHook(nullptr);
        coredll::threads::SetCallHook(nullptr);
        ModuleTest::StopDriver();
    }
    // Holds the saver's thread in its next snapshot, once it has written `value`.
    void HoldTheSaverAtItsNextSnapshot(std::u16string_view value = u"RTCYear") {
        coredll::reg::SetCallHook(
            [this, value](coredll::RegCall call, std::u16string_view name, LONG) {
                if (t_role.empty() && call == coredll::RegCall::kSet && name == value)
                    points_.Hold("saver writes");
            });
    }
    // Passes "<role> locks" when a thread with a role reaches a lock.
    void PassLocks() {
        coredll::threads::SetCallHook([this](Call call) {
            if (!t_role.empty() && t_role != "test" && call == Call::kEnterCriticalSection)
                points_.Pass(t_role + " locks");
        });
    }
    // Runs `fn` on a thread in the role `role`; "<role> returned" is passed when it has. A call
    // that returns holding a lock ends the test at once, as another thread would never get it.
    std::thread Run(const std::string& role, std::function<void()> fn) {
        return std::thread([this, role, fn] {
            t_role = role;
            fn();
            coredll::threads::CheckNoSectionHeld(role);
            points_.Pass(role + " returned");
        });
    }
    BOOL Deinit() {
        return d_->entry.Deinit(d_->context);
    }
    coredll::ActiveDriver* d_ = nullptr;
    Points points_;
};

// The last instance is being stopped when another starts: once the old saver has ended, the new
// instance has a saver of its own, and its Deinit leaves none running.
TEST_F(Lifecycle, InitDuringTheLastDeinitGetsASaver) {
    HoldTheSaverAtItsNextSnapshot();
    BOOL deinit = FALSE;
    std::thread stopper = Run("deinit", [&] { deinit = Deinit(); });
    points_.WaitForAny({"saver writes"});
    PassLocks();
    DWORD init = 0;
    std::thread starter =
        Run("init", [&] { init = d_->entry.Init(u"Drivers\\Active\\02", nullptr); });
    points_.WaitForAny({"init locks", "init returned"});
    points_.Release("saver writes");
    Join(stopper, "the Deinit");
    Join(starter, "the Init");
    coredll::reg::SetCallHook(nullptr);
    EXPECT_EQ(init, 1u);
    EXPECT_TRUE(deinit);
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(coredll::threads::Alive(), 1) << "the new instance has no saver";
    coredll::clock::Advance(300000);
    EXPECT_EQ(Snapshots(), 2);
    EXPECT_TRUE(Deinit());
    EXPECT_EQ(coredll::threads::Alive(), 0) << "a saver runs after the last Deinit returned";
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    EXPECT_EQ(coredll::threads::BadHandleUses(), 0u);
}

// Both instances end at once, the second while the saver's last snapshot is being written:
// the saver stops once, and no handle is used after it was closed.
TEST_F(Lifecycle, TwoDeinitsAtOnceCloseEachHandleOnce) {
    EXPECT_EQ(d_->entry.Init(u"Drivers\\Active\\02", nullptr), 1u);
    HoldTheSaverAtItsNextSnapshot();
    coredll::threads::SetCallHook([this](Call call) {
        if (t_role != "test" && !t_role.empty() && call == Call::kWait)
            points_.Pass(t_role + " waits");
    });
    BOOL first = FALSE, second = FALSE;
    std::thread a = Run("a", [&] { first = Deinit(); });
    std::thread b = Run("b", [&] { second = Deinit(); });
    points_.WaitForAny({"saver writes"});
    points_.WaitForAny({"a waits", "a returned"});
    points_.WaitForAny({"b waits", "b returned"});
    points_.Release("saver writes");
    Join(a, "Deinit a");
    Join(b, "Deinit b");
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    EXPECT_EQ(coredll::threads::BadHandleUses(), 0u);
}

// A D4 request has read the save event and is about to set it when the last Deinit runs: the
// request still succeeds with no error code, and no closed handle is set.
TEST_F(Lifecycle, PowerRequestDuringDeinitNeverSetsAClosedHandle) {
    coredll::threads::SetCallHook([this](Call call) {
        if (t_role == "request" && call == Call::kEventModify)
            points_.Hold("request sets the event");
        if (t_role == "deinit" && call == Call::kEnterCriticalSection)
            points_.Pass("deinit takes the lock");
    });
    BOOL set = FALSE;
    DWORD error = 0;
    std::thread request = Run("request", [&] {
        DWORD state = D4, actual = 0;
        SetLastError(0xBEEF);
        set = d_->entry.IOControl(d_->context, IOCTL_POWER_SET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&state), 4, &actual);
        error = GetLastError();
    });
    points_.WaitForAny({"request sets the event"});
    std::thread stopper = Run("deinit", [&] { Deinit(); });
    points_.WaitForAny({"deinit takes the lock", "deinit returned"});
    points_.Release("request sets the event");
    Join(request, "the D4");
    Join(stopper, "the Deinit");
    EXPECT_TRUE(set);
    EXPECT_EQ(error, 0xBEEFu);
    EXPECT_EQ(coredll::threads::BadHandleUses(), 0u);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(Snapshots(), 1);
}

// An instance starts while the saver has written the hour of a snapshot and not yet the minute:
// the start-up waits for the whole snapshot, so it never sets the clock from half of each.
TEST_F(Lifecycle, InitDuringASnapshotReadsAWholeOne) {
    coredll::clock::SetWall(Record(2026, 12, 8, 11, 3));
    StoreSnapshot(Record(2026, 12, 8, 10, 58));
    HoldTheSaverAtItsNextSnapshot(u"RTCHour");
    PassLocks();
    // The request, then time for the saver to run into the hold.
    std::thread requester = Run("request", [this] {
        DWORD state = D4, actual = 0;
        EXPECT_TRUE(d_->entry.IOControl(d_->context, IOCTL_POWER_SET, nullptr, 0,
                                        reinterpret_cast<PBYTE>(&state), 4, &actual));
        coredll::clock::Settle();
    });
    points_.WaitForAny({"saver writes"});
    std::thread starter = Run("init", [&] { d_->entry.Init(u"Drivers\\Active\\02", nullptr); });
    points_.WaitForAny({"init locks", "init returned"});
    points_.Release("saver writes");
    Join(starter, "the Init");
    Join(requester, "the D4");
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty())
        << "set to " << Show(coredll::clock::SetSystemTimeCalls()[0].requested);
    EXPECT_TRUE(Deinit());
}

// An instance starts, asks for a snapshot and ends while the last Deinit waits for the old
// saver: the last to see the old saver end answers the request, once, and the next start owes
// it nothing.
TEST_F(Lifecycle, ARequestDuringTheStopIsAnsweredOnce) {
    coredll::threads::SetCallHook([this](Call call) {
        if (t_role.empty() && call == Call::kEventModify)
            points_.Hold("saver wakes");
        if (t_role == "deinit b" && call == Call::kWait)
            points_.Pass("deinit b waits");
    });
    std::thread a = Run("deinit a", [this] { EXPECT_TRUE(Deinit()); });
    points_.WaitForAny({"saver wakes"});
    ASSERT_EQ(d_->entry.Init(u"Drivers\\Active\\02", nullptr), 1u);
    DWORD state = D4, actual = 0;
    EXPECT_TRUE(d_->entry.IOControl(d_->context, IOCTL_POWER_SET, nullptr, 0,
                                    reinterpret_cast<PBYTE>(&state), 4, &actual));
    std::thread b = Run("deinit b", [this] { EXPECT_TRUE(Deinit()); });
    points_.WaitForAny({"deinit b waits", "deinit b returned"});
    points_.Release("saver wakes");
    Join(a, "Deinit a");
    Join(b, "Deinit b");
    EXPECT_EQ(Snapshots(), 2) << "the stop's own, then the request's";
    ASSERT_EQ(d_->entry.Init(u"Drivers\\Active\\03", nullptr), 1u);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 2) << "the new saver answered the request again";
}

// The saver holds the module by the name it reads back, and only by a name it read whole: one
// that fills MAX_PATH - 1 may have been cut short. Names of one character and of none load the
// module through links of the test's own.
class SaverModule : public ModuleTest {};

TEST_F(SaverModule, HeldOnlyByANameReadWhole) {
    ScratchDir dir("timeward-names");
    for (const char* link : {"libTimeward.so", "libT.so", "lib.so"}) {
        std::filesystem::create_symlink(
            std::filesystem::path(TIMEWARD_MODULE_DIR) / "libTimeward.so", dir.path() / link);
    }
    coredll::modules::SetSearchPath(dir.path());
    const std::u16string longest =
        u"\\Windows\\" + std::u16string(MAX_PATH - 23, u'x') + u"\\Timeward.dll";
    const struct {
        std::u16string name;
        int saver_references;
    } rows[] = {{u"", 0}, {u"T", 1}, {longest.substr(1), 1}, {longest, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name.size());
        const HMODULE module = LoadLibraryW(row.name.c_str());
        ASSERT_NE(module, nullptr);
        std::string error;
        ASSERT_TRUE(dm_.Activate("Timeward", &error)) << error;
        EXPECT_EQ(coredll::modules::References(module), 2 + row.saver_references);
        dm_.DeactivateAll();
        EXPECT_EQ(coredll::modules::References(module), 1);
        FreeLibrary(module);
    }
}

struct ForeignWaiter {
    HANDLE save;
    HANDLE quit;
    int taken = 0;
};

// Another process that waits on "SaveRTCEvent" to learn of save requests.
DWORD WINAPI WaitOnTheSaveEvent(LPVOID p) {
    auto* w = static_cast<ForeignWaiter*>(p);
    const HANDLE both[] = {w->quit, w->save};
    while (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        ++w->taken;
    return 0;
}

// The driver's own requests and its stop reach the saver, never a process waiting on the name.
TEST_F(Lifecycle, AWaiterOnTheSaveEventTakesNothingOfTheDriversOwn) {
    ForeignWaiter w{CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent"),
                    CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HANDLE waiter = CreateThread(nullptr, 0, WaitOnTheSaveEvent, &w, 0, nullptr);
    for (int i = 0; i < 20; ++i) {
        DWORD state = D4, actual = 0;
        d_->entry.IOControl(d_->context, IOCTL_POWER_SET, nullptr, 0,
                            reinterpret_cast<PBYTE>(&state), 4, &actual);
        coredll::clock::Settle();
    }
    EXPECT_EQ(Snapshots(), 20);
    const uint64_t before = coredll::clock::NowMs();
    EXPECT_TRUE(Deinit());
    EXPECT_EQ(coredll::clock::NowMs(), before) << "Deinit waited for the saver's time-out";
    EXPECT_EQ(Snapshots(), 21);
    EXPECT_EQ(w.taken, 0);
    SetEvent(w.quit);
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    for (HANDLE h : {waiter, w.save, w.quit})
        CloseHandle(h);
}

// The module is freed without RTC_Deinit: the running saver keeps it loaded, and still answers.
TEST_F(Lifecycle, FreeLibraryWithoutDeinitLeavesTheSaverItsCode) {
    ASSERT_TRUE(FreeLibrary(d_->module));
    EXPECT_TRUE(coredll::modules::IsLoaded(u"Timeward.dll"));
    HANDLE save = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
    SetEvent(save);
    CloseHandle(save);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    // The Device Manager's reference back, so that its Deinit can end the saver: then the module
    // goes with the last reference.
    ASSERT_EQ(LoadLibraryW(u"Timeward.dll"), d_->module);
    dm_.DeactivateAll();
    EXPECT_FALSE(coredll::modules::IsLoaded(u"Timeward.dll"));
}

using LifecycleDeathTest = Lifecycle;

// The Device Manager never calls RTC_Deinit from a DllMain: there the last stop's wait for the
// saver's end would never end, as the saver cannot end without the loader lock.
TEST_F(LifecycleDeathTest, DeinitHoldingTheLoaderLockIsADeadlockReportedByName) {
    EXPECT_DEATH(coredll::modules::WithLoaderLock([this] { Deinit(); }),
                 "a wait for a thread's end while holding the loader lock: a deadlock");
}

}  // namespace
