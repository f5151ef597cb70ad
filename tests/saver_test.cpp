// Tests of the saver thread: the five-minute interval, requests, and stopping it.
#include <gtest/gtest.h>

#include <atomic>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"

namespace {

using namespace timeward_test;

int Snapshots() {
    return CountLines("RTC is saved\r\n");
}

// Ends every instance a test started, and with the last one its saver.
class SaverStart : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::clock::BoundDrivingWaits(kWaitBoundMs);
    }
    void StopDriver() override {
        sim::reg::SetCallHook(nullptr);
        while (StopSaver()) {
        }
    }
};

class Saver : public SaverStart {
  protected:
    void SetUp() override {
        SaverStart::SetUp();
        ASSERT_EQ(StartClockKeeping(), 1u);
        sim::debug::Clear();
    }
};

TEST_F(Saver, FirstSnapshotComesFiveMinutesAfterStart) {
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 0);
    sim::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 1);
    std::vector<sim::debug::Line> lines = sim::debug::Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at_ms, SAVE_INTERVAL_MS);
}

TEST_F(Saver, SnapshotsFollowEveryFiveMinutes) {
    sim::clock::Advance(12 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 12);
    std::vector<sim::debug::Line> lines = sim::debug::Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].at_ms, (i + 1) * SAVE_INTERVAL_MS);
    }
}

TEST_F(Saver, ADayWithoutRequestsIs288Snapshots) {
    sim::reg::ResetCounters();
    sim::clock::Advance(24ull * 3600 * 1000);
    EXPECT_EQ(Snapshots(), 288);
    sim::RegCounters c = sim::reg::Counters();
    EXPECT_EQ(c.sets, 288u * 9);
    EXPECT_EQ(c.flushes, 288u);
    EXPECT_EQ(c.open_handles, 0u);
}

TEST_F(Saver, RequestGivesASnapshotAtOnceAndRestartsTheInterval) {
    sim::clock::Advance(1000);
    RequestSave();
    sim::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Saver, RequestsWhileWaitingGiveOneSnapshot) {
    sim::clock::Settle();  // the saver waits
    RequestSave();
    RequestSave();
    RequestSave();
    sim::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
}

TEST_F(Saver, RequestDuringASnapshotGivesExactlyOneMore) {
    int requests = 0;
    sim::reg::SetCallHook([&](sim::RegCall call, std::u16string_view name, LONG) {
        if (call == sim::RegCall::kSet && name == u"RTCMinute" && requests == 0) {
            ++requests;
            RequestSave();
        }
    });
    RequestSave();
    sim::clock::Settle();
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(Snapshots(), 2);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 2);
}

TEST_F(Saver, EventOpenedByNameFromElsewhereGivesASnapshot) {
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(GetLastError(), 183u) << "the driver's event, not a new one";
    ASSERT_TRUE(SetEvent(other));
    sim::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    CloseHandle(other);
}

TEST_F(Saver, FailingWaitDoesNotSpin) {
    sim::threads::FailWaits(true);
    sim::clock::Advance(SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 2);
    sim::clock::Advance(10 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 12);

    // Waits work again from the next one on, so that the saver can be stopped.
    sim::threads::FailWaits(false);
    sim::clock::Advance(SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 13);
}

TEST_F(Saver, StopTakesOneLastSnapshotAndEndsTheThread) {
    sim::clock::SetWall(Record(2026, 8, 8, 8, 8, 8));
    StopSaver();
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(sim::reg::GetDword(kKey, "RTCHour"), 8u);
    EXPECT_EQ(sim::threads::Alive(), 0);
    EXPECT_EQ(sim::threads::OpenHandles(), 0);
    EXPECT_FALSE(sim::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(g_hSaveEvent, nullptr);
    EXPECT_FALSE(IsSaverRunning());
    // A second stop has no instance to end: it takes the lock to see so, and nothing else.
    int calls = 0;
    sim::threads::SetCallHook([&](sim::threads::Call call) {
        calls += call != sim::threads::Call::kEnterCriticalSection &&
                 call != sim::threads::Call::kLeaveCriticalSection;
    });
    sim::reg::ResetCounters();
    SetLastError(0xBEEF);
    EXPECT_FALSE(StopSaver());
    sim::threads::SetCallHook(nullptr);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(GetLastError(), 0xBEEFu);
    EXPECT_EQ(sim::reg::Counters().opens, 0u);
    EXPECT_EQ(Snapshots(), 1);
}

// Another process created "SaveRTCEvent" as a manual-reset event and set it before the driver
// started: each wake still gives one snapshot, requests before a snapshot still coalesce.
TEST_F(SaverStart, ForeignManualResetEventGivesOneSnapshotPerWake) {
    HANDLE foreign = CreateEventW(nullptr, TRUE, TRUE, u"SaveRTCEvent");
    ASSERT_NE(foreign, nullptr);
    std::atomic<int> flushes{0};
    sim::reg::SetCallHook([&](sim::RegCall call, std::u16string_view, LONG) {
        // A saver that spins is stopped here, so that the test ends and says so.
        if (call == sim::RegCall::kFlush && ++flushes > 5)
            ResetEvent(foreign);
    });
    ASSERT_EQ(StartClockKeeping(), 1u);
    sim::clock::Settle();
    EXPECT_EQ(Snapshots(), 1);
    EXPECT_EQ(WaitForSingleObject(foreign, 0), WAIT_TIMEOUT) << "the saver left it reset";
    SetEvent(foreign);
    SetEvent(foreign);
    sim::clock::Settle();
    EXPECT_EQ(Snapshots(), 2);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 2);
    sim::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 3);
    CloseHandle(foreign);
}

}  // namespace
