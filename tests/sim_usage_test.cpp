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

#include "scratch_dir.h"
#include "store_table.h"

namespace {

namespace fs = std::filesystem;

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
        const std::string cmd = "cd '" + cwd.string() + "' && env " + env + " " +
                                TIMEWARD_SIM_EMULATOR + " '" + TIMEWARD_SIM + "' " + args + " > '" +
                                (dir_ / "out").string() + "' 2> '" + (dir_ / "err").string() + "'";
        const int status = std::system(cmd.c_str());
        out_ = ReadFile(dir_ / "out");
        err_ = ReadFile(dir_ / "err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
                                 "matched exactly and\n  whole (not as a substring)",
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
}

TEST_F(SimUsage, TheTerminalAndThePipe) {
    ASSERT_EQ(On("--instant --date 2026-12-08T09:00 boot shutdown"), 0) << err_;
    // Not a terminal: no bar, even when time is paced.
    ASSERT_EQ(On("--scale 10000000 boot run 1h shutdown"), 0) << err_;
    EXPECT_FALSE(Has(out_, "\r")) << out_;

    // A 40-column terminal: every drawing of the bar fits in 39 columns, every line in 40.
    winsize ws{};
    ws.ws_col = 40;
    ws.ws_row = 24;
    int master = -1;
    const std::string sim = std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM + "' ";
    const std::string cmd = sim + "--scale 10000000 --device '" + device_.string() +
                            "' boot run 1h status shutdown && " + sim + "--help";
    const pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)
        screen.append(buf, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    ASSERT_TRUE(Has(screen, "] 1h of 1h")) << screen;
    size_t bars = 0;
    for (size_t at = screen.find('['); at != std::string::npos; at = screen.find('[', at + 1)) {
        if (at < 2 || screen.compare(at - 2, 2, "  ") != 0)
            continue;  // a line's time stamp, not the bar
        ++bars;
        const size_t end = screen.find_first_of("\r\n", at);
        EXPECT_LE(end - (at - 2), 39u) << screen.substr(at - 2, end - at + 2);
    }
    EXPECT_GT(bars, 0u) << screen;
    // Every line of the run, of its status and of the help fits: what a line ends as.
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        line.erase(0, line.find_last_of('\r') + 1);
        if (line.rfind("\033[K", 0) == 0)
            line.erase(0, 3);
        EXPECT_LE(line.size(), 40u) << line;
    }

    // A reader that went away: the program ends as quietly as any Unix tool does.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        dup2(fds[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        const std::string run = std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM +
                                "' --instant --device '" + device_.string() +
                                "' boot run 1h shutdown 2> '" + (dir_ / "err").string() + "'";
        execl("/bin/sh", "sh", "-c", run.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    waitpid(writer, &status, 0);
    EXPECT_EQ(ReadFile(dir_ / "err"), "");
}

TEST_F(SimUsage, DemoKeepKeepsItsDevice) {
    ASSERT_EQ(Run("demo --keep --instant"), 0) << err_;
    const std::string mark = "The demo's device is kept in ";
    const size_t at = out_.find(mark);
    ASSERT_NE(at, std::string::npos) << out_;
    const size_t from = at + mark.size();
    const fs::path kept = out_.substr(from, out_.find_first_of(" \n", from) - from);
    std::istringstream lines(out_);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;  // within 80 columns, though not a terminal
    EXPECT_TRUE(fs::exists(kept / "hive.reg")) << kept;
    EXPECT_EQ(Run("status --device '" + kept.string() + "'"), 0) << err_;
    fs::remove_all(kept);
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
