// Tests that timeward-sim refuses bad input with exit status 2, a message that says where and
// what was expected, and the device directory exactly as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class SimCli : public ::testing::Test {
  protected:
    void SetUp() override {
        // A device that has run once: a snapshot in its hive.
        ASSERT_EQ(Run("--instant --date 2026-12-08T09:00 boot run 6m shutdown"), 0) << output_;
    }
    // Runs timeward-sim on the device; returns its exit status, output in output_.
    int Run(const std::string& args) {
        fs::path out = dir_ / "out.txt";
        std::string cmd = std::string(TIMEWARD_SIM_EMULATOR) + " '" + TIMEWARD_SIM +
                          "' --device '" + device_.string() + "' " + args + " > '" + out.string() +
                          "' 2>&1";
        int status = std::system(cmd.c_str());
        output_ = ReadFile(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    ExpectRefused("frobnicate", "argument 3: expected a step: boot, run,");
    ExpectRefused("--frob status", "argument 3: unknown option '--frob'");
    ExpectRefused("boot run soon", "argument 5: expected a duration like 90s, 5m, 2h or 1h30m");
    ExpectRefused("boot run 5parsecs", "expected a duration");
    ExpectRefused("run 5m",
                  "argument 3: expected the device on or suspended for 'run', but it is off");
    ExpectRefused("boot boot", "argument 4: expected the device off for 'boot', but it is on");
    ExpectRefused("--date 2026-02-30 boot", "--date: expected a date");
    ExpectRefused("pull-battery 2026-13-01", "expected a date like 2003-01-01");
    ExpectRefused("--scale fast demo", "--scale: expected a number");
    ExpectRefused("play", "play: expected one scenario file");
    ExpectRefused("demo", "holds a device already");
}

TEST_F(SimCli, RefusesBadScenarioFilesNamingTheLine) {
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"boot\nrun 10 minutes\n", "bad.tws:2: expected a duration like 90s"},
        {"boot\n\nexpect line \"open\n", "bad.tws:3: expected a closing '\"'"},
        {"# fine\nboot\nresume\n", "bad.tws:3: expected the device suspended for 'resume'"},
        {"boot\nexpect snapshot yesterday\n", "bad.tws:2: expected a date or 'none'"},
        {"boot\nexpect weather fine\n", "bad.tws:2: expected clock, line, no-line, snapshot"},
        {"boot\nshutdown now\n", "bad.tws:2: expected nothing more after shutdown"},
        {"expect line \"x\"\n", "bad.tws:1: expected the device on or suspended for 'expect line'"},
        {std::string("boot\n\0\n", 7), "bad.tws:2: expected text, not a NUL byte"},
    };
    for (const Case& c : cases) {
        fs::path p = Write("bad.tws", c.text);
        ExpectRefused("play '" + p.string() + "'", c.message);
    }
    ExpectRefused("play '" + (dir_ / "absent.tws").string() + "'", "absent.tws: cannot read");
}

TEST_F(SimCli, RefusesAMalformedHiveOrClockAndLeavesThemAsTheyAre) {
    std::ofstream(device_ / "hive.reg", std::ios::app) << "\"Broken\"=dword:nothex\n";
    const std::string hive = ReadFile(device_ / "hive.reg");
    ExpectRefused("boot run 5m", "hive.reg:");
    ExpectRefused("status", "expected dword: followed by 1 to 8 hex digits");
    EXPECT_EQ(ReadFile(device_ / "hive.reg"), hive);

    std::ofstream(device_ / "hive.reg", std::ios::trunc) << "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
    std::ofstream(device_ / "rtc", std::ios::trunc) << "time someday\nbattery ok\n";
    ExpectRefused("boot", "rtc:1: expected a date like 2026-12-08 09:30:00.000 after time");
}

TEST_F(SimCli, AFailedExpectationExitsWithOneAndSaysWhatWasSeen) {
    fs::path p = Write("wrong.tws", "boot\nexpect snapshot none\n");
    EXPECT_EQ(Run("--instant play '" + p.string() + "'"), 1);
    EXPECT_NE(
        output_.find("wrong.tws:2: expected no snapshot, saw 2026-12-08 09:06:00.000 UTC, valid"),
        std::string::npos)
        << output_;
}

TEST_F(SimCli, CommandLineStepsKeepWordsThatLookLikeSteps) {
    EXPECT_EQ(Run("--instant switch off expect switch off boot expect line "
                  "'Timeward is already implemented' expect line boot 0 shutdown"),
              0)
        << output_;
    EXPECT_EQ(Run("expect switch on"), 1) << output_;
}

TEST_F(SimCli, StatusDecodesTheStoredSnapshot) {
    EXPECT_EQ(Run("status"), 0);
    EXPECT_NE(output_.find("snapshot  2026-12-08 09:06:00.000 UTC, valid"), std::string::npos)
        << output_;
    EXPECT_NE(output_.find("clock     2026-12-08 09:06:00.000 UTC (real-time clock, battery ok)"),
              std::string::npos)
        << output_;
    EXPECT_NE(output_.find("\"TimewardImplemented\" = 0: the driver runs"), std::string::npos);
}

}  // namespace
