// Tests of the saver thread: the five-minute interval, requests, and stopping it.
#include <gtest/gtest.h>

#include <atomic>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"

namespace {

using namespace timeward_test;

// Ends every instance a test started, and with the last one its saver.
class SaverStart : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);
    }
    void StopDriver() override {
        coredll::reg::SetCallHook(nullptr);
        while (StopSaver()) {
        }
    }
};

class Saver : public SaverStart {
  protected:
    void SetUp() override {
        SaverStart::SetUp();
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        coredll::debug::Clear();
    }
};

TEST_F(Saver, FirstSnapshotComesFiveMinutesAfterStart) {
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 0);
    coredll::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 1);
    std::vector<coredll::debug::Line> lines = coredll::debug::Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at_ms, SAVE_INTERVAL_MS);
}

TEST_F(Saver, SnapshotsFollowEveryFiveMinutes) {
    coredll::clock::Advance(12 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 12);
    std::vector<coredll::debug::Line> lines = coredll::debug::Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].at_ms, (i + 1) * SAVE_INTERVAL_MS);
    }
}

TEST_F(Saver, ADayWithoutRequestsIs288Snapshots) {
    coredll::reg::ResetCounters();
    coredll::clock::Advance(24ull * 3600 * 1000);
    EXPECT_EQ(Snapshots(), 288);
    coredll::RegCounters c = coredll::reg::Counters();
    EXPECT_EQ(c.sets, 288u * 12 - 1)
        << "twelve values each, but no record to keep before the first";
    EXPECT_EQ(c.flushes, 288u);
    EXPECT_EQ(c.open_handles, 0u);
}

TEST_F(Saver, RequestGivesASnapshotAtOnceAndRestartsTheInterval) {
    coredll::clock::Advance(1000);
    RequestSave();
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
    coredll::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Saver, RequestsWhileWaitingGiveOneSnapshot) {
    coredll::clock::Settle();  // the saver waits
    RequestSave();
    RequestSave();
    RequestSave();
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
}

TEST_F(Saver, RequestDuringASnapshotGivesExactlyOneMore) {
    int requests = 0;
    coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view name, LONG) {
        if (call == coredll::RegCall::kSet && name == u"RTCMinute" && requests == 0) {
            ++requests;
            RequestSave();
        }
    });
    RequestSave();
    coredll::clock::Settle();
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(Snapshots(), 2);
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Saver, EventOpenedByNameFromElsewhereGivesASnapshot) {
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(GetLastError(), 183u) << "the driver's event, not a new one";
    ASSERT_TRUE(SetEvent(other));
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    CloseHandle(other);
}

TEST_F(Saver, FailingWaitDoesNotSpin) {
    coredll::threads::FailWaits(true);
    coredll::clock::Advance(SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 1);
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
    coredll::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 2);
    coredll::clock::Advance(10 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 12);

    // Waits work again from the next one on, so that the saver can be stopped.
    coredll::threads::FailWaits(false);
    coredll::clock::Advance(SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 13);
}

// A bug elsewhere in the process closes "SaveRTCEvent" under the saver: its wait fails, and
// the stop still ends it at once.
TEST_F(Saver, AFailedWaitDoesNotHoldAStop) {
    coredll::clock::Advance(2000);
    CloseHandle(g_hSaveEvent);
    RequestSave();  // the wait after this snapshot fails
    coredll::clock::Settle();
    ASSERT_EQ(Snapshots(), 1);
    const uint64_t before = coredll::clock::NowMs();
    EXPECT_TRUE(StopSaver());
    EXPECT_EQ(coredll::clock::NowMs(), before) << "the stop waited in virtual time";
    EXPECT_EQ(Snapshots(), 2);
}

// Sets the clock `ms` away from where it runs, as a time client does, and lets the saver wake.
void SetClockBy(int64_t ms) {
    int64_t now = 0;
    ASSERT_TRUE(coredll::clock::ToMs(coredll::clock::Now(), &now));
    const SYSTEMTIME set = coredll::clock::FromMs(now + ms);
    ASSERT_TRUE(SetSystemTime(&set));
    coredll::clock::Settle();
}

// A time client nudges the clock by two seconds every 10 s: no snapshot of its own, and the
// periodic ones keep their time.
TEST_F(Saver, NudgesCostNoSnapshotAndThePeriodicOnesComeOnTime) {
    for (int i = 0; i < 60; ++i) {
        coredll::clock::Advance(10000);
        SetClockBy(i % 2 ? -2000 : 2000);
    }
    std::vector<uint64_t> at;
    for (const coredll::debug::Line& line : coredll::debug::Lines()) {
        if (line.text == u"RTC is saved\r\n")
            at.push_back(line.at_ms);
    }
    EXPECT_EQ(at, (std::vector<uint64_t>{SAVE_INTERVAL_MS, 2 * SAVE_INTERVAL_MS}));
}

