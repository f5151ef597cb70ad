// Tests of the start-up sequence: the switch, the start of the saver, and the restore.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"
#include "timeward_version.h"

namespace {

using namespace timeward_test;
using namespace std::string_literals;

const char* const kRestoreLine = "SavedTime is bigger than CurrentTime for more than 5 minutes\r\n";

class Startup : public SimTest {
  protected:
    void StopDriver() override {
        coredll::reg::SetCallHook(nullptr);
        coredll::threads::SetCallHook(nullptr);
        StopEveryInstance(StopSaver);
    }
    // The clock now, and a snapshot `ahead` seconds later.
    void ClockAndSnapshot(int64_t ahead) {
        clock_ = Record(2026, 12, 10, 8, 0, 0);
        coredll::clock::SetWall(clock_);
        int64_t ms;
        ASSERT_TRUE(coredll::clock::ToMs(clock_, &ms));
        snapshot_ = coredll::clock::FromMs(ms + ahead * 1000);
        StoreSnapshot(snapshot_);
    }
    SYSTEMTIME clock_{};
    SYSTEMTIME snapshot_{};
};

TEST_F(Startup, SwitchAtOneRefusesAndStartsNothing) {
    coredll::reg::SetDword(kKey, "TimewardImplemented", 1);
    StoreSnapshot(Record(2030, 1, 1));
    EXPECT_EQ(StartClockKeeping(nullptr), 0u);
    EXPECT_EQ(coredll::debug::Texts(),
              std::vector<std::string>{"Timeward is already implemented\r\n"});
    EXPECT_EQ(coredll::threads::Started(), 0u);
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(g_hSaveEvent, nullptr);
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty());
}

TEST_F(Startup, SwitchOtherThanOneRunsNormally) {
    for (DWORD value : {0u, 2u, 0x101u}) {
        coredll::reg::SetDword(kKey, "TimewardImplemented", value);
        EXPECT_EQ(StartClockKeeping(nullptr), 1u) << value;
        EXPECT_EQ(coredll::threads::Alive(), 1);
        EXPECT_TRUE(StopSaver());
    }
    // A switch that is not a readable DWORD leaves the driver on as well.
    coredll::reg::SetValue(kKey, "TimewardImplemented", {REG_BINARY, {1, 0, 0, 0, 0}});
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    coredll::reg::SetValue(kKey, "TimewardImplemented", {REG_BINARY, {}});  // empty: reads 0
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
}

TEST_F(Startup, NoSnapshotSaysSoAndStillStartsTheSaver) {
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::debug::Texts(), std::vector<std::string>{"We did not save RTC before\r\n"});
    EXPECT_TRUE(coredll::threads::EventExists(u"SaveRTCEvent"));
    EXPECT_EQ(coredll::threads::Alive(), 1);
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty());
}

TEST_F(Startup, SnapshotThreeHundredSecondsAheadIsNotRestored) {
    ClockAndSnapshot(300);
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty());
    EXPECT_TRUE(coredll::debug::Texts().empty());
}

TEST_F(Startup, SnapshotThreeHundredAndOneSecondsAheadIsRestored) {
    ClockAndSnapshot(301);
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::debug::Texts(),
              std::vector<std::string>{"SavedTime is bigger than CurrentTime for more than 5 "
                                       "minutes\r\n"});
    std::vector<coredll::clock::SetCall> calls = coredll::clock::SetSystemTimeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(SameTime(calls[0].requested, snapshot_)) << Show(calls[0].requested);
    EXPECT_EQ(calls[0].requested.wDayOfWeek, snapshot_.wDayOfWeek);
    EXPECT_TRUE(SameTime(coredll::clock::Now(), snapshot_)) << Show(coredll::clock::Now());
}

TEST_F(Startup, ClockAheadOfTheSnapshotIsNeverMovedBack) {
    for (int64_t behind : {1, 301, 86400 * 365}) {
        ClockAndSnapshot(-behind);
        EXPECT_EQ(StartClockKeeping(nullptr), 1u);
        StopSaver();
    }
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty());
    for (const std::string& line : coredll::debug::Texts())
        EXPECT_EQ(line, "RTC is saved\r\n");
}

