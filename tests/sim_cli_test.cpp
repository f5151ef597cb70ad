// Tests that timeward-sim refuses bad input with exit status 2, a message that says where and
// what was expected, and the device directory exactly as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "hang_guard.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

using timeward_test::ReadFile;
using namespace timeward_test;

class SimCli : public ::testing::Test {
  protected:
    void SetUp() override {
        // A device that has run once: a snapshot in its hive.
        ASSERT_EQ(Run("--instant --date 2026-12-08T09:00 boot run 6m shutdown"), 0) << output_;
    }
    // Runs timeward-sim on the device; returns its exit status, output in output_.
    int Run(const std::string& args) {
        fs::path out = dir_ / "out.txt";
        std::string cmd = GuardedCommand(std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM +
                                         "' --device '" + device_.string() + "' " + args) +
                          " > '" + out.string() + "' 2>&1";
        int status = std::system(cmd.c_str());
        output_ = ReadFile(out);
        return ExitStatus(status, "timeward-sim " + args);
    }
    fs::path Write(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::directory_iterator(device_)) {
            files[e.path().filename().string()] = ReadFile(e.path());
        }
        return files;
    }
    // Expects exit status 2, `message` in the output, and the device as it was.
    void ExpectRefused(const std::string& args, const std::string& message) {
        const auto before = Snapshot();
        EXPECT_EQ(Run(args), 2) << args << "\n" << output_;
        EXPECT_NE(output_.find(message), std::string::npos) << args << "\n" << output_;
        EXPECT_EQ(Snapshot(), before) << args;
    }
    timeward_test::ScratchDir scratch_{"timeward-cli"};
    const fs::path dir_ = scratch_.path();
    const fs::path device_ = dir_ / "device";
    std::string output_;
};

TEST_F(SimCli, RefusesBadCommandLines) {
    ExpectRefused("frobnicate", "'frobnicate': expected a step: boot, run,");
    ExpectRefused("--frob status", "'--frob': unknown option");
    ExpectRefused("boot run soon", "'soon': expected a duration like 90s, 5m, 2h or 1h30m");
    ExpectRefused("boot run 5parsecs", "expected a duration");
    ExpectRefused("boot run -5m", "'-5m': a duration cannot be negative");
    // A negative number is a number, named where one is expected; the words before the state.
    ExpectRefused("interval -1", "'-1': an interval cannot be negative");
    ExpectRefused("--scale -5 boot", "--scale '-5': expected a number");
    ExpectRefused("boot expect line x -1", "'-1': a count cannot be negative");
    ExpectRefused("power-cut after-write 0", "'0': expected a count of value writes from 1");
    ExpectRefused("boot ctl stauts", "'stauts': timewardctl: unknown command");
    ExpectRefused("boot expect ctl-exit 0", "expected a ctl step right before 'expect ctl-exit'");
    ExpectRefused("\"$(printf '\\377')\"", "argument 3: expected UTF-8 text, but the byte 0xFF");
    ExpectRefused("run 5m",
                  "'run 5m': expected the device on or suspended for 'run', but it is off");
    ExpectRefused("boot boot", "'boot': expected the device off for 'boot', but it is on");
    ExpectRefused("--date 2026-02-30 boot",
                  "--date '2026-02-30': the day does not exist: February 2026 has 28 days");
    ExpectRefused("pull-battery 2026-13-01", "'2026-13-01': there is no month 13");
    ExpectRefused("--scale fast demo", "--scale 'fast': expected a number");
    ExpectRefused("play", "play: expected a scenario file or a bundled name: clock-set-back, ");
    ExpectRefused("play nosuch", "'nosuch': no such file, nor a bundled scenario: clock-set-back");
    ExpectRefused("boot runn 5m",
                  "'runn': expected nothing more after boot; is 'runn' the step run?");
    ExpectRefused("off 36501d", "'36501d': longer than the longest duration, 36500d");
    ExpectRefused("--instant --realtime boot", "--realtime: cannot go with --instant");
    ExpectRefused("--scale 5 --realtime boot", "--scale: cannot go with --realtime");
    ExpectRefused("ctl save --device x",
                  "'--device': an option of timeward-sim, not of timewardctl; "
                  "put it before ctl");
    ExpectRefused("demo", "holds a device already");
    // status changes no device.
    ExpectRefused("--fresh --date 2027-01-01 status", "--fresh: status changes no device");
    ExpectRefused("--date 2027-01-01 ctl status", "--date: ctl status changes no device");
    ExpectRefused("status extra", "'extra': status takes nothing after it");
    ExpectRefused("status --date", "--date: expected a value after it");
}

