// Tests of timewardctl on the simulated device: what status says against what the start-up
// check then does, save against a running saver, and clear.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "saver.h"
#include "sim_fixture.h"
#include "startup.h"

extern "C" int wmain(int argc, WCHAR* argv[]);

namespace {

using namespace timeward_test;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs timewardctl on the calling (driving) thread.
Result Ctl(std::vector<std::u16string> args) {
    args.insert(args.begin(), u"timewardctl");
    std::vector<WCHAR*> argv;
    for (std::u16string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    coredll::console::Capture(true);
    Result r;
    r.status = wmain(static_cast<int>(args.size()), argv.data());
    r.out = coredll::console::Output();
    r.err = coredll::console::Errors();
    coredll::console::Capture(false);
    return r;
}

// Runs timewardctl on a simulated thread, so that its waits take virtual time, and lets
// virtual time pass in steps of `step_ms` until it ends; `waited_ms` is how much passed.
Result CtlOnDevice(std::vector<std::u16string> args, uint64_t step_ms, uint64_t* waited_ms) {
    struct Run {
        std::vector<std::u16string> args;
        std::vector<WCHAR*> argv;
        std::atomic<int> status{-1};
    } run;
    run.args = std::move(args);
    run.args.insert(run.args.begin(), u"timewardctl");
    for (std::u16string& a : run.args)
        run.argv.push_back(a.data());
    run.argv.push_back(nullptr);
    coredll::console::Capture(true);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Run* r = static_cast<Run*>(p);
            r->status = wmain(static_cast<int>(r->args.size()), r->argv.data());
            return 0;
        },
        &run, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    coredll::clock::Settle();
    *waited_ms = 0;
    while (run.status < 0 && *waited_ms < 3600 * 1000) {
        coredll::clock::Advance(step_ms);
        *waited_ms += step_ms;
    }
    CloseHandle(thread);
    Result r;
    r.status = run.status;
    r.out = coredll::console::Output();
    r.err = coredll::console::Errors();
    coredll::console::Capture(false);
    return r;
}

std::string NextStart(const std::string& out) {
    size_t at = out.find("next start ");
    return at == std::string::npos ? "" : out.substr(at + 11, out.find('\n', at) - at - 11);
}

class Timewardctl : public SimTest {
  protected:
    void StopDriver() override {
        StopSaver();
    }
};

// What status says the next start would do is what the start-up check then does.
TEST_F(Timewardctl, StatusForeseesTheStartUpCheck) {
    const SYSTEMTIME now = Record(2026, 12, 8, 9, 30, 0);
    struct Case {
        const char* name;
        int ahead_s;  // the snapshot's distance from the clock; 0: no snapshot
        DWORD switch_value;
        std::string expected;
    } cases[] = {
        {"two hours", 7200, 0, "restore to 2026-12-08 11:30:00.000, 2 h ahead"},
        {"301 s", 301, 0, "restore to 2026-12-08 09:35:01.000, 5 min 1 s ahead"},
        {"a day and more", 90061, 2, "restore to 2026-12-09 10:31:01.000, 1 d 1 h 1 min 1 s ahead"},
        {"300 s", 300, 0, "no restore: within 300 s"},
        {"behind", -60, 0, "no restore: the clock is ahead"},
        {"none", 0, 0, "no restore: no snapshot"},
        {"switch", 7200, 1, "refuses to start: switch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::reg::CreateKey(kKey);
        coredll::reg::SetDword(kKey, "TimewardImplemented", c.switch_value);
        coredll::clock::SetWall(now);
        int64_t ms;
        coredll::clock::ToMs(now, &ms);
        if (c.ahead_s != 0)
            StoreSnapshot(coredll::clock::FromMs(ms + c.ahead_s * 1000LL));

        Result r = Ctl({u"status"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(NextStart(r.out), c.expected) << r.out;

        const DWORD context = StartClockKeeping(nullptr);
        EXPECT_EQ(context == 0, c.expected.rfind("refuses", 0) == 0);
        EXPECT_EQ(!coredll::clock::SetSystemTimeCalls().empty(),
                  c.expected.rfind("restore to", 0) == 0);
        StopSaver();
    }
}

TEST_F(Timewardctl, StatusShowsTheKeyTheSnapshotTheSwitchAndTheClock) {
    coredll::clock::SetWall(Record(2026, 12, 8, 9, 30, 0, 250));
    StoreSnapshot(Record(2026, 12, 8, 11, 30, 0, 0));
    Result r = Ctl({u"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "key        HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward: present\n"
              "snapshot   2026-12-08 11:30:00.000 UTC: valid\n"
              "switch     \"TimewardImplemented\" absent: the driver runs\n"
              "clock      2026-12-08 09:30:00.250 UTC\n"
              "next start restore to 2026-12-08 11:30:00.000, 2 h ahead\n");
    EXPECT_EQ(r.err, "");

    // A string "1" is ignored by the driver; four bytes of binary 1 are not.
    coredll::reg::SetString(kKey, "TimewardImplemented", "1");
    r = Ctl({u"status"});
    EXPECT_NE(r.out.find("switch     \"TimewardImplemented\" is a string (REG_SZ), read as 49; "
                         "make it a DWORD: the driver runs\n"),
              std::string::npos)
        << r.out;
    coredll::reg::SetValue(kKey, "TimewardImplemented", {REG_BINARY, {1, 0, 0, 0}});
    r = Ctl({u"status"});
    EXPECT_NE(r.out.find("is binary (REG_BINARY), read as 1; make it a DWORD: the driver "
                         "refuses to start\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(NextStart(r.out), "refuses to start: switch");

    StoreSnapshot(Record(2026, 12, 8, 11, 30, 0), 0x54575245);
    r = Ctl({u"status"});
    EXPECT_NE(r.out.find("snapshot   none: \"TimewardSignature\" is 0x54575245, not 0x54575244\n"),
              std::string::npos)
        << r.out;

    coredll::reg::DeleteKey(kKey);
    r = Ctl({u"status"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Timeward: missing"), std::string::npos) << r.out;
}

TEST_F(Timewardctl, SaveWaitsForTheDriversSnapshot) {
    StoreSnapshot(Record(2026, 12, 8, 9, 0, 0));
    coredll::reg::SetDword(kKey, "TimewardImplemented", 0);
    coredll::clock::SetWall(Record(2026, 12, 8, 10, 0, 0, 125));
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    coredll::reg::ResetCounters();

    uint64_t waited = 0;
    Result r = CtlOnDevice({u"save"}, 10, &waited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "saved: the snapshot is 2026-12-08 10:00:00.125 UTC\n");
    EXPECT_LT(waited, 1000u);  // at once, not at the saver's next five minutes
    EXPECT_EQ(CountLines("RTC is saved\r\n"), 1);
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCHour", true), 10u);  // flushed
    EXPECT_EQ(coredll::reg::GetDword(kKey, "TimewardImplemented"), 0u);
    EXPECT_EQ(coredll::reg::Counters().sets, 9u);  // the driver's nine, none of timewardctl's
}

TEST_F(Timewardctl, SaveWithNoDriverSaysSoAndFails) {
    StoreSnapshot(Record(2026, 12, 8, 9, 0, 0));
    uint64_t waited = 0;
    Result r = CtlOnDevice({u"save"}, 10, &waited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("timewardctl: no driver answered: nothing holds \"SaveRTCEvent\""),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));

    // Something holds the event, but no saver answers it: the time-out, in virtual time.
    HANDLE held = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
    r = CtlOnDevice({u"save", u"-t", u"2"}, 100, &waited);
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(waited, 2000u);
    EXPECT_LE(waited, 2200u);
    EXPECT_EQ(r.err, "timewardctl: no driver answered within 2 s: the snapshot is unchanged\n");
    CloseHandle(held);
    EXPECT_EQ(coredll::reg::GetDword(kKey, "RTCHour"), 9u);
}

TEST_F(Timewardctl, ClearRemovesTheSignatureAlone) {
    StoreSnapshot(Record(2026, 12, 8, 9, 0, 0));
    coredll::reg::SetDword(kKey, "TimewardImplemented", 0);
    coredll::reg::Flush();
    const std::string before = coredll::reg::ExportText(true);

    Result r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cleared: \"TimewardSignature\" removed\n");
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "TimewardSignature", true));  // flushed
    std::string expected = before;
    size_t at = expected.find("\"TimewardSignature\"");
    ASSERT_NE(at, std::string::npos);
    expected.erase(at, expected.find('\n', at) + 1 - at);
    EXPECT_EQ(coredll::reg::ExportText(true), expected);

    r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cleared: there was no \"TimewardSignature\"\n");

    // The next start restores nothing; with the driver running, clear says it will save again.
    coredll::clock::SetWall(Record(2003, 1, 1));
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    EXPECT_EQ(CountLines("We did not save RTC before\r\n"), 1);
    EXPECT_TRUE(coredll::clock::SetSystemTimeCalls().empty());
    r = Ctl({u"clear"});
    EXPECT_NE(r.out.find("note: the driver is running"), std::string::npos) << r.out;

    coredll::reg::DeleteKey(kKey);
    r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("is missing"), std::string::npos);
}

TEST_F(Timewardctl, UsageAndBadArgumentsTouchNothing) {
    coredll::reg::ResetCounters();
    Result r = Ctl({u"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: timewardctl status | save [-t SECONDS] | clear | -h\n", 0), 0u);
    for (std::vector<std::u16string> bad :
         std::vector<std::vector<std::u16string>>{{},
                                                  {u"stat"},
                                                  {u"status", u"now"},
                                                  {u"clear", u"all"},
                                                  {u"save", u"-t"},
                                                  {u"save", u"-t", u"0"},
                                                  {u"save", u"-t", u"3601"},
                                                  {u"save", u"-t", u"5s"},
                                                  {u"save", u"5"}}) {
        r = Ctl(bad);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: timewardctl"), std::string::npos);
    }
    EXPECT_EQ(coredll::reg::Counters().opens, 0u);
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));
}

}  // namespace