// "SaveRTCEvent" is already set when the driver starts, and the saver gets to run at every
// platform call start-up makes: still nothing is written before the previous run's snapshot
// has been read and restored, and the first snapshot records the restored clock.
TEST_F(Startup, SaveRequestedBeforeStartUpWritesNothingBeforeTheRestore) {
    coredll::clock::SetWall(Record(2003, 1, 1));
    StoreSnapshot(Record(2026, 12, 8, 9, 30));
    HANDLE other = CreateEventW(nullptr, FALSE, TRUE, u"SaveRTCEvent");
    const std::thread::id startup = std::this_thread::get_id();
    size_t restores_before_first_write = 99;
    coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view, LONG) {
        if (call == coredll::RegCall::kSet && restores_before_first_write == 99)
            restores_before_first_write = coredll::clock::SetSystemTimeCalls().size();
        if (std::this_thread::get_id() == startup)
            coredll::clock::Settle();
    });
    coredll::threads::SetCallHook([&](coredll::threads::Call) {
        if (std::this_thread::get_id() == startup)
            coredll::clock::Settle();
    });
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    coredll::threads::SetCallHook(nullptr);
    coredll::clock::Settle();
    coredll::reg::SetCallHook(nullptr);
    EXPECT_EQ(restores_before_first_write, 1u);
    EXPECT_EQ(coredll::debug::Texts(),
              (std::vector<std::string>{
                  "SavedTime is bigger than CurrentTime for more than 5 minutes\r\n",
                  "RTC is saved\r\n"}));
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCYear"), 2026u);
    CloseHandle(other);
}

// The 32-bit seconds count wraps after 2097-02-06 06:28:15, and these pairs of clock and
// snapshot are set back: a clock past the wrap, and a clock in the last 300 s before it.
TEST_F(Startup, WrapOfTheSecondsCountSetsTheseClocksBack) {
    struct Pair {
        SYSTEMTIME clock, snapshot;
        bool set;
    };
    const Pair pairs[] = {
        {Record(2100, 3, 1), Record(2026, 12, 8, 9, 30), true},
        {Record(2097, 2, 6, 6, 28, 15), Record(1961, 1, 1, 0, 5, 0), true},
        {Record(2097, 2, 6, 6, 23, 16), Record(2026, 12, 8, 9, 30), true},
        {Record(2097, 2, 6, 6, 28, 15), Record(1961, 1, 1, 0, 4, 59), false},
        {Record(2097, 2, 6, 6, 23, 15), Record(2026, 12, 8, 9, 30), false},
    };
    for (const Pair& p : pairs) {
        coredll::clock::SetWall(p.clock);
        StoreSnapshot(p.snapshot);
        const size_t before = coredll::clock::SetSystemTimeCalls().size();
        EXPECT_EQ(StartClockKeeping(nullptr), 1u);
        EXPECT_EQ(coredll::clock::SetSystemTimeCalls().size(), before + (p.set ? 1 : 0))
            << Show(p.clock) << " with " << Show(p.snapshot);
        EXPECT_TRUE(StopSaver());
    }
}

TEST_F(Startup, RestoresAfterTheRealTimeClockWasReset) {
    coredll::clock::SetWall(Record(2003, 1, 1));
    StoreSnapshot(Record(2026, 11, 30, 22, 15, 0, 250));
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_TRUE(SameTime(coredll::clock::Now(), Record(2026, 11, 30, 22, 15, 0, 250)));
}

TEST_F(Startup, RestoredYearBefore1961ComesBackAs1961) {
    coredll::clock::SetWall(Record(1700, 1, 1));
    StoreSnapshot(Record(1900, 6, 1));
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    std::vector<coredll::clock::SetCall> calls = coredll::clock::SetSystemTimeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].requested.wYear, 1961);
    EXPECT_EQ(calls[0].requested.wMonth, 6);
}

TEST_F(Startup, LeapDayBefore1961IsNotRestoredAsAnImpossibleDate) {
    // 1960 is a leap year; raised to 1961 the record would be 29 February 1961.
    coredll::clock::SetWall(Record(1700, 1, 1));
    StoreSnapshot(Record(1960, 2, 29));
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(CountLines(kRestoreLine), 0);
}

// The driver's floor as a day: its hexadecimal digits are YYYYMMDD (the tests' own reading).
SYSTEMTIME FloorDay(DWORD floor) {
    auto number = [floor](int first, int count) {
        WORD n = 0;
        for (int i = first; i < first + count; ++i)
            n = static_cast<WORD>(n * 10 + ((floor >> (28 - 4 * i)) & 0xF));
        return n;
    };
    return Record(number(0, 4), number(4, 2), number(6, 2));
}

