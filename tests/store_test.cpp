// Tests of the saved-time store: the one-value operations, the snapshot writer and reader.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "store.h"

namespace {

using namespace timeward_test;

const char* const kClockValues[] = {"RTCYear", "RTCMonth",  "RTCDayOfWeek", "RTCDay",
                                    "RTCHour", "RTCMinute", "RTCSecond",    "RTCMilliseconds"};

class Store : public SimTest {
  protected:
    // Every operation opens and closes its own handle; none may stay open.
    void TearDown() override {
        EXPECT_EQ(coredll::reg::Counters().open_handles, 0u);
        SimTest::TearDown();
    }
};

TEST_F(Store, ReadDwordReadsAnyTypeOfFourBytesOrFewer) {
    coredll::reg::SetDword(kKey, "A", 0x12345678);
    coredll::reg::SetValue(kKey, "B", {REG_BINARY, {0x01, 0x02, 0x03, 0x04}});
    coredll::reg::SetValue(kKey, "C", {REG_BINARY, {0xAB}});
    coredll::reg::SetValue(kKey, "Empty", {REG_BINARY, {}});
    DWORD v = 0;
    ASSERT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"Empty", &v));
    EXPECT_EQ(v, 0u) << "no data reads as 0";
    ASSERT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"A", &v));
    EXPECT_EQ(v, 0x12345678u);
    ASSERT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"B", &v));
    EXPECT_EQ(v, 0x04030201u);
    ASSERT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"C", &v));
    EXPECT_EQ(v, 0xABu) << "short data reads zero-extended";
}

TEST_F(Store, ReadDwordFailsAndLeavesTheOutValueOnAbsenceOrLongData) {
    coredll::reg::SetValue(kKey, "Long", {REG_BINARY, {1, 2, 3, 4, 5}});
    DWORD v = 77;
    EXPECT_FALSE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"Long", &v));
    EXPECT_FALSE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"Missing", &v));
    EXPECT_FALSE(RegReadDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", u"A", &v));
    coredll::reg::FailOpens(true);
    EXPECT_FALSE(RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"Long", &v));
    EXPECT_EQ(v, 77u);
}

TEST_F(Store, WriteDwordNeverCreatesTheKey) {
    coredll::reg::DeleteKey(kKey);
    EXPECT_FALSE(RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"RTCYear", 2026));
    EXPECT_FALSE(coredll::reg::KeyExists(kKey));
    coredll::reg::CreateKey(kKey);
    EXPECT_TRUE(RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"RTCYear", 2026));
    std::optional<coredll::RegValue> v = coredll::reg::GetValue(kKey, "RTCYear");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, REG_DWORD);
    EXPECT_EQ(v->data.size(), 4u);
}

TEST_F(Store, EmptyKeyHasNoSnapshot) {
    SYSTEMTIME st = Record(1999, 9, 9);
    EXPECT_FALSE(ReadSnapshot(&st));
    EXPECT_EQ(st.wYear, 1999);
}

TEST_F(Store, SnapshotHoldsTheClockAndReadsBack) {
    coredll::clock::SetWall(Record(2026, 12, 8, 13, 14, 15, 167));
    const SYSTEMTIME clock = coredll::clock::Now();
    SaveCurrentTime();
    const DWORD expected[] = {clock.wYear, clock.wMonth,  clock.wDayOfWeek, clock.wDay,
                              clock.wHour, clock.wMinute, clock.wSecond,    clock.wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        std::optional<coredll::RegValue> v = coredll::reg::GetValue(kKey, kClockValues[i]);
        ASSERT_TRUE(v) << kClockValues[i];
        EXPECT_EQ(v->type, REG_DWORD);
        EXPECT_EQ(coredll::reg::GetDword(kKey, kClockValues[i]), expected[i]) << kClockValues[i];
    }
    EXPECT_EQ(coredll::reg::GetDword(kKey, "TimewardSignature"), kSignature);
    EXPECT_EQ(CountLines("RTC is saved\r\n"), 1);

    SYSTEMTIME read{};
    ASSERT_TRUE(ReadSnapshot(&read));
    EXPECT_TRUE(SameTime(read, clock)) << Show(read);
    EXPECT_EQ(read.wDayOfWeek, clock.wDayOfWeek);
}

