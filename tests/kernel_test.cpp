// Tests of the simulated kernel beyond the platform cases (platform_cases.cpp): its controls,
// waits in virtual time, the clock, debug output, and the guarded copy's two ways.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <vector>

#include "explore.h"
#include "sim_fixture.h"

namespace {

using namespace timeward_test;

class Kernel : public SimTest {};

struct Ticker {
    HANDLE event;
    DWORD timeout;
    std::atomic<int> wakes{0};
    std::atomic<int> signaled{0};
    std::atomic<bool> stop{false};
    int limit = -1;  // wakes after which the thread ends by itself
};

DWORD WINAPI TickerProc(LPVOID p) {
    Ticker* t = static_cast<Ticker*>(p);
    while (!t->stop) {
        DWORD r = WaitForSingleObject(t->event, t->timeout);
        t->wakes++;
        if (r == WAIT_OBJECT_0)
            t->signaled++;
        if (t->wakes == t->limit)
            break;
    }
    return 0;
}

void Join(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// The answers of waits are platform cases (platform_cases.cpp); these are the switches'.
TEST_F(Kernel, FailedWaitsAndEventCreation) {
    HANDLE a = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    coredll::threads::FailWaits(true);
    EXPECT_EQ(WaitForMultipleObjects(1, &a, FALSE, 0), WAIT_FAILED);
    coredll::threads::FailWaits(false);
    coredll::threads::TakeName(u"Taken");
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Taken"), nullptr);
    EXPECT_FALSE(coredll::threads::EventExists(u"Taken"));
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, u"Named");
    coredll::threads::FailEventCreation(true);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Named"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    CloseHandle(e);
    CloseHandle(a);
}

DWORD WINAPI SleepForever(LPVOID) {
    for (;;)
        Sleep(60000);
}

DWORD WINAPI Spin(LPVOID event) {
    for (;;)
        WaitForSingleObject(event, INFINITE);
}

using KernelDeathTest = Kernel;

// A thread that never ends, or never blocks, ends the test with a message rather than a hang.
TEST_F(KernelDeathTest, BoundedWaitForAThreadThatNeverEndsFails) {
    EXPECT_DEATH(
        {
            coredll::clock::BoundDrivingWaits(600000);
            HANDLE thread = CreateThread(nullptr, 0, SleepForever, nullptr, 0, nullptr);
            WaitForSingleObject(thread, INFINITE);
        },
        "a wait for a simulated thread to end did not end \\(600000 ms of virtual time; virtual "
        "time is now 600000 ms\\)");
    EXPECT_DEATH(
        {
            HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            CreateThread(nullptr, 0, Spin, event, 0, nullptr);
            coredll::clock::Settle();
        },
        "a simulated thread spins");
}

DWORD WINAPI ReturnHoldingIt(LPVOID cs) {
    EnterCriticalSection(static_cast<LPCRITICAL_SECTION>(cs));
    return 0;
}

DWORD WINAPI EndAtOnce(LPVOID) {
    return 0;
}

// What would corrupt a lock or hang the device is reported at once, by name.
TEST_F(KernelDeathTest, MisusedLocksAreReportedByName) {
    static CRITICAL_SECTION cs;
    const struct {
        std::function<void()> misuse;
        const char* report;
    } cases[] = {
        {[] { LeaveCriticalSection(&cs); },
         "LeaveCriticalSection by a thread that does not own the section"},
        {[] {
             HANDLE t = CreateThread(nullptr, 0, ReturnHoldingIt, &cs, 0, nullptr);
             coredll::clock::Settle();
             LeaveCriticalSection(&cs);
             CloseHandle(t);
         },
         "a simulated thread's procedure returned holding a critical section"},
        {[] {
             EnterCriticalSection(&cs);
             DeleteCriticalSection(&cs);
         },
         "DeleteCriticalSection of a section that a thread holds"},
        {[] {
             EnterCriticalSection(&cs);
             coredll::Reset();
         },
         "a critical section is still held"},
        {[] {
             coredll::modules::WithLoaderLock([] {
                 HANDLE t = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
                 WaitForSingleObject(t, INFINITE);
             });
         },
         "a wait for a thread's end while holding the loader lock: a deadlock"},
    };
    for (const auto& c : cases) {
        InitializeCriticalSection(&cs);
        EXPECT_DEATH(c.misuse(), c.report);
        DeleteCriticalSection(&cs);
    }
}

// The notification subsystem sets a registered event from a thread of its own, after the change
// of the clock, once a driving thread lets time pass; its store outlives the registering module.
TEST_F(Kernel, ATimeChangeIsDeliveredLaterByTheNotificationThread) {
    WCHAR app[] = u"\\\\.\\Notifications\\NamedEvents\\Changed";
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, u"Changed");
    ASSERT_TRUE(CeRunAppAtEvent(app, NOTIFICATION_EVENT_TIME_CHANGE));
    const SYSTEMTIME later = Record(2027, 1, 1, 0, 0);
    ASSERT_TRUE(SetSystemTime(&later));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "set from inside SetSystemTime";
    EXPECT_EQ(coredll::threads::Alive(), 0) << "the kernel's thread is no process's";
    coredll::clock::Settle();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST_F(Kernel, BoundedWaitMovesVirtualTimeOnUntilTheThreadEnds) {
    coredll::clock::BoundDrivingWaits(600000);
    Ticker t{CreateEventW(nullptr, FALSE, FALSE, nullptr), 100000};
    t.limit = 3;
    HANDLE thread = CreateThread(nullptr, 0, TickerProc, &t, 0, nullptr);
    Join(thread);
    EXPECT_EQ(t.wakes, 3);
    EXPECT_EQ(coredll::clock::NowMs(), 300000u);
    CloseHandle(t.event);
}

TEST_F(Kernel, TimeoutsRunInVirtualTimeAndAdvanceRunsEachWakeToTheNextWait) {
    Ticker t{CreateEventW(nullptr, FALSE, FALSE, nullptr), 100};
    HANDLE thread = CreateThread(nullptr, 0, TickerProc, &t, 0, nullptr);
    coredll::clock::Settle();
    EXPECT_EQ(t.wakes, 0);
    coredll::clock::Advance(99);
    EXPECT_EQ(t.wakes, 0);
    coredll::clock::Advance(1);
    EXPECT_EQ(t.wakes, 1);
    coredll::clock::Advance(1000);
    EXPECT_EQ(t.wakes, 11);
    EXPECT_EQ(coredll::clock::NowMs(), 1100u);

    SetEvent(t.event);
    coredll::clock::Settle();
    EXPECT_EQ(t.signaled, 1);
    t.stop = true;
    SetEvent(t.event);
    Join(thread);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    CloseHandle(t.event);
}

TEST_F(Kernel, WokenThreadsWaitForTheDrivingThreadToLetThemRun) {
    Ticker t{CreateEventW(nullptr, FALSE, FALSE, nullptr), INFINITE};
    HANDLE thread = CreateThread(nullptr, 0, TickerProc, &t, 0, nullptr);
    coredll::clock::Settle();
    SetEvent(t.event);  // releases the waiter, which does not run yet
    SetEvent(t.event);  // finds no waiter: the event stays set
    EXPECT_EQ(t.wakes, 0);
    coredll::clock::Settle();
    EXPECT_EQ(t.signaled, 2);
    t.stop = true;
    SetEvent(t.event);
    Join(thread);
    CloseHandle(t.event);
}

TEST_F(Kernel, ScaledModeRunsVirtualTimeFasterThanReal) {
    coredll::clock::SetScaled(1e6);
    Ticker t{CreateEventW(nullptr, FALSE, FALSE, nullptr), 60000};
    t.limit = 10;
    // Ten virtual minutes of one-minute time-outs: about six real milliseconds.
    Join(CreateThread(nullptr, 0, TickerProc, &t, 0, nullptr));
    EXPECT_EQ(t.wakes, 10);
    EXPECT_EQ(t.signaled, 0);
    EXPECT_GE(coredll::clock::NowMs(), 600000u);
    CloseHandle(t.event);
    coredll::clock::SetManual();
}

TEST_F(Kernel, SetSystemTimeValidatesAsWindowsDoes) {
    // The other fields out of range are a platform case; Wine takes this one.
    EXPECT_FALSE(SetSystemTime(nullptr));
    SYSTEMTIME bad = Record(2026, 2, 29);
    EXPECT_FALSE(SetSystemTime(&bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SYSTEMTIME good = Record(2024, 2, 29, 23, 59, 59, 999);
    good.wDayOfWeek = 6;  // ignored
    EXPECT_TRUE(SetSystemTime(&good));
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_TRUE(SameTime(now, good));
    EXPECT_EQ(now.wDayOfWeek, 4) << "29 February 2024 was a Thursday";
    EXPECT_EQ(coredll::clock::SetSystemTimeCalls().size(), 2u);
    coredll::clock::Advance(1);
    GetSystemTime(&now);
    EXPECT_TRUE(SameTime(now, Record(2024, 3, 1)));
    EXPECT_EQ(now.wDayOfWeek, 5);
}

TEST_F(Kernel, WallClockStartsAtNewYear2026) {
    coredll::Reset();  // not the fixture's clock
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_TRUE(SameTime(now, Record(2026, 1, 1)));
    EXPECT_EQ(now.wDayOfWeek, 4);
    for (int64_t ms : {0LL, 1LL, 86399999LL, 12622780800000LL, 13000000000123LL}) {
        int64_t back = -1;
        ASSERT_TRUE(coredll::clock::ToMs(coredll::clock::FromMs(ms), &back));
        EXPECT_EQ(back, ms);
    }
}

TEST_F(Kernel, DebugPrintFormatsAndRecordsEachLineWithItsTime) {
    coredll::clock::Advance(42);
    NKDbgPrintfW(u"plain\r\n");
    NKDbgPrintfW(u"%s=%d %u %04x %X %c %S 100%% %q\r\n", u"w", -12, 7u, 0xabu, 0xCDu, 'z', "n");
    std::vector<coredll::debug::Line> lines = coredll::debug::Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, u"plain\r\n");
    EXPECT_EQ(lines[0].at_ms, 42u);
    EXPECT_EQ(lines[1].text, u"w=-12 7 00ab CD z n 100% %q\r\n");
}

// Four pages: two writable, one read-only, one inaccessible, filled with a known pattern. Each
// case runs on both of the guarded copy's ways of moving bytes: process_vm_readv/writev, and
// the pipe it falls back to where the kernel lacks them (under qemu-user both cases take the
// pipe).
class SafeCopy : public SimTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        coredll::memory::ForcePipeCopy(GetParam());
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        map_ = static_cast<char*>(
            mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(map_, MAP_FAILED);
        for (size_t i = 0; i < 4 * page_; ++i)
            map_[i] = static_cast<char>(i % 251);
        ro_ = map_ + 2 * page_;
        none_ = map_ + 3 * page_;
        ASSERT_EQ(mprotect(ro_, page_, PROT_READ), 0);
        ASSERT_EQ(mprotect(none_, page_, PROT_NONE), 0);
    }
    void TearDown() override {
        munmap(map_, 4 * page_);
        SimTest::TearDown();
    }
    size_t page_ = 0;
    char* map_ = nullptr;
    char* ro_ = nullptr;
    char* none_ = nullptr;
};

// What it copies and refuses page by page is a platform case, which on x86-64 takes
// process_vm_readv/writev and under qemu-user the pipe.
TEST_P(SafeCopy, CopiesMoreThanThePipeTakesInOneStep) {
    std::vector<char> big(3 * page_);
    EXPECT_TRUE(CeSafeCopyMemory(big.data(), map_, static_cast<DWORD>(big.size())));
    EXPECT_EQ(std::memcmp(big.data(), map_, big.size()), 0);
}

TEST_P(SafeCopy, FailedCopyLeavesTheDestinationAsItWas) {
    auto refused_and_kept = [](char* dest, const char* src, size_t n) {
        const std::vector<char> before(dest, dest + n);
        return !CeSafeCopyMemory(dest, src, static_cast<DWORD>(n)) &&
               std::equal(before.begin(), before.end(), dest);
    };
    std::vector<char> src(page_ + 8, 'x');
    // The destination ends in a read-only page: what was written before it is undone.
    EXPECT_TRUE(refused_and_kept(ro_ - 4, src.data(), 8)) << "in the last step";
    EXPECT_TRUE(refused_and_kept(ro_ - page_ - 4, src.data(), page_ + 8)) << "after a step";
    // The source ends in an inaccessible page: nothing reaches the destination.
    EXPECT_TRUE(refused_and_kept(src.data(), none_ - page_ - 4, page_ + 8)) << "source";
}

// On a scheduled thread's own stack, which the simulated kernel mapped, bytes move without the
// kernel, overlapping ranges as through a copy of the source; anything else still goes through it.
TEST_P(SafeCopy, OnAScheduledThreadsStackMovesAsTheKernelWould) {
    static std::string moved;
    static bool refused;
    char* none = none_;
    coredll::explore::Program p{"stack copy",
                                nullptr,
                                {[none] {
                                    char text[] = "abcdefgh";
                                    const bool up = CeSafeCopyMemory(text + 2, text, 4);
                                    const bool down = CeSafeCopyMemory(text, text + 3, 4);
                                    moved = up && down ? text : "failed";
                                    refused = !CeSafeCopyMemory(none, text, 4) &&
                                              !CeSafeCopyMemory(text, none, 4);
                                }},
                                nullptr,
                                nullptr};
    coredll::explore::Bounds b;
    b.depth_first_runs = 1;
    coredll::explore::Explore(p, b);
    EXPECT_EQ(moved, "bcdgcdgh");
    EXPECT_TRUE(refused);
}

INSTANTIATE_TEST_SUITE_P(Moves, SafeCopy, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Pipe" : "ProcessVm";
                         });

}  // namespace
