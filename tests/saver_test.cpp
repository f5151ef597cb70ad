// Tests of the saver thread: the five-minute interval, requests, and stopping it.
#include <gtest/gtest.h>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"

namespace {

using namespace timeward_test;

int Snapshots() {
    return CountLines("RTC is saved\r\n");
}

class Saver : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(StartClockKeeping(), 1u);
        sim::debug::Clear();
    }
    void StopDriver() override {
        sim::reg::SetCallHook(nullptr);
        StopSaver();
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
    // The saver's handle goes bad under it: every later wait fails at once.
    HANDLE event = g_hSaveEvent;
    ASSERT_TRUE(CloseHandle(event));
    sim::clock::Advance(SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(SAVE_INTERVAL_MS - 1);
    EXPECT_EQ(Snapshots(), 1);
    sim::clock::Advance(1);
    EXPECT_EQ(Snapshots(), 2);
    sim::clock::Advance(10 * SAVE_INTERVAL_MS);
    EXPECT_EQ(Snapshots(), 12);

    // Give it a working event again so that it can be stopped.
    g_hSaveEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    sim::clock::Advance(SAVE_INTERVAL_MS);
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
    StopSaver();  // a second stop does nothing
    EXPECT_EQ(Snapshots(), 1);
}

}  // namespace