// Twelve reads of the store, then twelve value writes and a flush: the record kept, the header,
// the eight clock values, the signature and the header again. The first snapshot on an empty
// key has no record to keep; over the check of the version before, its removal is one more.
// Every key opened is closed.
TEST_F(Store, ASnapshotIsTwelveValueWritesAndOneFlush) {
    const struct {
        bool checked;  // "TimewardCheck" left by the version before
        uint64_t writes;
    } rows[] = {{false, 11}, {false, 12}, {true, 13}, {false, 12}};
    for (const auto& row : rows) {
        if (row.checked)
            coredll::reg::SetDword(kKey, "TimewardCheck", 1);
        coredll::reg::ResetCounters();
        SaveCurrentTime();
        coredll::RegCounters c = coredll::reg::Counters();
        EXPECT_EQ(c.queries, 12u);
        EXPECT_EQ(c.opens, 12 + row.writes + 1);
        EXPECT_EQ(c.sets, row.checked ? row.writes - 1 : row.writes);
        EXPECT_EQ(c.flushes, 1u);
        EXPECT_EQ(c.closes, c.opens);
    }
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "TimewardCheck"));
}

TEST_F(Store, SignatureDifferingInAnyBitIsNoSnapshot) {
    for (int bit = 0; bit < 32; ++bit) {
        StoreSnapshot(Record(2026, 5, 5), kSignature ^ (1u << bit));
        SYSTEMTIME st;
        EXPECT_FALSE(ReadSnapshot(&st)) << "bit " << bit;
    }
    StoreSnapshot(Record(2026, 5, 5));
    SYSTEMTIME st;
    EXPECT_TRUE(ReadSnapshot(&st));
}

TEST_F(Store, ClockValueAbove65535ReadsAsItsLow16Bits) {
    StoreSnapshot(Record(2026, 5, 5, 1, 2, 3), kSignature, /*with_check=*/false);
    coredll::reg::SetDword(kKey, "RTCYear", 0x10000u + 2026);
    coredll::reg::SetDword(kKey, "RTCHour", 0xABCD0000u + 7);
    SYSTEMTIME st{};
    ASSERT_TRUE(ReadSnapshot(&st));
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wHour, 7);
}

TEST_F(Store, MissingClockValueIsNoSnapshot) {
    for (const char* name : kClockValues) {
        StoreSnapshot(Record(2026, 5, 5));
        coredll::reg::SetValue(kKey, name, {REG_BINARY, {1, 2, 3, 4, 5, 6}});  // unreadable
        SYSTEMTIME st;
        EXPECT_FALSE(ReadSnapshot(&st)) << name << " too long to read";
        coredll::reg::DeleteKey(kKey);
        coredll::reg::CreateKey(kKey);
    }
    StoreSnapshot(Record(2026, 5, 5));
    HKEY h;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &h), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(h, u"RTCSecond"), ERROR_SUCCESS);
    RegCloseKey(h);
    SYSTEMTIME st;
    EXPECT_FALSE(ReadSnapshot(&st));
}

TEST_F(Store, FieldOutOfRangeIsNoSnapshot) {
    struct Case {
        const char* name;
        DWORD value;
    } cases[] = {{"RTCMonth", 0},   {"RTCMonth", 13},          {"RTCDay", 0},
                 {"RTCDay", 32},    {"RTCHour", 24},           {"RTCMinute", 60},
                 {"RTCSecond", 60}, {"RTCMilliseconds", 1000}, {"RTCMonth", 0x1000D}};
    for (const Case& c : cases) {
        StoreSnapshot(Record(2026, 1, 31, 23, 59, 59, 999));
        coredll::reg::SetDword(kKey, c.name, c.value);
        SYSTEMTIME st;
        EXPECT_FALSE(ReadSnapshot(&st)) << c.name << "=" << c.value;
    }
    StoreSnapshot(Record(2026, 2, 29));  // 2026 is a common year
    SYSTEMTIME st;
    EXPECT_FALSE(ReadSnapshot(&st));
}

