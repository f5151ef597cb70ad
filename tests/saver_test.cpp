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
    EXPECT_EQ(c.sets, 288u * 9);
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

// Another process created "SaveRTCEvent" as a manual-reset event and set it before the driver
// started: each wake still gives one snapshot, requests before a snapshot still coalesce.
TEST_F(SaverStart, ForeignManualResetEventGivesOneSnapshotPerWake) {
    HANDLE foreign = CreateEventW(nullptr, TRUE, TRUE, u"SaveRTCEvent");
    ASSERT_NE(foreign, nullptr);
    std::atomic<int> flushes{0};
    coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view, LONG) {
        // A saver that spins is stopped here, so that the test ends and says so.
        if (call == coredll::RegCall::kFlush && ++flushes > 5)
            ResetEvent(foreign);
    });
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(WaitForSingleObject(foreign, 0), WAIT_TIMEOUT) << "the saver left it reset";
    SetEvent(foreign);
    SetEvent(foreign);
    coredll::clock::Settle();
    EXPECT_EQ(Snapshots(), 2);
    coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 2);
    coredll::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 3);
    CloseHandle(foreign);
}

// The saver, not the start-up, registers for time changes; the last stop removes it.
TEST_F(SaverStart, TimeChangesAreWatchedFromTheSaverThreadUntilTheLastStop) {
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_TRUE(coredll::notify::Registrations().empty()) << "start-up registered";
    coredll::clock::Settle();
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
    } cases[] = {
        {"it failed", coredll::notify::Readiness::kReady, 1},
        {"not up yet", coredll::notify::Readiness::kFails, 0},
        {"not up yet, and its calls wait", coredll::notify::Readiness::kBlocks, 0},
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
        coredll::notify::SetReadiness(coredll::notify::Readiness::kReady);
        coredll::clock::Advance(SAVE_INTERVAL_MS);
        EXPECT_EQ(Snapshots(), 1);
        EXPECT_EQ(coredll::notify::Registrations().size(), 1u);
        const SYSTEMTIME again = Record(2024, 8, 8, 8, 8, 8);
        SetSystemTime(&again);
        coredll::clock::Settle();
        EXPECT_EQ(Snapshots(), 2) << "a clock that is set is saved at once";
        EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCYear"), 2024u);
        coredll::clock::Advance(SAVE_INTERVAL_MS - 1);
        EXPECT_EQ(Snapshots(), 2) << "and the interval starts again";
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