// No usage error, help or version, of timeward-sim or of the timewardctl it runs, makes a device;
// nor does ctl on a device that is not there.
TEST_F(SimCli, UsageErrorsLeaveNoDeviceBehind) {
    const fs::path none = dir_ / "none";
    for (const char* args : {"ctl save --json", "ctl", "ctl -h", "ctl --version", "ctl bogus",
                             "ctl save", "ctl clear", "ctl check", "ctl save --fresh",
                             "boot runn 5m", "--instant --realtime boot", "--json boot"}) {
        const int rc = Run("--device '" + none.string() + "' " + args);  // the later --device
        EXPECT_EQ(rc, std::string(args).find("-h") != std::string::npos ||
                              std::string(args).find("--version") != std::string::npos
                          ? 0
                          : 2)
            << args << "\n"
            << output_;
        EXPECT_FALSE(fs::exists(none)) << args << "\n" << output_;
    }
}

TEST_F(SimCli, RefusesBadScenarioFilesNamingTheLine) {
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"boot\nrun 10 minutes\n", "bad.tws:2: '10': expected a duration like 90s"},
        {"boot\n\nexpect line \"open\n", "bad.tws:3: expected a closing '\"'"},
        {"# fine\nboot\nresume\n", "bad.tws:3: expected the device suspended for 'resume'"},
        {"boot\nexpect snapshot yesterday\n", "bad.tws:2: 'yesterday': expected a date or 'none'"},
        {"boot\nexpect weather fine\n", "bad.tws:2: 'weather': expected clock, line, no-line"},
        {"boot\nshutdown now\n", "bad.tws:2: 'now': expected nothing more after shutdown"},
        {"boot\nnotifications off\n", "bad.tws:2: expected the device off for 'notifications'"},
        {"interval soon\n", "bad.tws:1: 'soon': expected seconds or 'default' after interval"},
        {"interval -60\n", "bad.tws:1: '-60': an interval cannot be negative"},
        {"boot\npower-cut after-write 0\n", "bad.tws:2: '0': expected a count of value writes"},
        {"boot\nexpect line \"RTC\\q\"\n",
         "bad.tws:2: expected \\\" or \\\\ after a backslash in "
         "quoted text, not '\\q'"},
        {"boot\nexpect line \"caf\xE9\"\n",
         "bad.tws:2: expected UTF-8 text, but the byte 0xE9 at "
         "column 17"},
        {"boot\nctl status --jsno\n", "bad.tws:2: '--jsno': timewardctl: status takes nothing"},
        {"boot\nctl status\nrun 1m\nexpect ctl-exit 0\n", "bad.tws:4: expected a ctl step right"},
        {"boot\nctl status\nexpect ctl-exit 4\n", "bad.tws:3: '4': expected an exit status from"},
        {"expect line \"x\"\n", "bad.tws:1: expected the device on or suspended for 'expect line'"},
        {std::string("boot\n\0\n", 7), "bad.tws:2: expected text, not a NUL byte"},
        {std::string("\xFF\xFE"
                     "b\0o\0o\0t\0",
                     10),
         "bad.tws:1: expected UTF-8 text, but this is UTF-16"},
    };
    for (const Case& c : cases) {
        fs::path p = Write("bad.tws", c.text);
        ExpectRefused("play '" + p.string() + "'", c.message);
    }
    ExpectRefused("play '" + (dir_ / "absent.tws").string() + "'", "absent.tws: cannot read");
}

TEST_F(SimCli, RefusesAMalformedHiveOrClockAndLeavesThemAsTheyAre) {
    std::ofstream(device_ / "notifications", std::ios::trunc) << "1\n";
    ExpectRefused("status", "notifications:1: expected the event's number, a space and the");
    fs::remove(device_ / "notifications");
    std::ofstream(device_ / "hive.reg", std::ios::app) << "\"Broken\"=dword:nothex\n";
    const std::string hive = ReadFile(device_ / "hive.reg");
    ExpectRefused("boot run 5m", "hive.reg:");
    ExpectRefused("status", "expected dword: followed by 1 to 8 hex digits");
    EXPECT_EQ(ReadFile(device_ / "hive.reg"), hive);

    std::ofstream(device_ / "hive.reg", std::ios::trunc) << "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
    std::ofstream(device_ / "image", std::ios::trunc) << "# made by hand\nnotifications no\n";
    ExpectRefused("status", "image:2: expected on or off after notifications");
    std::ofstream(device_ / "rtc", std::ios::trunc) << "time someday\nbattery ok\n";
    ExpectRefused("boot", "rtc:1: expected a date like 2026-12-08 09:30:00.000 after time");
}

