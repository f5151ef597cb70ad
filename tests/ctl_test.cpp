// Tests of timewardctl on the simulated device: what status says against what the start-up
// check then does, save against a running saver, and clear.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "saver.h"
#include "scratch_dir.h"
#include "sim_fixture.h"
#include "startup.h"
#include "store_table.h"
#include "timeward_version.h"
#include "support/text.h"

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

std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
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

// The model reads every store of the table as the start-up check then acts on it, and
// timewardctl says what the model says.
TEST_F(Timewardctl, TheModelForeseesTheStartUpCheckForEveryStore) {
    ScratchDir scratch("timeward-ctl");
    const SYSTEMTIME now = Record(2026, 12, 8, 9, 30, 0);
    for (const StoreRow& row : StoreTable()) {
        SCOPED_TRACE(row.name);
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        const std::filesystem::path hive = scratch.path() / "hive.reg";
        std::ofstream(hive) << RowHive(row);
        std::string error;
        ASSERT_TRUE(coredll::reg::LoadHiveFile(hive, &error)) << error;
        coredll::clock::SetWall(now);

        STORE_READER reader;
        RegistryStoreReader(&reader);
        STORE_STATUS s;
        // A probe that cannot create the event finds no driver.
        coredll::threads::FailEventCreation(true);
        ReadStoreStatus(&reader, &now, &s);
        coredll::threads::FailEventCreation(false);
        EXPECT_FALSE(s.fDriverRunning);
        EXPECT_FALSE(s.fDriverKnown);  // no Device Manager keeps a list here
        EXPECT_EQ(s.fKey != FALSE, row.key);
        EXPECT_EQ(s.dwSnapshot, row.snapshot);
        EXPECT_EQ(s.pszBadValue ? support::Utf8(s.pszBadValue) : "",
                  row.bad_value ? row.bad_value : "");
        EXPECT_EQ(s.dwSwitch, row.switch_state);
        EXPECT_EQ(s.dwNextStart, row.next_start);
        EXPECT_EQ(s.dwInterval, row.interval_state);
        EXPECT_EQ(s.dwIntervalSeconds, row.interval_s);
        EXPECT_EQ(s.dwFloorState, row.floor_state);
        if (row.uses != USE_NONE) {
            EXPECT_EQ(s.dwUse, row.uses);
        }
        if (row.generation) {
            EXPECT_EQ(s.dwGeneration, *row.generation);
        }

        Result r = Ctl({u"status"});
        EXPECT_EQ(r.status, row.key ? 0 : 3) << r.err;
        EXPECT_EQ(NextStart(r.out), row.next_text) << r.out;
        if (!row.snapshot_text.empty()) {
            EXPECT_NE(r.out.find("snapshot   " + row.snapshot_text + "\n"), std::string::npos)
                << r.out;
        }
        for (const std::string& line : Lines(r.out))
            EXPECT_LE(line.size(), 80u) << line;

        // What the driver then does.
        EXPECT_EQ(StartClockKeeping(nullptr) == 0, row.next_start == NEXT_REFUSE);
        EXPECT_EQ(!coredll::clock::SetSystemTimeCalls().empty(),
                  row.next_start == NEXT_RESTORE || row.next_start == NEXT_FLOOR);
        EXPECT_EQ(CountLines("We did not save RTC before\r\n"),
                  s.dwSnapshot != SNAPSHOT_TORN && s.dwUse == USE_NONE ? 1 : 0);
        EXPECT_EQ(CountLines("The saved time is torn: a snapshot was cut short, nothing is "
                             "restored\r\n"),
                  row.next_start == NEXT_TORN ? 1 : 0);
        EXPECT_EQ(CountLines("The saved time is torn: a snapshot was cut short, the one before "
                             "it is used\r\n"),
                  row.uses == USE_PREVIOUS ? 1 : 0);
        EXPECT_EQ(CountLines("The clock is earlier than the floor 20270601 (YYYYMMDD): it is set "
                             "to that day\r\n"),
                  row.next_start == NEXT_FLOOR ? 1 : 0);
        StopSaver();
    }
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
    EXPECT_EQ(coredll::reg::Counters().sets, 12u);  // the driver's twelve, none of timewardctl's

    // The driver saves, and is asked again in that very millisecond: the same time, a new
    // generation.
    RequestSave();
    coredll::clock::Settle();
    const SYSTEMTIME last = coredll::clock::Now();
    r = CtlOnDevice({u"save"}, 10, &waited);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "saved: the snapshot is " + Show(last) + " UTC\n");
    EXPECT_EQ(CountLines("RTC is saved\r\n"), 3);
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

