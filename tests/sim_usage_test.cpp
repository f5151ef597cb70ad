// Tests of timeward-sim as people use it from a shell: help, options, messages that point at
// the right word, the device's place, status and its answer about the next boot, the terminal
// and the pipe, and the README's tour played as written.
#include <gtest/gtest.h>
#include <pty.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "hang_guard.h"
#include "scratch_dir.h"
#include "store_table.h"

namespace {

namespace fs = std::filesystem;

using timeward_test::ExitStatus;
using timeward_test::GuardedCommand;
using timeward_test::HangGuard;
using timeward_test::ReadFile;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SimUsage : public ::testing::Test {
  protected:
    // Runs `env ENV timeward-sim ARGS` in `cwd` (the scratch directory by default); returns its
    // exit status, with standard output and error in out_ and err_.
    int Run(const std::string& args, const std::string& env = "", fs::path cwd = {}) {
        if (cwd.empty())
            cwd = dir_;
        const std::string cmd =
            "cd '" + cwd.string() + "' && env " + env + " " +
            GuardedCommand(TIMEWARD_SIM_EMULATOR + std::string(" '") + TIMEWARD_SIM + "' " + args) +
            " > '" + (dir_ / "out").string() + "' 2> '" + (dir_ / "err").string() + "'";
        const int status = std::system(cmd.c_str());
        out_ = ReadFile(dir_ / "out");
        err_ = ReadFile(dir_ / "err");
        return ExitStatus(status, "timeward-sim " + args);
    }
    // The same on the test's device.
    int On(const std::string& args) {
        return Run("--device '" + device_.string() + "' " + args);
    }
    void SetHive(const std::string& from, const std::string& to) {
        std::string hive = ReadFile(device_ / "hive.reg");
        const size_t at = hive.find(from);
        ASSERT_NE(at, std::string::npos) << hive;
        hive.replace(at, from.size(), to);
        std::ofstream(device_ / "hive.reg", std::ios::binary | std::ios::trunc) << hive;
    }
    timeward_test::ScratchDir scratch_{"timeward-usage"};
    const fs::path dir_ = scratch_.path();
    const fs::path device_ = dir_ / "device";
    std::string out_, err_;
};

TEST_F(SimUsage, HelpNamesEveryFormAndTheScenarioFormat) {
    for (const char* ask : {"-h", "--help", "help"}) {
        ASSERT_EQ(Run(ask), 0) << ask << err_;
        for (const char* form : {"boot",
                                 "run DURATION",
                                 "suspend, resume",
                                 "event",
                                 "set-clock DATE",
                                 "shutdown",
                                 "power-cut",
                                 "pull-battery [DATE]",
                                 "off DURATION",
                                 "clock DATE",
                                 "switch on|off",
                                 "notifications on|off",
                                 "power-cut after-write N",
                                 "flushing write-through|on-flush",
                                 "interval SECONDS|default",
                                 "expect clock DATE [within DURATION]",
                                 "expect clock snapshot",
                                 "expect line \"TEXT\" [COUNT]",
                                 "expect no-line \"TEXT\"",
                                 "expect snapshot DATE|none",
                                 "expect switch on|off",
                                 "'#' starts a comment",
                                 "\"Quoted text\" is one word",
                                 "matched exactly and whole (not as a substring)",
                                 "expect ctl-exit N",
                                 "A failed expectation stops the run there:",
                                 "while the device is on, with a power cut",
                                 "Exit status:\n  0  all went as expected",
                                 "\"Since the boot\" counts",
                                 "byte-order mark",
                                 "--keep",
                                 "--json"}) {
            EXPECT_TRUE(Has(out_, form)) << ask << " lacks: " << form;
        }
        std::istringstream lines(out_);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 80u) << ask << ": " << line;
        EXPECT_TRUE(Has(out_, "Bundled scenarios (play NAME): clock-set-back, demo,")) << out_;
    }
    ASSERT_EQ(Run("--version"), 0) << err_;
    EXPECT_TRUE(Has(out_, "timeward-sim 1.")) << out_;
    // After every command and step, each way of asking gives its own usage, with the exit
    // statuses; after ctl, timewardctl's.
    const struct {
        const char* words;
        const char* usage;
    } commands[] = {{"demo", "usage: timeward-sim [OPTIONS] demo"},
                    {"play", "usage: timeward-sim [OPTIONS] play FILE|NAME"},
                    {"status", "usage: timeward-sim [OPTIONS] status"},
                    {"help ctl", "usage: timeward-sim [OPTIONS] ctl"},
                    {"boot run 5m", "  run DURATION         time passes"},
                    {"expect", "  expect ctl-exit N"},
                    {"ctl status", "usage: timewardctl status [--json]\n"},
                    {"ctl", "usage: timewardctl status [--json] | save"}};
    for (const auto& c : commands) {
        for (const char* ask : {"--help", "-h", "-?", "/?"}) {
            ASSERT_EQ(Run(std::string(c.words) + " " + ask), 0) << c.words << " " << ask << err_;
            EXPECT_TRUE(Has(out_, c.usage)) << c.words << " " << ask << ":\n" << out_;
            EXPECT_TRUE(Has(out_, "xit status")) << c.words << " " << ask << ":\n" << out_;
            EXPECT_FALSE(Has(out_, "Scenario files:")) << c.words << " " << ask;
        }
    }
}