// The notification subsystem's store is the device's: a registration left by a run that never
// stopped is there at the next boot, where the driver drops it before it registers again, and
// it goes with the battery.
TEST_F(SimCli, TheNotificationStoreOutlivesAWarmRestartAndGoesWithTheBattery) {
    const std::string registered =
        "registered: 1 \\\\.\\Notifications\\NamedEvents\\TimewardTimeChanged";
    const std::string none = "the notification store holds no registration";
    ASSERT_EQ(Run("status"), 0) << output_;
    EXPECT_NE(output_.find(none), std::string::npos) << "an orderly shutdown removes it";
    for (int boot = 0; boot < 2; ++boot) {
        ASSERT_EQ(Run("--instant boot run 1m power-cut"), 0) << output_;
        ASSERT_EQ(Run("status"), 0) << output_;
        const size_t at = output_.find(registered);
        EXPECT_NE(at, std::string::npos) << output_;
        EXPECT_EQ(output_.find(registered, at + 1), std::string::npos) << "once: " << output_;
    }
    ASSERT_EQ(Run("pull-battery status"), 0) << output_;
    EXPECT_NE(output_.find(none), std::string::npos) << output_;
}

TEST_F(SimCli, AFailedExpectationExitsWithOneAndSaysWhatWasSeen) {
    fs::path p = Write("wrong.tws", "boot\nexpect snapshot none\n");
    EXPECT_EQ(Run("--instant play '" + p.string() + "'"), 1);
    EXPECT_NE(
        output_.find("wrong.tws:2: expected no snapshot, saw 2026-12-08 09:06:00.000 UTC: valid"),
        std::string::npos)
        << output_;
}

TEST_F(SimCli, CommandLineStepsKeepWordsThatLookLikeSteps) {
    EXPECT_EQ(Run("--instant switch off notifications off expect switch off boot expect line "
                  "'Timeward is already implemented' expect line boot 0 shutdown"),
              0)
        << output_;
    EXPECT_EQ(Run("expect switch on"), 1) << output_;
}

// --- A device that fails, a device in use, a run that is stopped ----------------------------

// Each exit status has one meaning, whatever the command, timewardctl's passed on by ctl: the
// table of the usage and the man page, walked on a device made for each group of runs.
TEST_F(SimCli, EachExitStatusHasOneMeaning) {
    const std::string file = "--device '" + Write("not-a-device", "").string() + "' ";
    const struct {
        const char* name;
        void (*prepare)(const fs::path& device);
        std::vector<std::tuple<std::string, int, std::string>> runs;  // args, status, said
    } groups[] = {
        {"as it is",
         [](const fs::path&) {},
         {{"status", 0, ""},
          {"expect switch off", 1, "expected the switch off"},
          {"ctl save -t 1", 1, "no driver answered"},
          {"boot run soon", 2, "'soon'"},
          {"ctl status --jsno", 2, "'--jsno'"}}},
        {"a file for a device",
         [](const fs::path&) {},
         {{file + "boot", 2, "a file, not a device directory"},
          {file + "status", 2, "a file, not a device directory"},
          {file + "ctl check", 2, "a file, not a device directory"}}},
        {"unreadable",
         [](const fs::path& d) {
             fs::remove(d / "hive.reg");
             fs::create_directory(d / "hive.reg");
         },
         {{"status", 4, "hive.reg: cannot read"},
          {"ctl status", 4, "hive.reg: cannot read"},
          {"boot", 4, "hive.reg: cannot read"}}},
        {"read-only: no lock can be made",
         [](const fs::path& d) {
             fs::remove(d / "lock");
             fs::create_directory(d / "lock");
         },
         {{"ctl check", 1, "FAIL  save"},
          {"ctl status", 0, "next start"},
          {"status", 0, "next start"},
          {"switch off", 4, "lock"}}},
        {"missing key",
         [](const fs::path& d) {
             std::ofstream(d / "hive.reg", std::ios::trunc) << "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
         },
         {{"ctl status", 3, ": missing"},
          {"ctl save", 3, "is missing"},
          {"ctl clear", 3, "is missing"},
          {"ctl check", 1, "FAIL  key"},
          {"status", 0, ": missing"}}},
    };
    for (const auto& g : groups) {
        SCOPED_TRACE(g.name);
        fs::remove_all(device_);
        ASSERT_EQ(Run("--instant --date 2026-12-08T09:00 boot run 6m shutdown"), 0) << output_;
        g.prepare(device_);
        for (const auto& [args, status, said] : g.runs) {
            const auto before = Snapshot();
            EXPECT_EQ(Run(args), status) << args << "\n" << output_;
            EXPECT_NE(output_.find(said), std::string::npos) << args << "\n" << output_;
            EXPECT_EQ(Snapshot(), before) << args;  // none of them changes the device
        }
    }
}