// The signature goes, and with it the records this driver and the version before keep beside
// the clock values: nothing else.
TEST_F(Timewardctl, ClearRemovesTheSignatureAndTheRecordsBesideIt) {
    StoreSnapshot(Record(2026, 12, 8, 9, 0, 0));
    coredll::reg::SetValue(kKey, "TimewardRecord", {REG_BINARY, std::vector<BYTE>(12, 1)});
    coredll::reg::SetValue(kKey, "TimewardPrevious", {REG_BINARY, std::vector<BYTE>(24, 2)});
    coredll::reg::SetDword(kKey, "TimewardImplemented", 0);
    coredll::reg::Flush();
    const std::string before = coredll::reg::ExportText(true);

    Result r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cleared: \"TimewardSignature\" removed\n");
    EXPECT_FALSE(coredll::reg::GetValue(kKey, "TimewardSignature", true));  // flushed
    std::string expected = before;
    for (const char* name :
         {"TimewardSignature", "TimewardCheck", "TimewardRecord", "TimewardPrevious"}) {
        size_t at = expected.find(std::string("\"") + name + "\"");
        ASSERT_NE(at, std::string::npos) << name;
        expected.erase(at, expected.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(coredll::reg::ExportText(true), expected);

    r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "cleared: there was no \"TimewardSignature\"\n");

    // The next start restores nothing; with the driver running (and listed as the Device
    // Manager lists it), clear says it will save again.
    coredll::clock::SetWall(Record(2003, 1, 1));
    ASSERT_EQ(StartClockKeeping(nullptr), 1u);
    coredll::reg::SetString("Drivers\\BuiltIn\\Timeward", "Dll", "Timeward.dll");
    coredll::reg::SetString("Drivers\\Active\\01", "Key", "Drivers\\BuiltIn\\Timeward");
    EXPECT_EQ(CountLines("We did not save RTC before\r\n"), 1);
    EXPECT_EQ(CountLines("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n"), 0);
    r = Ctl({u"clear"});
    EXPECT_NE(r.out.find("note: the driver is running"), std::string::npos) << r.out;

    coredll::reg::DeleteKey(kKey);
    r = Ctl({u"clear"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("is missing"), std::string::npos);
}

// check on a device for each OS design: the checks that fail, and the exit status. What it
// says of the snapshot it says after its own request, so that no line gainsays another.
TEST_F(Timewardctl, CheckNamesWhatTheDeviceLacks) {
    const SYSTEMTIME now = Record(2026, 12, 8, 9, 30, 0);
    // What happened before the check: the driver took a snapshot this very second; the store
    // was torn; another kind of object holds "SaveRTCEvent", just after a long power-off; the OS
    // design has no notification component.
    enum Before { kNothing, kSameSecond, kTorn, kNameHeld, kNoNotifications };
    const struct {
        const char* name;
        bool key, started, listed;
        DWORD switch_value, interval;
        Before before;
        const char* said;
        const char* failed;  // the checks, in their order
    } rows[] = {
        {"healthy", true, true, true, 0, 0, kNothing, ": just saved, generation 2\n", ""},
        {"same second", true, true, true, 0, 0, kSameSecond, "arrived: 2026-12-08 09:36:00", ""},
        {"torn", true, true, true, 0, 0, kTorn, "      note: the one before was torn", ""},
        {"power-off, name held", true, true, true, 0, 0, kNameHeld, "old: not due yet\n", "save"},
        {"key missing", false, true, true, 0, 0, kNothing, "", "key snapshot save"},
        {"switch off", true, false, false, 1, 0, kNothing, "", "switch driver snapshot save"},
        {"not loaded, 2 h old", true, false, false, 0, 0, kNothing, "", "driver snapshot save"},
        {"not loaded, 3 h interval", true, false, false, 0, 10800, kNothing, "", "driver save"},
        {"no notifications", true, true, true, 0, 0, kNoNotifications,
         "notify     CeRunAppAtEvent is missing", "notify"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StopSaver();
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::clock::SetWall(now);
        if (row.key) {
            coredll::reg::SetDword(kKey, "TimewardImplemented", row.switch_value);
            if (row.interval)
                coredll::reg::SetDword(kKey, "TimewardInterval", row.interval);
            StoreSnapshot(Record(2026, 12, 8, 7, 30, 0));
        }
        if (row.listed) {  // as the Device Manager lists it, in any case, from any folder
            coredll::reg::SetString("Drivers\\BuiltIn\\Timeward", "Dll", "\\Windows\\TIMEWARD.DLL");
            coredll::reg::SetString("Drivers\\Active\\01", "Key", "Drivers\\BuiltIn\\Timeward");
        }
        if (row.before == kNameHeld)
            coredll::threads::TakeName(u"SaveRTCEvent");
        coredll::notify::LeaveOut(row.before == kNoNotifications);
        if (row.started) {
            ASSERT_EQ(StartClockKeeping(nullptr), 1u);
            if (row.before != kNameHeld)
                coredll::clock::Advance(6 * 60 * 1000);  // a snapshot a minute old
        }
        if (row.before == kSameSecond) {
            RequestSave();
            coredll::clock::Settle();
        }
        if (row.before == kTorn) {  // cut short among the clock values
            std::optional<coredll::RegValue> header =
                coredll::reg::GetValue(kKey, "TimewardRecord");
            ASSERT_TRUE(header);
            header->data[8] = 1;
            coredll::reg::SetValue(kKey, "TimewardRecord", *header);
            coredll::reg::SetDword(kKey, "RTCMinute", 59);
        }
        uint64_t waited = 0;
        Result r = CtlOnDevice({u"check"}, 100, &waited);
        std::string failed;
        for (const std::string& line : Lines(r.out)) {
            EXPECT_LE(line.size(), 80u) << line;
            if (line.rfind("FAIL  ", 0) != 0)
                continue;
            if (!failed.empty())
                failed += ' ';
            failed += line.substr(6, line.find(' ', 6) - 6);
        }
        const bool pass = failed.empty();
        EXPECT_EQ(failed, row.failed) << r.out;
        EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
        EXPECT_EQ(r.status, pass ? 0 : 1) << r.out;
        EXPECT_NE(r.out.find(pass ? "check: all 6 passed\n" : " of 6 failed\n"), std::string::npos)
            << r.out;
        r = CtlOnDevice({u"check", u"--json"}, 100, &waited);
        EXPECT_NE(r.out.find(pass ? "\"pass\": true," : "\"pass\": false,"), std::string::npos)
            << r.out;
    }
}

// One table of exit statuses for every command, each status one meaning, as the usage gives it.
TEST_F(Timewardctl, EachExitStatusHasOneMeaning) {
    const struct {
        const char* name;
        bool key, driver;
        std::vector<std::u16string> args;
        int status;
    } rows[] = {
        {"status", true, false, {u"status"}, 0},
        {"save, the driver running", true, true, {u"save"}, 0},
        {"clear", true, false, {u"clear"}, 0},
        {"help after a command", false, false, {u"save", u"-?"}, 0},
        {"save, no driver", true, false, {u"save", u"-t", u"1"}, 1},
        {"check, no driver", true, false, {u"check"}, 1},
        {"bad arguments", true, true, {u"save", u"-t", u"-1"}, 2},
        {"status, no key", false, false, {u"status"}, 3},
        {"save, no key", false, true, {u"save"}, 3},
        {"clear, no key", false, false, {u"clear"}, 3},
        {"check, no key: a failed check", false, true, {u"check"}, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StopSaver();
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        coredll::clock::SetWall(Record(2026, 12, 8, 9, 30, 0));
        if (row.key)
            StoreSnapshot(Record(2026, 12, 8, 9, 0, 0));
        if (row.driver) {
            ASSERT_EQ(StartClockKeeping(nullptr), 1u);
        }
        uint64_t waited = 0;
        const Result r = CtlOnDevice(row.args, 100, &waited);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
    }
    const Result r = Ctl({u"--help"});
    for (const char* status :
         {"\n  0  done: ", "\n  1  not done: ", "\n  2  bad arguments: ",
          "\n  3  the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward is missing"})
        EXPECT_NE(r.out.find(status), std::string::npos) << status << "\n" << r.out;
}

TEST_F(Timewardctl, UsageAndBadArgumentsTouchNothing) {
    coredll::reg::ResetCounters();
    for (const char16_t* ask : {u"-h", u"--help", u"-?", u"/?"}) {
        Result r = Ctl({ask});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(
                      "usage: timewardctl status [--json] | save [-t SECONDS] | clear | check", 0),
                  0u);
        for (const std::string& line : Lines(r.out))
            EXPECT_LE(line.size(), 80u) << line;
        // After each command, wherever it stands: that command's usage.
        for (const char16_t* command : {u"status", u"save", u"clear", u"check"}) {
            r = Ctl({command, u"--json", ask});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out.rfind("usage: timewardctl " + support::Utf8(command), 0), 0u) << r.out;
            EXPECT_EQ(r.out.find("usage:", 1), std::string::npos) << r.out;
        }
    }
    Result r = Ctl({u"--version"});
    EXPECT_EQ(r.out, "timewardctl " TIMEWARD_VERSION_TEXT "\n");
    // Each bad word is quoted.
    const struct {
        std::vector<std::u16string> args;
        std::string said;
    } bad[] = {{{}, "expected a command"},
               {{u"stat"}, "'stat': unknown command"},
               {{u"check", u"now"}, "'now': check takes nothing but --json"},
               {{u"status", u"now"}, "'now': status takes nothing but --json"},
               {{u"status", u"--json", u"x"}, "'x': status takes nothing but --json"},
               {{u"clear", u"all"}, "'all': clear takes nothing"},
               {{u"save", u"-t"}, "'-t': expected a number of seconds"},
               {{u"save", u"-t", u"0"}, "'0': expected a whole number of seconds from 1 to 3600"},
               {{u"save", u"-t", u"3601"}, "'3601': expected a whole number"},
               {{u"save", u"-t", u"5s"}, "'5s': expected a whole number"},
               {{u"save", u"-t", u"5", u"6"}, "'6': save takes nothing after"},
               {{u"save", u"5"}, "'5': save takes nothing, or -t SECONDS"},
               {{std::u16string(200, u'x')}, "'" + std::string(40, 'x') + "...': unknown command"}};
    for (const auto& b : bad) {
        r = Ctl(b.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(std::string("timewardctl: ") + b.said, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("usage: timewardctl"), std::string::npos);
    }
    EXPECT_EQ(coredll::reg::Counters().opens, 0u);
    EXPECT_FALSE(coredll::threads::EventExists(u"SaveRTCEvent"));
}

}  // namespace