TEST_F(SimUsage, OptionsComeAnywhereAndMessagesPointAtTheWord) {
    // Options after the steps, as after the arguments of any Unix tool.
    ASSERT_EQ(Run("boot run 6m shutdown --instant --date 2026-12-08T09:00 --device '" +
                  device_.string() + "'"),
              0)
        << err_;
    EXPECT_TRUE(Has(out_, "[2026-12-08 09:05:00.000 UTC] driver   RTC is saved")) << out_;
    // The word at fault, quoted.
    EXPECT_EQ(On("boot frobnicate shutdown"), 2);
    EXPECT_TRUE(Has(err_, "'frobnicate': expected nothing more after boot")) << err_;
    EXPECT_EQ(On("boot run 5m5m"), 2);
    EXPECT_TRUE(Has(err_, "'5m5m': expected a duration")) << err_;
    EXPECT_EQ(On("boot run 30s5m"), 2);
    // A clock of its own: --date would be lost without a word.
    const std::string rtc = ReadFile(device_ / "rtc");
    EXPECT_EQ(On("--date 2030-01-01 boot shutdown"), 2);
    EXPECT_TRUE(Has(err_, "holds a device already")) << err_;
    EXPECT_EQ(ReadFile(device_ / "rtc"), rtc);

    // A scenario as Notepad saves it, with a byte-order mark; one line, in the singular.
    std::ofstream(dir_ / "bom.tws", std::ios::binary)
        << "\xEF\xBB\xBF# saved with a mark\nboot\nexpect line \"RTC is saved\" 1\n";
    EXPECT_EQ(On("--instant play '" + (dir_ / "bom.tws").string() + "'"), 1) << err_;
    EXPECT_TRUE(Has(err_, "bom.tws:3: expected 1 line \"RTC is saved\" since the boot, saw 0"))
        << err_;
}

TEST_F(SimUsage, TheDeviceHasItsPlaceAndAReadMakesNone) {
    // A mistyped path: nothing is made there.
    EXPECT_EQ(Run("status --device '" + (dir_ / "devcie").string() + "'"), 2);
    EXPECT_TRUE(Has(err_, "no device here")) << err_;
    EXPECT_FALSE(fs::exists(dir_ / "devcie"));

    // The state directory the user chose; never the current directory.
    const fs::path cwd = dir_ / "cwd";
    fs::create_directories(cwd);
    const std::string no_home = "-u HOME -u TIMEWARD_DEVICE ";
    ASSERT_EQ(Run("--instant boot shutdown",
                  no_home + "XDG_STATE_HOME='" + (dir_ / "state").string() + "'", cwd),
              0)
        << err_;
    EXPECT_TRUE(fs::exists(dir_ / "state/timeward-sim/device/hive.reg"));
    // Without HOME, the home directory from the password database, as a shell finds it.
    Run("status", no_home + "-u XDG_STATE_HOME", cwd);
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_TRUE(Has(out_ + err_, std::string(pw->pw_dir) + "/.local/state/timeward-sim/device"))
        << out_ << err_;
    EXPECT_TRUE(fs::is_empty(cwd)) << out_ << err_;
}