// A set is saved at once when it moved the clock by more than the restore margin, either way.
TEST_F(Saver, ASetBeyondTheMarginEitherWayIsSavedAtOnce) {
    const struct {
        int64_t by_s;
        int snapshots;
    } rows[] = {{300, 0}, {301, 1}, {-300, 0}, {-301, 1}, {-3600, 1}, {86400, 1}};
    coredll::clock::Advance(1000);  // the saver has registered
    for (const auto& row : rows) {
        const int before = Snapshots();
        coredll::clock::Advance(10000);
        SetClockBy(row.by_s * 1000);
        EXPECT_EQ(Snapshots() - before, row.snapshots) << "set by " << row.by_s << " s";
    }
}

// "TimewardInterval" within its bounds is the interval; out of them, or of another type, the
// saver takes 300 s and says why once.
TEST_F(SaverStart, TheIntervalIsTimewardIntervalWithinItsBounds) {
    const struct {
        coredll::RegValue value;
        uint64_t ms;
        const char* line;
    } rows[] = {
        {{REG_DWORD, {60, 0, 0, 0}}, 60000, nullptr},
        {{REG_DWORD, {0x81, 0x51, 0x01, 0}},
         SAVE_INTERVAL_MS,
         "TimewardInterval 86401 is out of range (60 to 86400 seconds): the saver uses 300\r\n"},
        {{REG_SZ, {'6', 0, '0', 0, 0, 0}},
         SAVE_INTERVAL_MS,
         "TimewardInterval is not a REG_DWORD: the saver uses 300\r\n"},
    };
    for (const auto& row : rows) {
        coredll::reg::SetValue(kKey, "TimewardInterval", row.value);
        coredll::debug::Clear();
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        coredll::clock::Advance(row.ms - 1);
        EXPECT_EQ(Snapshots(), 0) << row.ms;
        coredll::clock::Advance(1);
        EXPECT_EQ(Snapshots(), 1) << row.ms;
        coredll::clock::Advance(row.ms);
        EXPECT_EQ(Snapshots(), 2) << row.ms;
        ASSERT_TRUE(StopSaver());
        EXPECT_EQ(CountLines(row.line ? row.line : ""), row.line ? 1 : 0);
    }
}

TEST_F(Saver, StopTakesOneLastSnapshotAndEndsTheThread) {
    coredll::clock::SetWall(Record(2026, 8, 8, 8, 8, 8));
    StopSaver();
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCHour"), 8u);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(g_hSaveEvent, nullptr);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    // A second stop has no instance to end: it takes the lock to see so, and nothing else.
    int calls = 0;
    coredll::threads::SetCallHook([&](coredll::threads::Call call) {
        calls += call != coredll::threads::Call::kEnterCriticalSection &&
                 call != coredll::threads::Call::kLeaveCriticalSection;
    });
    coredll::reg::ResetCounters();
    SetLastError(0xBEEF);
    EXPECT_FALSE(StopSaver());
    coredll::threads::SetCallHook(nullptr);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(GetLastError(), 0xBEEFu);
    EXPECT_EQ(coredll::reg::Counters().opens, 0u);
    EXPECT_EQ(Snapshots(), 1);
}

// Another process created one of the saver's named events as a manual-reset event and set it
// before the driver started: each wake still gives at most one snapshot, requests before a
// snapshot still coalesce, and a time change that moved nothing takes none and never spins.
TEST_F(SaverStart, ForeignManualResetEventsGiveOneSnapshotPerWake) {
    const struct {
        const char* why;
        const char16_t* name;
        int at_start;  // snapshots once the saver has started, then after two sets of the event
        int after_sets;
    } cases[] = {{"SaveRTCEvent", u"SaveRTCEvent", 1, 2},
                 {"TimewardTimeChanged", u"TimewardTimeChanged", 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        coredll::Reset();
        coredll::reg::CreateKey(kKey);
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);
        HANDLE foreign = CreateEventW(nullptr, TRUE, TRUE, c.name);
        ASSERT_NE(foreign, nullptr);
        std::atomic<int> flushes{0};
        coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view, LONG) {
            // A saver that spins is stopped here, so that the test ends and says so.
            if (call == coredll::RegCall::kFlush && ++flushes > 5)
                ResetEvent(foreign);
        });
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        coredll::clock::Settle();
        EXPECT_EQ(Snapshots(), c.at_start);
        EXPECT_EQ(WaitForSingleObject(foreign, 0), WAIT_TIMEOUT) << "the saver left it reset";
        SetEvent(foreign);
        SetEvent(foreign);
        coredll::clock::Settle();
        EXPECT_EQ(Snapshots(), c.after_sets);
        coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
        EXPECT_EQ(Snapshots(), c.after_sets);
        coredll::clock::Advance(1);
        EXPECT_EQ(Snapshots(), c.after_sets + 1);
        coredll::reg::SetCallHook(nullptr);
        CloseHandle(foreign);
        StopDriver();
        coredll::clock::Settle();
    }
}