// A device file that cannot be read or written ends the run with exit status 4 and a message
// naming the file and the system's reason. Where the temporary file of an atomic write is a
// directory, every write of that file fails, whoever runs the test.
TEST_F(SimCli, ADeviceFileThatCannotBeWrittenOrReadFailsTheRun) {
    fs::create_directory(device_ / "hive.reg.tmp");
    EXPECT_EQ(Run("switch off"), 4) << output_;
    EXPECT_NE(output_.find("hive.reg: cannot write: Is a directory"), std::string::npos) << output_;
    EXPECT_EQ(Run("--instant boot run 6m shutdown"), 4) << output_;
    EXPECT_NE(output_.find("hive.reg: cannot write: Is a directory"), std::string::npos) << output_;
    fs::remove(device_ / "hive.reg.tmp");
    fs::create_directory(device_ / "rtc.tmp");
    EXPECT_EQ(Run("--instant boot run 6m shutdown"), 4) << output_;
    EXPECT_NE(output_.find("rtc: cannot write: Is a directory"), std::string::npos) << output_;
    fs::remove(device_ / "rtc.tmp");

    fs::rename(device_ / "hive.reg", dir_ / "hive.reg");
    fs::create_directory(device_ / "hive.reg");
    EXPECT_EQ(Run("--instant boot shutdown"), 4) << output_;
    EXPECT_NE(output_.find("hive.reg: cannot read: Is a directory"), std::string::npos) << output_;

    // A directory that cannot even be looked at: a loop of links.
    fs::create_directory_symlink("loop", dir_ / "loop");
    const std::string loop = "--device '" + (dir_ / "loop" / "device").string() + "' ";
    for (const char* args : {"status", "--instant boot shutdown"}) {
        EXPECT_EQ(Run(loop + args), 4) << args << "\n" << output_;
        EXPECT_NE(output_.find("Too many levels of symbolic links"), std::string::npos) << output_;
    }
}

// Plays timeward-sim in a process group of its own, its output read as it comes.
class Child {
  public:
    explicit Child(const std::string& args) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        const std::string cmd = std::string("exec ") + TIMEWARD_SIM_EMULATOR + " '" + TIMEWARD_SIM +
                                "' " + args + " 2>&1";
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !finished_) {
            kill(-pid_, SIGKILL);
            Finish();
        }
        close(fd_);
    }
    pid_t pid() const {
        return pid_;
    }
    // Reads until `text` has come; false when the output ended first.
    bool WaitFor(const std::string& text) {
        HangGuard guard("timeward-sim to write \"" + text + "\"", [this] { kill(-pid_, SIGKILL); });
        char buf[4096];
        ssize_t n;
        while (output.find(text) == std::string::npos) {
            if ((n = read(fd_, buf, sizeof buf)) <= 0)
                return false;
            output.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads the rest while the program ends, and returns its wait status. A session it left
    // behind is killed, so that a broken program fails the test instead of hanging it.
    int Finish() {
        HangGuard guard("timeward-sim to end", [this] { kill(-pid_, SIGKILL); });
        finished_ = true;
        std::thread drain([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd_, buf, sizeof buf)) > 0)
                output.append(buf, static_cast<size_t>(n));
        });
        int status = 0;
        waitpid(pid_, &status, 0);
        kill(-pid_, SIGKILL);
        drain.join();
        return status;
    }
    std::string output;

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool finished_ = false;
};