// Both tools say the same of every store in the table: timeward-sim's status, and
// timewardctl's own code run on the device by ctl; in text and in JSON.
TEST_F(SimUsage, StatusAndCtlStatusSayTheSameOfEveryStore) {
    fs::create_directories(device_);
    std::ofstream(device_ / "rtc") << "time " << timeward_test::kTableClock << " UTC\nbattery ok\n";
    for (const timeward_test::StoreRow& row : timeward_test::StoreTable()) {
        SCOPED_TRACE(row.name);
        std::ofstream(device_ / "hive.reg", std::ios::trunc) << timeward_test::RowHive(row);
        ASSERT_EQ(On("ctl status"), row.key ? 0 : 3) << err_;
        const std::string ctl = out_;
        ASSERT_EQ(On("status"), 0) << err_;
        std::istringstream lines(ctl);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(Has(out_, line + "\n")) << line << "\n" << out_;
        EXPECT_TRUE(Has(out_, "next start " + row.next_text + "\n")) << out_;

        ASSERT_EQ(On("ctl status --json"), row.key ? 0 : 3) << err_;
        const nlohmann::json from_ctl = nlohmann::json::parse(out_);
        ASSERT_EQ(On("status --json"), 0) << err_;
        const nlohmann::json from_sim = nlohmann::json::parse(out_);
        for (const auto& [field, value] : from_ctl.items())
            EXPECT_EQ(from_sim[field], value) << field;
        EXPECT_EQ(from_sim["next_start"]["text"], row.next_text);
        if (row.ahead_s) {
            EXPECT_EQ(from_sim["next_start"]["snapshot_ahead_s"], *row.ahead_s);
        }
    }
    EXPECT_EQ(ReadFile(device_ / "hive.reg"),
              timeward_test::RowHive(timeward_test::StoreTable().back()));
}

// status foretells the boot after a battery pull, changes nothing, and tells a running device.
TEST_F(SimUsage, StatusTellsWhatTheNextBootWillDo) {
    ASSERT_EQ(On("--instant --date 2026-12-08T09:00 boot run 2h shutdown"), 0) << err_;
    ASSERT_EQ(On("pull-battery 2026-12-08T09:00 notifications off flushing write-through "
                 "interval 600"),
              0)
        << err_;
    const std::string hive = ReadFile(device_ / "hive.reg");
    ASSERT_EQ(On("status --json"), 0) << err_;
    const nlohmann::json j = nlohmann::json::parse(out_);
    EXPECT_EQ(j["schema"], 1);
    EXPECT_EQ(j["power"], "off");
    EXPECT_EQ(j["battery"], "lost");
    EXPECT_EQ(j["image"]["notifications"], false);
    EXPECT_EQ(j["image"]["flushing"], "write-through");
    EXPECT_EQ(j["interval"]["seconds"], 600);
    // 25 snapshots of twelve values (but the first, with no record before it to keep), and the
    // shutdown's flush.
    EXPECT_EQ(j["flash"]["value_writes"], 299);
    EXPECT_EQ(j["flash"]["flushes"], 26);
    EXPECT_EQ(j["clock"], "2026-12-08T09:00:00.000Z");  // the clock the boot starts from
    EXPECT_EQ(j["next_start"]["to"], "2026-12-08T11:00:00.000Z");
    EXPECT_EQ(j["next_start"]["snapshot_ahead_s"], 7200);
    EXPECT_EQ(ReadFile(device_ / "hive.reg"), hive);

    // What the driver then does, and status while the device is on.
    ASSERT_EQ(On("--instant boot status shutdown"), 0) << err_;
    EXPECT_TRUE(Has(out_,
                    "the clock was set forward from 2026-12-08 09:00:00 UTC to 2026-12-08 "
                    "11:00:00.000 UTC"))
        << out_;
    EXPECT_TRUE(Has(out_, " (on)\n")) << out_;
    EXPECT_TRUE(Has(out_, "driver     running: the Device Manager lists it in Drivers\\Active\n"))
        << out_;
    EXPECT_TRUE(Has(out_, "flash      0 value writes, 0 flushes since the boot\n")) << out_;
    // A power cut with the driver listed: the next boot's list starts empty, and at rest none.
    ASSERT_EQ(On("--instant boot run 6m power-cut"), 0) << err_;
    ASSERT_EQ(On("status"), 0) << err_;
    EXPECT_TRUE(Has(out_, "driver     not running: not in the Device Manager's Drivers\\Active\n"))
        << out_;

    // Past the wrap of the driver's seconds in 2097, the restore sets the clock back: both say so.
    ASSERT_EQ(On("--instant --fresh --date 2097-02-06T06:00 boot run 10m shutdown clock "
                 "2097-03-01 status boot shutdown"),
              0)
        << err_;
    EXPECT_TRUE(Has(out_,
                    "next start restore to 2097-02-06 06:10:00.000 UTC, 22 d 17 h 50 min back\n"
                    "           the driver's seconds since 1961 wrap after 2097-02-06 "
                    "06:28:15\n"))
        << out_;
    EXPECT_TRUE(Has(out_,
                    "the clock was set back from 2097-03-01 00:00:00 UTC to 2097-02-06 "
                    "06:10:00.000 UTC"))
        << out_;
}

