// Power cuts at every step of a snapshot and of start-up, and a foreign flush in the middle of
// a snapshot: what the next boot finds in the hive file and restores.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "saver.h"
#include "scratch_dir.h"
#include "sim_fixture.h"
#include "startup.h"
#include "store.h"

namespace {

using namespace timeward_test;
namespace fs = std::filesystem;

const SYSTEMTIME kOld = Record(2026, 12, 8, 9, 59, 59, 900);  // the snapshot on storage
const SYSTEMTIME kNew = Record(2026, 12, 8, 10, 0, 0, 0);     // the clock at the next one

// The stores in the field: none, an older driver's without a check, the version before's with
// "TimewardCheck", this driver's, and this driver's with its clock values rewritten by a driver
// without a check (a downgrade, then this driver again).
enum class Kind { kEmpty, kOlder, kChecked, kThis, kRewritten };
const char* const kKindNames[] = {"empty", "older", "checked", "this", "rewritten"};

class PowerCut : public SimTest {
  protected:
    // A device whose hive file holds the driver's key and, but for kEmpty, `old` as a whole,
    // flushed snapshot of that kind.
    void Boot(Kind kind, const SYSTEMTIME& old = kOld) {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::reg::CreateKey(kKey);
        if (kind == Kind::kOlder || kind == Kind::kChecked)
            StoreSnapshot(old, kSignature, /*with_check=*/kind == Kind::kChecked);
        if (kind == Kind::kThis || kind == Kind::kRewritten) {
            coredll::clock::SetWall(Record(2026, 1, 1));
            SaveCurrentTime();
            coredll::clock::SetWall(old);
            if (kind == Kind::kThis)
                SaveCurrentTime();
            else
                StoreSnapshot(old, kSignature, /*with_check=*/false);
        }
        std::ofstream(hive_, std::ios::trunc) << coredll::reg::ExportText();
        ASSERT_TRUE(coredll::reg::LoadHiveFile(hive_, nullptr));
        coredll::reg::ResetCounters();
    }
    // After a battery pull: what the start-up restores from the hive file, if anything.
    std::optional<SYSTEMTIME> Reboot() {
        coredll::reg::SetCallHook(nullptr);
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        std::string error;
        EXPECT_TRUE(coredll::reg::LoadHiveFile(hive_, &error))
            << "the hive always loads: " << error;
        coredll::threads::FailEventCreation(true);  // no saver: only the restore matters here
        coredll::clock::SetWall(Record(2003, 1, 1));
        EXPECT_EQ(StartClockKeeping(nullptr), 1u);
        std::vector<coredll::clock::SetCall> calls = coredll::clock::SetSystemTimeCalls();
        EXPECT_EQ(calls.size(), 1u) << "a restore, or else the floor";
        if (calls.empty() ||
            CountLines("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n") == 0)
            return std::nullopt;
        return calls[0].requested;
    }
    // Cuts the power right after the registry call numbered `n` (from 1).
    void CutAfterCall(int n, std::function<void()> at_cut = nullptr) {
        auto calls = std::make_shared<int>(0);
        coredll::reg::SetCallHook([calls, n, at_cut](coredll::RegCall, std::u16string_view, LONG) {
            if (++*calls != n)
                return;
            if (at_cut)
                at_cut();
            coredll::reg::DetachHiveFile();  // nothing after this reaches storage
        });
    }
    ScratchDir scratch_{"timeward-cut"};
    const fs::path hive_ = scratch_.path() / "hive.reg";
};

TEST_F(PowerCut, AfterEveryCallOfASnapshotTheNextBootRestoresTheOldOrTheNewOne) {
    for (bool with_snapshot : {true, false}) {
        Boot(with_snapshot ? Kind::kOlder : Kind::kEmpty);
        coredll::clock::SetWall(kNew);
        SaveCurrentTime();
        const int calls =
            static_cast<int>(coredll::reg::Counters().opens + coredll::reg::Counters().queries +
                             coredll::reg::Counters().sets + coredll::reg::Counters().closes + 1);
        ASSERT_EQ(calls, with_snapshot ? 75 : 72)
            << "12 queries of the store, 12 writes (11 with no record to keep), a flush: each "
               "with its open and close";
        const int flush_call = calls - 1;  // the flush, before its key's close
        for (int n = 1; n <= calls; ++n) {
            Boot(with_snapshot ? Kind::kOlder : Kind::kEmpty);
            coredll::clock::SetWall(kNew);
            CutAfterCall(n);
            SaveCurrentTime();
            std::optional<SYSTEMTIME> restored = Reboot();
            if (n >= flush_call) {
                ASSERT_TRUE(restored) << "cut after call " << n;
                EXPECT_TRUE(SameTime(*restored, kNew)) << n << ": " << Show(*restored);
            } else if (with_snapshot) {
                ASSERT_TRUE(restored) << "cut after call " << n;
                EXPECT_TRUE(SameTime(*restored, kOld)) << n << ": " << Show(*restored);
            } else {
                EXPECT_FALSE(restored) << "cut after call " << n;
            }
        }
    }
}

TEST_F(PowerCut, DuringTheFlushFileWriteTheOldHiveStays) {
    using coredll::reg::Tear;
    for (Tear tear : {Tear::kHalfTheData, Tear::kBeforeTheRename}) {
        Boot(Kind::kOlder);
        coredll::clock::SetWall(kNew);
        coredll::reg::TearNextFlush(tear);
        SaveCurrentTime();
        std::optional<SYSTEMTIME> restored = Reboot();
        ASSERT_TRUE(restored) << "tear " << static_cast<int>(tear);
        EXPECT_TRUE(SameTime(*restored, kOld)) << Show(*restored);
    }
}

TEST_F(PowerCut, AtEveryPointOfStartupTheNextBootRestoresTheSame) {
    Boot(Kind::kOlder);
    coredll::threads::FailEventCreation(true);
    coredll::clock::SetWall(Record(2003, 1, 1));
    StartClockKeeping(nullptr);
    const int calls =
        static_cast<int>(coredll::reg::Counters().opens + coredll::reg::Counters().queries +
                         coredll::reg::Counters().closes);
    ASSERT_EQ(calls, 42) << "the switch, the floor, the signature, eight fields, the check and "
                            "the two records: open, query, close each";
    for (int n = 1; n <= calls; ++n) {
        Boot(Kind::kOlder);
        coredll::threads::FailEventCreation(true);
        coredll::clock::SetWall(Record(2003, 1, 1));
        CutAfterCall(n);
        StartClockKeeping(nullptr);
        std::optional<SYSTEMTIME> restored = Reboot();
        ASSERT_TRUE(restored) << "cut after call " << n;
        EXPECT_TRUE(SameTime(*restored, kOld)) << n << ": " << Show(*restored);
    }
}

// Another driver flushes the registry while a snapshot is half written, then power fails:
// the hive holds the fields written so far from the new snapshot and the rest from the old,
// which could be an hour ahead of both. The next start restores the old one, kept whole before
// the fields were written, and says why.
TEST_F(PowerCut, AForeignFlushMidSnapshotLeavesAMixThatIsNotRestored) {
    for (int written = 1; written < 8; ++written) {
        Boot(Kind::kOlder);
        coredll::clock::SetWall(kNew);
        // Twelve reads of the store, the record kept and the new header come first; then each
        // value's write is open, set, close.
        CutAfterCall(42 + 3 * written, [] { coredll::reg::Flush(); });
        SaveCurrentTime();
        const std::optional<SYSTEMTIME> restored = Reboot();
        ASSERT_TRUE(restored) << written;
        EXPECT_TRUE(SameTime(*restored, kOld)) << written << ": " << Show(*restored);
        EXPECT_EQ(CountLines("The saved time is torn: a snapshot was cut short, the one before it "
                             "is used\r\n"),
                  1)
            << written;
    }
}

// The registry writes each value through to storage: a cut after any single value write of a
// snapshot, across each boundary of the calendar and after a set back by an hour, over each
// kind of store. The next start restores the newest whole record: the new snapshot once its
// eight clock values are written, else the one before it; never a mix, and never nothing where
// a whole record was.
// The little-endian DWORD at `at` of a binary value of the driver's key; 0 without it.
DWORD StoredDword(const char* name, size_t at) {
    const std::optional<coredll::RegValue> value = coredll::reg::GetValue(kKey, name);
    DWORD dw = 0;
    for (size_t i = 0; value && i < 4 && at + i < value->data.size(); ++i)
        dw |= static_cast<DWORD>(value->data[at + i]) << (8 * i);
    return dw;
}

TEST_F(PowerCut, WritingThroughACutAfterAnyValueWriteRestoresTheNewestWholeRecord) {
    const struct {
        const char* name;
        SYSTEMTIME old_time, new_time;
    } rows[] = {
        {"minute", Record(2026, 12, 8, 9, 58, 59, 900), Record(2026, 12, 8, 9, 59, 0, 0)},
        {"hour", kOld, kNew},
        {"day", Record(2026, 12, 8, 23, 59, 59, 900), Record(2026, 12, 9, 0, 0, 0, 0)},
        {"month", Record(2026, 11, 30, 23, 59, 59, 900), Record(2026, 12, 1, 0, 0, 0, 0)},
        {"year", Record(2026, 12, 31, 23, 59, 59, 900), Record(2027, 1, 1, 0, 0, 0, 0)},
        {"set back an hour", Record(2026, 12, 8, 10, 0, 0, 0), Record(2026, 12, 8, 9, 0, 0, 0)},
    };
    // The record kept (none with no whole record), the new header, the removal of the old
    // check, the eight clock values, the signature and the header again.
    const int kWrites[] = {11, 12, 13, 12, 12};
    for (const auto& row : rows) {
        for (Kind kind :
             {Kind::kEmpty, Kind::kOlder, Kind::kChecked, Kind::kThis, Kind::kRewritten}) {
            const int writes = kWrites[static_cast<int>(kind)];
            // An empty store has a record once its signature is written too.
            const int whole_from = kind == Kind::kEmpty ? writes - 1 : writes - 2;
            for (int n = 1; n <= writes; ++n) {
                Boot(kind, row.old_time);
                coredll::reg::WriteThrough(true);
                coredll::clock::SetWall(row.new_time);
                auto sets = std::make_shared<int>(0);
                coredll::reg::SetCallHook(
                    [sets, n](coredll::RegCall call, std::u16string_view, LONG result) {
                        const bool write = call == coredll::RegCall::kSet ||
                                           call == coredll::RegCall::kDeleteValue;
                        if (write && result == ERROR_SUCCESS && ++*sets == n)
                            coredll::reg::DetachHiveFile();
                    });
                SaveCurrentTime();
                ASSERT_EQ(*sets, writes) << row.name << ": the value writes of a snapshot";
                const std::optional<SYSTEMTIME> restored = Reboot();
                const std::string where = std::string(row.name) + ", " +
                                          kKindNames[static_cast<int>(kind)] +
                                          ", cut after write " + std::to_string(n);
                if (kind == Kind::kEmpty && n < whole_from) {
                    EXPECT_FALSE(restored) << where << ": " << Show(*restored);
                    continue;
                }
                ASSERT_TRUE(restored) << where;
                // The new record from its last clock value on, or sooner where the values still
                // to come are the old ones; the old one before its first.
                const bool is_new = SameTime(*restored, row.new_time);
                const bool is_old = SameTime(*restored, row.old_time);
                EXPECT_TRUE(n >= whole_from    ? is_new
                            : n <= writes - 10 ? is_old
                                               : is_new || is_old)
                    << where << ": " << Show(*restored);
                // The next snapshot is of the generation after the newest whole one, which it
                // keeps as the one before, torn or not.
                SaveCurrentTime();
                EXPECT_EQ(StoredDword("TimewardRecord", 0), StoredDword("TimewardPrevious", 16) + 1)
                    << where;
            }
        }
    }
}

}  // namespace