TEST_F(Store, AbsentKeyReadsNothingWritesNothingFlushesNothing) {
    coredll::reg::DeleteKey(kKey);
    SYSTEMTIME st;
    EXPECT_FALSE(ReadSnapshot(&st));
    SaveCurrentTime();
    EXPECT_FALSE(coredll::reg::KeyExists(kKey));
    EXPECT_EQ(coredll::reg::Counters().flushes, 0u);
    EXPECT_EQ(coredll::debug::Texts(), std::vector<std::string>{"RTC is not saved: error 2\r\n"});

    // A write that fails, then a key that goes: the line names the first failure.
    coredll::reg::CreateKey(kKey);
    coredll::reg::FailSetOf("RTCYear");
    coredll::reg::SetCallHook([](coredll::RegCall call, std::u16string_view name, LONG) {
        if (call == coredll::RegCall::kSet && name == u"RTCYear")
            coredll::reg::DeleteKey(kKey);
    });
    SaveCurrentTime();
    coredll::reg::SetCallHook(nullptr);
    EXPECT_EQ(CountLines("RTC is not saved: error 29\r\n"), 1) << "ERROR_WRITE_FAULT, not 2";

    // Every value written, then the key goes before the flush: the line names the flush's open.
    coredll::reg::FailSetOf("");
    coredll::reg::CreateKey(kKey);
    coredll::reg::SetCallHook([](coredll::RegCall call, std::u16string_view name, LONG) {
        if (call == coredll::RegCall::kSet && name == u"TimewardSignature")
            coredll::reg::DeleteKey(kKey);
    });
    coredll::debug::Clear();
    SaveCurrentTime();
    coredll::reg::SetCallHook(nullptr);
    EXPECT_EQ(coredll::debug::Texts(), std::vector<std::string>{"RTC is not saved: error 2\r\n"});
}

TEST_F(Store, SavingNeverWritesTheSwitch) {
    SaveCurrentTime();
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "TimewardImplemented"));
    coredll::reg::SetDword(kKey, "TimewardImplemented", 7);
    SaveCurrentTime();
    EXPECT_EQ(coredll::reg::GetDword(kKey, "TimewardImplemented"), 7u);
}

TEST_F(Store, FailedWriteLeavesThatValueAndTheRestGoOn) {
    StoreSnapshot(Record(2020, 2, 2, 2, 2, 2));
    coredll::clock::SetWall(Record(2026, 6, 6, 6, 6, 6));
    coredll::reg::FailSetOf("RTCHour");
    EXPECT_FALSE(RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"RTCHour", 9));
    EXPECT_TRUE(RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, u"RTCDay", 2));
    SaveCurrentTime();
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCHour"), 2u);
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCYear"), 2026u);
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCMinute"), 6u);
    EXPECT_EQ(coredll::reg::Counters().flushes, 1u);
    EXPECT_EQ(CountLines("RTC is not saved: error 29\r\n"), 1);
    EXPECT_EQ(Snapshots(), 0);
}

TEST_F(Store, PowerCutBeforeTheFlushLosesTheSnapshot) {
    coredll::reg::Flush();  // the key itself is on storage, no snapshot yet
    coredll::reg::FailFlushes(true);
    SaveCurrentTime();
    EXPECT_EQ(coredll::debug::Texts(), std::vector<std::string>{"RTC is not saved: error 29\r\n"});
    SYSTEMTIME st;
    EXPECT_TRUE(ReadSnapshot(&st)) << "the working copy holds it";
    coredll::reg::PowerCut();
    EXPECT_FALSE(ReadSnapshot(&st));
}

TEST_F(Store, PowerCutAfterTheFlushKeepsTheSnapshot) {
    coredll::clock::SetWall(Record(2026, 3, 3, 3, 3, 3));
    SaveCurrentTime();
    coredll::reg::SetDword(kKey, "RTCYear", 1999);  // unflushed, lost below
    coredll::reg::PowerCut();
    SYSTEMTIME st{};
    ASSERT_TRUE(ReadSnapshot(&st));
    EXPECT_TRUE(SameTime(st, Record(2026, 3, 3, 3, 3, 3))) << Show(st);
}

TEST_F(Store, NoHandleStaysOpenWhenOpensFail) {
    coredll::reg::FailOpens(true);
    SaveCurrentTime();
    SYSTEMTIME st;
    EXPECT_FALSE(ReadSnapshot(&st));
    EXPECT_EQ(coredll::reg::Counters().closes, 0u);
    EXPECT_EQ(CountLines("RTC is not saved: error 5\r\n"), 1);
}

}  // namespace