// What a terminal `cols` columns wide shows of the shell command `cmd`: every line as it ends
// (after a bar's redrawings), and its exit status in *status.
std::vector<std::string> Screen(unsigned short cols, const std::string& cmd, int* status,
                                std::string* raw = nullptr) {
    winsize ws{};
    ws.ws_col = cols;
    ws.ws_row = 24;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    ssize_t n;
    {
        HangGuard guard("on a terminal, " + cmd + " to end", [pid] { kill(-pid, SIGKILL); });
        while (pid > 0 && (n = read(master, buf, sizeof buf)) > 0)
            screen.append(buf, static_cast<size_t>(n));
        waitpid(pid, status, 0);
    }
    close(master);
    if (raw)
        *raw = screen;
    std::vector<std::string> lines;
    std::istringstream in(screen);
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        line.erase(0, line.find_last_of('\r') + 1);
        if (line.rfind("\033[K", 0) == 0)
            line.erase(0, 3);
        lines.push_back(line);
    }
    return lines;
}

// Piped, every record is one line, whatever its length, as grep and the like expect.
TEST_F(SimUsage, PipedEveryRecordIsOneLine) {
    ASSERT_EQ(On("--instant --date 2026-12-08T09:00 boot shutdown"), 0) << err_;
    // No bar, even when time is paced.
    ASSERT_EQ(On("--scale 10000000 boot run 1h shutdown"), 0) << err_;
    EXPECT_FALSE(Has(out_, "\r")) << out_;
    ASSERT_EQ(Run("--instant demo"), 0) << err_;
    EXPECT_TRUE(Has(out_,
                    ".000 UTC] driver   SavedTime is bigger than CurrentTime for more than 5 "
                    "minutes\n"))
        << out_;
    EXPECT_TRUE(Has(out_,
                    "\nverdict: PASS. The battery pull reset the clock to 2003-01-01 00:00:00 "
                    "UTC; at the next boot"))
        << out_;
    ASSERT_EQ(On("notifications off status"), 0) << err_;
    EXPECT_TRUE(Has(out_,
                    "image      the notification component is left out (no CeRunAppAtEvent): "
                    "a clock that is set is saved at the next snapshot\n"))
        << out_;
    EXPECT_EQ(Run("play"), 2);
    EXPECT_TRUE(Has(err_,
                    "a bundled name: clock-set-back, demo, downgrade, first-boot, "
                    "long-interval-trips, no-restore-within-margin, power-cut-after-flush"))
        << err_;

    // A reader that went away: the program ends as quietly as any Unix tool does.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        dup2(fds[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        const std::string run =
            GuardedCommand(std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM +
                           "' --instant --device '" + device_.string() + "' boot run 1h shutdown") +
            " 2> '" + (dir_ / "err").string() + "'";
        execl("/bin/sh", "sh", "-c", run.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    int status = 0;
    waitpid(writer, &status, 0);
    ExitStatus(status, "timeward-sim writing to a closed pipe");
    EXPECT_EQ(ReadFile(dir_ / "err"), "");
}

// On a terminal every line fits its width, an event going on under its text; the bar too.
TEST_F(SimUsage, ATerminalGetsLinesOfItsWidth) {
    const std::string sim = std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM + "' ";
    const std::string on = sim + "--device '" + device_.string() + "' ";
    ASSERT_EQ(On("--instant --date 2026-12-08T09:00 boot run 6m shutdown interval 3601 off 20d"), 0)
        << err_;
    // 80 columns: what reaches past them piped, and the messages on standard error.
    int status = 0;
    std::vector<std::string> lines =
        Screen(80,
               sim + "--instant demo; " + on + "ctl check; " + on + "notifications off status; " +
                   sim + "/?; " + sim + "play",
               &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    std::string screen;
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
        screen += line + "\n";
    }
    for (const char* part : {"driver   SavedTime is bigger than CurrentTime for more\n"
                             "                               than 5 minutes\n",
                             "FAIL  snapshot   2026-12-08 09:06:00.000 UTC, 20 d old\n",
                             "timeward-sim: play: expected a scenario file or a bundled name:",
                             "usage: timeward-sim [OPTIONS] COMMAND [OPTIONS]"})
        EXPECT_TRUE(Has(screen, part)) << part << "\n" << screen;

    // 40 columns: every drawing of the bar fits in 39 columns, every line in 40.
    std::string raw;
    lines = Screen(40, on + "--scale 10000000 boot run 1h status shutdown && " + sim + "--help",
                   &status, &raw);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << raw;
    ASSERT_TRUE(Has(raw, "] 1h of 1h")) << raw;
    size_t bars = 0;
    for (size_t at = raw.find('['); at != std::string::npos; at = raw.find('[', at + 1)) {
        if (at < 2 || raw.compare(at - 2, 2, "  ") != 0)
            continue;  // a line's time stamp, not the bar
        ++bars;
        const size_t end = raw.find_first_of("\r\n", at);
        EXPECT_LE(end - (at - 2), 39u) << raw.substr(at - 2, end - at + 2);
    }
    EXPECT_GT(bars, 0u) << raw;
    for (const std::string& line : lines)
        EXPECT_LE(line.size(), 40u) << line;
}

// The demo and a bundled scenario played by name get a device of their own, which --keep keeps.
TEST_F(SimUsage, DemoKeepKeepsItsDevice) {
    for (const char* command : {"demo", "play timewardctl"}) {
        ASSERT_EQ(Run(std::string(command) + " --keep --instant", "TMPDIR='" + dir_.string() + "'"),
                  0)
            << err_;
        const std::string mark = "The device is kept in ";
        const size_t at = out_.find(mark);
        ASSERT_NE(at, std::string::npos) << out_;
        const size_t from = at + mark.size();
        const fs::path kept = out_.substr(from, out_.find_first_of(" \n", from) - from);
        EXPECT_EQ(kept.parent_path(), dir_) << kept;
        EXPECT_TRUE(fs::exists(kept / "hive.reg")) << kept;
        EXPECT_EQ(Run("status --device '" + kept.string() + "'"), 0) << err_;
        fs::remove_all(kept);
    }
}

// The README's tour, each command as written, in order, on a device of the test's own.
TEST_F(SimUsage, TheReadmeTourRunsInOrder) {
    const std::string readme = ReadFile(TIMEWARD_README);
    const size_t tour = readme.find("## A tour of timeward-sim");
    ASSERT_NE(tour, std::string::npos);
    const size_t block = readme.find("```sh\n", tour);
    const size_t block_end = readme.find("```\n", block + 6);
    std::istringstream lines(readme.substr(block, block_end - block));
    std::vector<std::string> commands;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("$sim ", 0) != 0)
            continue;
        std::string command = line.substr(5, line.find('#') - 5);
        command.erase(command.find_last_not_of(' ') + 1);
        if (size_t dev = command.find("/tmp/dev"); dev != std::string::npos)
            command.replace(dev, 8, (dir_ / "other").string());
        commands.push_back(command);
    }
    ASSERT_GE(commands.size(), 8u);
    size_t checked = 0;
    const std::string env = "TIMEWARD_DEVICE='" + device_.string() + "'";
    for (const std::string& command : commands) {
        ASSERT_EQ(Run(command + " --instant", env, TIMEWARD_SOURCE_DIR), 0) << command << "\n"
                                                                            << out_ << err_;
        if (command == "boot event shutdown") {
            ++checked;
            EXPECT_FALSE(Has(out_, "Timeward is already implemented")) << out_;
            EXPECT_TRUE(Has(out_, "another process sets \"SaveRTCEvent\"\n")) << out_;
            EXPECT_TRUE(Has(out_, "RTC is saved")) << out_;
        }
        if (command.rfind("pull-battery", 0) == 0) {
            ++checked;
            EXPECT_TRUE(Has(out_, "the clock was set forward")) << out_;
        }
    }
    EXPECT_EQ(checked, 2u) << "the tour lacks a command this test checks";
}

}  // namespace