// The saver, not the start-up, registers for time changes; the last stop removes it.
TEST_F(SaverStart, TimeChangesAreWatchedFromTheSaverThreadUntilTheLastStop) {
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_TRUE(coredll::notify::Registrations().empty()) << "start-up registered";
    coredll::clock::Settle();
    EXPECT_TRUE(coredll::notify::Registrations().empty()) << "before the saver's first wait";
    coredll::clock::Advance(1000);
    std::vector<coredll::notify::Registration> r = coredll::notify::Registrations();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].app, u"\\\\.\\Notifications\\NamedEvents\\TimewardTimeChanged");
    EXPECT_EQ(r[0].event, NOTIFICATION_EVENT_TIME_CHANGE);
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_TRUE(StopSaver());
    EXPECT_EQ(coredll::notify::Registrations().size(), 1u) << "one instance is left";
    EXPECT_TRUE(StopSaver());
    EXPECT_TRUE(coredll::notify::Registrations().empty());
}

// A registration that fails, or a subsystem that is not up yet early in boot, delays only the
// registration: it is made at a later wake, and nothing waits for it meanwhile.
TEST_F(SaverStart, ARegistrationThatFailsIsMadeAtALaterWake) {
    const struct {
        const char* why;
        coredll::notify::Readiness readiness;
        int failures;
        int error;  // the one line says it; 0: the call waits and says nothing
    } cases[] = {
        {"it failed", coredll::notify::Readiness::kReady, 1, ERROR_GEN_FAILURE},
        {"not up yet", coredll::notify::Readiness::kFails, 0, ERROR_NOT_READY},
        {"not up yet, and its calls wait", coredll::notify::Readiness::kBlocks, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        coredll::Reset();
        coredll::reg::CreateKey(kKey);
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);
        coredll::notify::FailRegistrations(c.failures);
        coredll::notify::SetReadiness(c.readiness);
        ASSERT_EQ(StartClockKeeping(nullptr), 1u) << "start-up waits for nothing";
        coredll::clock::Settle();
        const SYSTEMTIME corrected = Record(2025, 7, 7, 7, 7, 7);
        SetSystemTime(&corrected);
        coredll::clock::Settle();
        EXPECT_EQ(Snapshots(), 0) << "not registered: not heard";
        EXPECT_TRUE(coredll::notify::Registrations().empty());
        coredll::clock::Advance(2000);  // past the first try, which is refused or held
        EXPECT_EQ(Snapshots(), 1) << "the first wake, with no registration, sees the set clock";
        EXPECT_TRUE(coredll::notify::Registrations().empty());
        coredll::notify::SetReadiness(coredll::notify::Readiness::kReady);
        coredll::clock::Advance(SAVE_INTERVAL_MS);
        EXPECT_EQ(Snapshots(), 2);
        EXPECT_EQ(coredll::notify::Registrations().size(), 1u);
        EXPECT_EQ(CountLines(
                      "TimewardTimeChanged cannot be registered (error " + std::to_string(c.error) +
                      "): a clock that is set is saved at the next snapshot until it is\r\n"),
                  c.error != 0 ? 1 : 0);
        const SYSTEMTIME again = Record(2024, 8, 8, 8, 8, 8);
        SetSystemTime(&again);
        coredll::clock::Settle();
        EXPECT_EQ(Snapshots(), 3) << "a clock that is set is saved at once";
        EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCYear"), 2024u);
        coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
        EXPECT_EQ(Snapshots(), 3) << "and the interval starts again";
        StopDriver();
        coredll::clock::Settle();
    }
}

// An OS design without the notification component: the driver runs as it would without this
// wake, and says once why a set clock waits for the next snapshot.
TEST_F(SaverStart, WithoutTheNotificationComponentASetClockWaitsForTheNextSnapshot) {
    coredll::notify::LeaveOut(true);
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    const SYSTEMTIME corrected = Record(2025, 7, 7, 7, 7, 7);
    SetSystemTime(&corrected);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 0);
    coredll::clock::Advance(2 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 2);
    EXPECT_EQ(CountLines("CeRunAppAtEvent is missing: a clock that is set is saved at the next "
                         "snapshot, not at once\r\n"),
              1);
}

}  // namespace