TEST_F(SimCli, ASecondRunOnADeviceInUseIsRefusedWithTheHoldersPid) {
    // At 0.01 simulated seconds per second, nothing happens on the device during the test.
    Child holder("--device '" + device_.string() + "' --scale 0.01 boot run 1h shutdown");
    ASSERT_TRUE(holder.WaitFor("run      1h")) << holder.output;
    const std::string in_use =
        "is in use by another run of timeward-sim (pid " + std::to_string(holder.pid()) + ")";
    ExpectRefused("switch off", in_use);
    ExpectRefused("--fresh boot", in_use);
    ExpectRefused("ctl clear", in_use);
    // A read takes no lock, says what it read, and both tools say the same of the driver.
    const std::string unknown =
        "driver     unknown: no Device Manager's list (Drivers\\Active) to read\n";
    EXPECT_EQ(Run("status"), 0) << output_;
    for (const std::string& said : {std::string("is in use by another run (pid "),
                                    std::string(" (in use: the hive as last flushed"), unknown})
        EXPECT_NE(output_.find(said), std::string::npos) << said << "\n" << output_;
    EXPECT_EQ(Run("ctl status"), 0) << output_;
    EXPECT_NE(output_.find(unknown), std::string::npos) << output_;
    EXPECT_EQ(Run("ctl status --json"), 0) << output_;
    EXPECT_NE(output_.find("\"driver_running\": null,"), std::string::npos) << output_;
    kill(holder.pid(), SIGTERM);
    const int status = holder.Finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_NE(holder.output.find("interrupted by SIGTERM: a power cut now"), std::string::npos)
        << holder.output;
    EXPECT_EQ(Run("switch off"), 0) << output_;
}

// Ctrl-C (SIGINT to the process group) during a run is a power cut at the time reached: the
// real-time clock kept running, so the next boot finds the last snapshot within 300 s of it
// and does not move the clock.
TEST_F(SimCli, CtrlCDuringARunIsAPowerCutAtTheTimeReached) {
    Child run("--device '" + device_.string() + "' --scale 100000 boot run 20m run 1000d");
    ASSERT_TRUE(run.WaitFor("run      1000d")) << run.output;
    kill(-run.pid(), SIGINT);
    const int status = run.Finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_NE(run.output.find("interrupted by SIGINT: a power cut now"), std::string::npos)
        << run.output;
    EXPECT_EQ(Run("--instant boot shutdown"), 0) << output_;
    EXPECT_EQ(output_.find("set forward"), std::string::npos) << output_;
}

TEST_F(SimCli, AFailedExpectationSaysWhatItDoesToTheDevice) {
    fs::path p = Write("wrong.tws", "boot\nexpect snapshot none\nshutdown\n");
    EXPECT_EQ(Run("--instant play '" + p.string() + "'"), 1);
    EXPECT_NE(output_.find("the run stops here with a power cut"), std::string::npos) << output_;
    EXPECT_EQ(Run("expect switch off"), 1);
    EXPECT_NE(output_.find("the run stops here; the device stays off"), std::string::npos)
        << output_;
}

TEST_F(SimCli, AModuleThatCannotBeLoadedIsADeviceFailure) {
    EXPECT_EQ(Run("--instant --modules /nonexistent boot shutdown"), 4) << output_;
    EXPECT_NE(output_.find("/nonexistent/libTimeward.so: cannot open shared object file: No such "
                           "file or directory"),
              std::string::npos)
        << output_;
    EXPECT_EQ(Run("--fresh --instant --modules /nonexistent demo"), 4) << output_;
}

TEST_F(SimCli, PlayRefusesADirectoryOrAnEmptyScenarioAndSumsUpASuccess) {
    ExpectRefused("play '" + dir_.string() + "'", "expected a scenario file, not a directory");
    ExpectRefused("play '" + Write("empty.tws", "# nothing\n").string() + "'",
                  "empty.tws': expected at least one step, found none");
    fs::path p = Write("fine.tws", "boot\nexpect snapshot 2026-12-08T09:06\nshutdown\n");
    EXPECT_EQ(Run("--instant play '" + p.string() + "'"), 0) << output_;
    EXPECT_NE(output_.find("fine.tws played: 3 steps, 1 expectations held"), std::string::npos)
        << output_;
}

}  // namespace