// With no record to restore, a clock earlier than the floor (the release's, or a later one in
// "TimewardFloor") is set to it, and a line says so; a clock at the floor is left alone, and a
// record that is restored is not moved by it.
TEST_F(Startup, AClockEarlierThanTheFloorIsSetToIt) {
    const SYSTEMTIME floor = FloorDay(TIMEWARD_FLOOR);
    int64_t ms = 0;
    ASSERT_TRUE(coredll::clock::ToMs(floor, &ms));
    const char* const kFloorLine = "The clock is earlier than the floor ";
    const struct {
        SYSTEMTIME clock;
        DWORD floor_value;  // "TimewardFloor", or none
        bool snapshot;      // a due one, of 2025-06-01
        SYSTEMTIME after;   // the clock after the start
        std::string line;   // how the line that says why begins
        DWORD floor_type = REG_DWORD;
    } rows[] = {
        {Record(2003, 1, 1), 0, false, floor, kFloorLine},
        {coredll::clock::FromMs(ms - 1), 0, false, floor, kFloorLine},
        {floor, 0, false, floor, ""},
        {Record(2003, 1, 1), 0, true, Record(2025, 6, 1), kRestoreLine},
        {Record(2026, 12, 8), 0x20270601, false, Record(2027, 6, 1), kFloorLine + "20270601"s},
        {Record(2003, 1, 1), 0x20000101, false, floor, "TimewardFloor is not a day from"},
        {Record(2026, 12, 8), 0x2027060A, false, Record(2026, 12, 8), "TimewardFloor is not a day"},
        {Record(2003, 1, 1), 0x20270601, false, floor, "TimewardFloor is not a REG_DWORD",
         REG_BINARY},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Show(row.clock));
        coredll::reg::DeleteKey(kKey);
        coredll::reg::CreateKey(kKey);
        coredll::debug::Clear();
        coredll::clock::SetWall(row.clock);
        if (row.snapshot)
            StoreSnapshot(Record(2025, 6, 1));
        if (row.floor_value)  // four bytes, little-endian, of the type the row gives
            coredll::reg::SetValue(
                kKey, "TimewardFloor",
                {row.floor_type,
                 {static_cast<BYTE>(row.floor_value), static_cast<BYTE>(row.floor_value >> 8),
                  static_cast<BYTE>(row.floor_value >> 16),
                  static_cast<BYTE>(row.floor_value >> 24)}});
        ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        EXPECT_TRUE(SameTime(coredll::clock::Now(), row.after)) << Show(coredll::clock::Now());
        int said = 0, floored = 0;
        for (const std::string& line : coredll::debug::Texts()) {
            said += !row.line.empty() && line.rfind(row.line, 0) == 0;
            floored += line.rfind(kFloorLine, 0) == 0;
        }
        EXPECT_EQ(said, row.line.empty() ? 0 : 1);
        EXPECT_EQ(floored, row.snapshot || SameTime(row.after, row.clock) ? 0 : 1);
        EXPECT_TRUE(StopSaver());
    }
}

// A record whose check matches but whose month or day no calendar has: never restored, and
// never an index past the table of the months' days.
TEST_F(Startup, InvalidSnapshotIsNotRestored) {
    for (const SYSTEMTIME& stored :
         {Record(2026, 13, 1), Record(2026, 0, 1), Record(2026, 14, 1), Record(2026, 2, 29)}) {
        SCOPED_TRACE(Show(stored));
        coredll::debug::Clear();
        coredll::clock::SetWall(Record(2003, 1, 1));
        StoreSnapshot(stored);
        EXPECT_EQ(StartClockKeeping(nullptr), 1u);
        EXPECT_EQ(CountLines(kRestoreLine), 0);
        EXPECT_EQ(CountLines("We did not save RTC before\r\n"), 1);
        EXPECT_TRUE(StopSaver());
    }
}

TEST_F(Startup, WithoutAnEventStillRestoresAndStartsNoThread) {
    coredll::threads::FailEventCreation(true);
    coredll::clock::SetWall(Record(2003, 1, 1));
    StoreSnapshot(Record(2026, 1, 1));
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::threads::Started(), 0u);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::clock::SetSystemTimeCalls().size(), 1u);
    SetLastError(0xBEEF);
    RequestSave();  // harmless without a saver, and leaves no error code behind
    EXPECT_EQ(GetLastError(), 0xBEEFu);
    coredll::clock::Advance(3 * SAVE_INTERVAL_MS);
    EXPECT_EQ(CountLines("RTC is saved\r\n"), 0);

    coredll::threads::FailEventCreation(false);
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::threads::Alive(), 1) << "the next start-up tries again";
}

TEST_F(Startup, WithoutAThreadStillRestoresAndLeavesNoEvent) {
    coredll::threads::FailThreadCreation(true);
    coredll::clock::SetWall(Record(2003, 1, 1));
    StoreSnapshot(Record(2026, 1, 1));
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::clock::SetSystemTimeCalls().size(), 1u);
    EXPECT_EQ(coredll::threads::Alive(), 0);
    EXPECT_EQ(coredll::threads::OpenHandles(), 0);
    EXPECT_EQ(g_hSaveEvent, nullptr);
    SetLastError(0xBEEF);
    RequestSave();
    EXPECT_EQ(GetLastError(), 0xBEEFu) << "a request finds no handle to set";
}

TEST_F(Startup, SecondStartWhileTheSaverRunsStartsNoSecondSaver) {
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(coredll::threads::Started(), 1u);
    EXPECT_EQ(coredll::threads::Alive(), 1);
}

}  // namespace
