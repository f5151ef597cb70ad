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
    // A device whose hive file holds the driver's key and, optionally, a flushed snapshot.
    void Boot(bool with_snapshot) {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::reg::CreateKey(kKey);
        if (with_snapshot)
            StoreSnapshot(kOld);
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
            static_cast<int>(coredll::reg::Counters().opens + coredll::reg::Counters().sets +
                             coredll::reg::Counters().closes + 1);
        ASSERT_EQ(calls, 30) << "10 opens, 9 sets, 1 flush, 10 closes";
        const int flush_call = 29;  // the flush, before its key's close
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
    ASSERT_EQ(calls, 30) << "the switch, the signature and eight fields: open, query, close each";
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
// the hive holds the fields written so far from the new snapshot and the rest from the old.
TEST_F(PowerCut, AForeignFlushMidSnapshotLeavesAMixOfTwoSnapshots) {
    WORD SYSTEMTIME::*const fields[] = {&SYSTEMTIME::wYear,      &SYSTEMTIME::wMonth,
                                        &SYSTEMTIME::wDayOfWeek, &SYSTEMTIME::wDay,
                                        &SYSTEMTIME::wHour,      &SYSTEMTIME::wMinute,
                                        &SYSTEMTIME::wSecond,    &SYSTEMTIME::wMilliseconds};
    for (int written = 1; written < 8; ++written) {
        Boot(true);
        coredll::clock::SetWall(kNew);
        // Each value's write is open, set, close: the close of the last field written is call
        // 3 * written.
        CutAfterCall(3 * written, [] { coredll::reg::Flush(); });
        SaveCurrentTime();
        SYSTEMTIME mix = kOld;
        for (int f = 0; f < written; ++f)
            mix.*fields[f] = coredll::clock::Now().*fields[f];
        std::optional<SYSTEMTIME> restored = Reboot();
        ASSERT_TRUE(restored) << written;
        EXPECT_TRUE(SameTime(*restored, mix)) << written << ": " << Show(*restored);
    }
    // After the hour: 10:59:59.900, an hour later than either snapshot.
    Boot(true);
    coredll::clock::SetWall(kNew);
    CutAfterCall(15, [] { coredll::reg::Flush(); });
    SaveCurrentTime();
    std::optional<SYSTEMTIME> restored = Reboot();
    ASSERT_TRUE(restored);
    EXPECT_TRUE(SameTime(*restored, Record(2026, 12, 8, 10, 59, 59, 900))) << Show(*restored);
}

}  // namespace
