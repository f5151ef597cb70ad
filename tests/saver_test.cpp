// Tests of the saver thread: the five-minute interval, requests, and stopping it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"

namespace {

using namespace timeward_test;

// Ends every instance a test started, and with the last one its saver.
class SaverStart : public SimTest {
  protected:
    void StopDriver() override {
        coredll::reg::SetCallHook(nullptr);
        StopEveryInstance(StopSaver);
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

    // A stop that comes while both of the saver's waits fail ends it within one of its short
    // pauses (the stop's own wait for its end works).
    coredll::threads::FailWaits(true);
    RequestSave();  // its wake, after which both waits fail
    coredll::clock::Advance(2500);
    EXPECT_EQ(Snapshots(), 14);
    coredll::threads::FailWaits(false);
    const uint64_t before = coredll::clock::NowMs();
    EXPECT_TRUE(StopSaver());
    EXPECT_LE(coredll::clock::NowMs() - before, 1000u);
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

// Moves the clock `ms` on with no set and no notification: as while the device sleeps.
void MoveWall(int64_t ms) {
    int64_t now = 0;
    coredll::clock::ToMs(coredll::clock::Now(), &now);
    coredll::clock::SetWall(coredll::clock::FromMs(now + ms));
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

// What a row of the table below does at a moment: sets the clock `by_s` from where it runs (a
// time client, a person, a GPS service); or the same as the saver resets "TimewardTimeChanged"
// after a wake, the change notified there and then; or suspends the device for `by_s`, with the
// Power Manager's D4 before and D0 after (the tick count stands still meanwhile, the clock does
// not).
enum class Act { kSet, kSetAtTheReset, kSleep };
struct Step {
    uint64_t at_ms;
    Act act;
    int64_t by_s;
};

// A wake saves at once when the clock is more than the restore margin, either way, from where
// the last snapshot says it runs (small sets add up), and a set within a minute of the last one
// saved for a set waits until that minute is up; a resume is a new start for the reckoning, not
// a set. The snapshots of each row in its first 299 s, before the periodic one.
TEST_F(SaverStart, ASetIsSavedWhenTheClockIsOffTheLastSnapshotByMoreThanTheMargin) {
    std::vector<Step> fight;  // one program sets local time, another UTC, every second
    for (uint64_t i = 0; i < 60; ++i)
        fight.push_back({10000 + 1000 * i, Act::kSet, i % 2 ? -3600 : 3600});
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::vector<uint64_t> snapshots_ms;
    } rows[] = {
        {"+301 s", {{10000, Act::kSet, 301}}, {10000}},
        {"-301 s", {{10000, Act::kSet, -301}}, {10000}},
        {"+300 s", {{10000, Act::kSet, 300}}, {}},
        {"-300 s", {{10000, Act::kSet, -300}}, {}},
        {"two -240 s sets", {{10000, Act::kSet, -240}, {20000, Act::kSet, -240}}, {20000}},
        {"two +240 s sets", {{10000, Act::kSet, 240}, {20000, Act::kSet, 240}}, {20000}},
        {"+240 s and back", {{10000, Act::kSet, 240}, {20000, Act::kSet, -240}}, {}},
        {"a notification at the reset", {{10000, Act::kSetAtTheReset, -600}}, {10000}},
        {"a resume, then +5 s", {{10000, Act::kSleep, 2700}, {20000, Act::kSet, 5}}, {10000}},
        {"a set every second for a minute", fight, {10000, 70000}},
        {"a set that waits, undone",
         {{10000, Act::kSet, 301}, {20000, Act::kSet, -301}, {30000, Act::kSet, 301}},
         {10000}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        coredll::Reset();
        coredll::reg::CreateKey(kKey);
        coredll::clock::SetWall(Record(2026, 12, 8, 9, 0, 0));
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        for (const Step& step : row.steps) {
            coredll::clock::Advance(step.at_ms - coredll::clock::NowMs());
            if (step.act == Act::kSleep) {
                RequestSave();
                coredll::clock::Settle();
                MoveWall(step.by_s * 1000);  // the tick count stands still
                NoteResume();
                coredll::clock::Settle();
            } else if (step.act == Act::kSetAtTheReset) {
                // At the saver's first event change after the wake that a nudge brings.
                const std::thread::id driving = std::this_thread::get_id();
                auto done = std::make_shared<bool>(false);
                coredll::threads::SetCallHook([driving, done, by_s = step.by_s](auto call) {
                    if (call == coredll::threads::Call::kEventModify && !*done &&
                        std::this_thread::get_id() != driving) {
                        *done = true;
                        MoveWall(by_s * 1000);
                        HANDLE changed =
                            CreateEventW(nullptr, FALSE, FALSE, u"TimewardTimeChanged");
                        SetEvent(changed);  // its notification, delivered there and then
                        CloseHandle(changed);
                    }
                });
                SetClockBy(5000);
                coredll::threads::SetCallHook(nullptr);
            } else {
                SetClockBy(step.by_s * 1000);
            }
        }
        coredll::clock::Advance(299000 - coredll::clock::NowMs());
        std::vector<uint64_t> at;
        for (const coredll::debug::Line& line : coredll::debug::Lines()) {
            if (line.text == u"RTC is saved\r\n")
                at.push_back(line.at_ms);
        }
        EXPECT_EQ(at, row.snapshots_ms);
        StopDriver();
        coredll::clock::Settle();
    }
}

// "TimewardInterval" within its bounds is the interval; out of them, or of another type, the
// saver takes 300 s and says why once. The first snapshot of a start comes within 300 s
// whatever the interval: a device whose power goes after each 50-minute trip still gets past
// the snapshot it restored.
TEST_F(SaverStart, TheIntervalIsTimewardIntervalWithinItsBounds) {
    const struct {
        coredll::RegValue value;
        uint64_t first_ms, ms;
        const char* line;
    } rows[] = {
        {{REG_DWORD, {60, 0, 0, 0}}, 60000, 60000, nullptr},
        {{REG_DWORD, {0x10, 0x0E, 0, 0}}, SAVE_INTERVAL_MS, 3600000, nullptr},
        {{REG_DWORD, {0x81, 0x51, 0x01, 0}},
         SAVE_INTERVAL_MS,
         SAVE_INTERVAL_MS,
         "TimewardInterval 86401 is out of range (60 to 86400 seconds): the saver uses 300\r\n"},
        {{REG_SZ, {'6', 0, '0', 0, 0, 0}},
         SAVE_INTERVAL_MS,
         SAVE_INTERVAL_MS,
         "TimewardInterval is not a REG_DWORD: the saver uses 300\r\n"},
        {{5, {60, 0, 0, 0}},  // REG_DWORD_BIG_ENDIAN: four bytes, but not the type
         SAVE_INTERVAL_MS,
         SAVE_INTERVAL_MS,
         "TimewardInterval is not a REG_DWORD: the saver uses 300\r\n"},
    };
    for (const auto& row : rows) {
        coredll::reg::SetValue(kKey, "TimewardInterval", row.value);
        coredll::debug::Clear();
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        coredll::clock::Advance(row.first_ms - 1);
        EXPECT_EQ(Snapshots(), 0) << row.ms;
        coredll::clock::Advance(1);
        EXPECT_EQ(Snapshots(), 1) << row.ms;
        coredll::clock::Advance(row.ms - 1);
        EXPECT_EQ(Snapshots(), 1) << row.ms;
        coredll::clock::Advance(1);
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
// registration: it is tried again after a pause of its own, and nothing waits for it meanwhile.
TEST_F(SaverStart, ARegistrationThatFailsIsTriedAgainWithinAMinute) {
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
        coredll::clock::Advance(1500);  // past the first try, at 1 s, which is refused or held
        EXPECT_EQ(Snapshots(), 1) << "the first wake, with no registration, sees the set clock";
        EXPECT_TRUE(coredll::notify::Registrations().empty());
        coredll::notify::SetReadiness(coredll::notify::Readiness::kReady);
        coredll::clock::Advance(60000);  // a pause of its own, doubling from 1 s: no interval
        EXPECT_EQ(Snapshots(), 1);
        EXPECT_EQ(coredll::notify::Registrations().size(), 1u);
        EXPECT_EQ(CountLines(
                      "TimewardTimeChanged cannot be registered (error " + std::to_string(c.error) +
                      "): a clock that is set is saved at the next snapshot until it is\r\n"),
                  c.error != 0 ? 1 : 0);
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
