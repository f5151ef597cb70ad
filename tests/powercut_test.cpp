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

class PowerCut : public SimTest {
  protected:
    // A device whose hive file holds the driver's key and, optionally, a flushed snapshot:
    // `old`, as an older driver wrote it (no check), or as this one does.
    void Boot(bool with_snapshot, const SYSTEMTIME& old = kOld, bool older_driver = true) {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::reg::CreateKey(kKey);
        if (with_snapshot && older_driver)
            StoreSnapshot(old, kSignature, /*with_check=*/false);
        if (with_snapshot && !older_driver) {
            coredll::clock::SetWall(old);
            SaveCurrentTime();
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
        EXPECT_LE(calls.size(), 1u);
        if (calls.empty())
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
        Boot(with_snapshot);
        coredll::clock::SetWall(kNew);
        SaveCurrentTime();
        const int calls =
            static_cast<int>(coredll::reg::Counters().opens + coredll::reg::Counters().queries +
                             coredll::reg::Counters().sets + coredll::reg::Counters().closes + 1);
        ASSERT_EQ(calls, 39) << "13 opens, 11 sets, 1 flush, 13 closes, and a query of the check";
        const int flush_call = 38;  // the flush, before its key's close
        for (int n = 1; n <= calls; ++n) {
            Boot(with_snapshot);
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
        Boot(true);
        coredll::clock::SetWall(kNew);
        coredll::reg::TearNextFlush(tear);
        SaveCurrentTime();
        std::optional<SYSTEMTIME> restored = Reboot();
        ASSERT_TRUE(restored) << "tear " << static_cast<int>(tear);
        EXPECT_TRUE(SameTime(*restored, kOld)) << Show(*restored);
    }
}

TEST_F(PowerCut, AtEveryPointOfStartupTheNextBootRestoresTheSame) {
    Boot(true);
    coredll::threads::FailEventCreation(true);
    coredll::clock::SetWall(Record(2003, 1, 1));
    StartClockKeeping(nullptr);
    const int calls =
        static_cast<int>(coredll::reg::Counters().opens + coredll::reg::Counters().queries +
                         coredll::reg::Counters().closes);
    ASSERT_EQ(calls, 33)
        << "the switch, the signature, eight fields and the check: open, query, close each";
    for (int n = 1; n <= calls; ++n) {
        Boot(true);
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
// which could be an hour ahead of both. The next start restores nothing, and says why.
TEST_F(PowerCut, AForeignFlushMidSnapshotLeavesAMixThatIsNotRestored) {
    for (int written = 1; written < 8; ++written) {
        Boot(true);
        coredll::clock::SetWall(kNew);
        // The check's query and its pending value come first (six calls); then each value's
        // write is open, set, close.
        CutAfterCall(6 + 3 * written, [] { coredll::reg::Flush(); });
        SaveCurrentTime();
        EXPECT_FALSE(Reboot()) << written;
        EXPECT_EQ(CountLines("The saved time is torn: a snapshot was cut short, nothing is "
                             "restored\r\n"),
                  1)
            << written;
    }
}

// The registry writes each value through to storage: a cut after any single value write of a
// snapshot, across each boundary of the calendar and after a set back by an hour, on a store
// of an older driver or of this one. The next start restores the old snapshot, the new one or
// nothing: never a mix of them.
TEST_F(PowerCut, WritingThroughACutAfterAnyValueWriteRestoresOneWholeSnapshotOrNone) {
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
    for (const auto& row : rows) {
        for (bool older_driver : {true, false}) {
            // A pending check, eight fields, the signature and the check; no pending check
            // where the store has one.
            const int writes = older_driver ? 11 : 10;
            for (int n = 1; n <= writes; ++n) {
                Boot(true, row.old_time, older_driver);
                coredll::reg::WriteThrough(true);
                coredll::clock::SetWall(row.new_time);
                auto sets = std::make_shared<int>(0);
                coredll::reg::SetCallHook([sets, n](coredll::RegCall call, std::u16string_view,
                                                    LONG result) {
                    if (call == coredll::RegCall::kSet && result == ERROR_SUCCESS && ++*sets == n)
                        coredll::reg::DetachHiveFile();
                });
                SaveCurrentTime();
                ASSERT_EQ(*sets, writes) << row.name << ": the value writes of a snapshot";
                const std::optional<SYSTEMTIME> restored = Reboot();
                const std::string where = std::string(row.name) + (older_driver ? ", older" : "") +
                                          ", cut after write " + std::to_string(n);
                if (n == writes) {
                    ASSERT_TRUE(restored) << where;
                    EXPECT_TRUE(SameTime(*restored, row.new_time)) << where;
                } else if (restored) {
                    EXPECT_TRUE(SameTime(*restored, row.old_time) ||
                                SameTime(*restored, row.new_time))
                        << where << ": " << Show(*restored);
                }
            }
        }
    }
}

}  // namespace
