// timeward-sim's play, demo and steps: the steps read, the device made ready, the steps played,
// and how it went.
#include "play.h"

#include <cstdio>

#include "bundled.h"
#include "calendar.h"
#include "console.h"
#include "date_text.h"
#include "own_device.h"
#include "runner.h"
#include "scenario.h"
#include "support/files.h"
#include "timeward_scenarios.h"

namespace program {
namespace {

// The steps the command plays, from the demo, a file or the command line.
int ReadSteps(const std::vector<std::string>& words, std::vector<tws::Step>* steps) {
    std::string error;
    const std::string& command = words[0];
    if (command == "demo") {
        if (words.size() != 1)
            return BadInput("'" + words[1] + "': demo takes nothing after it");
        if (!tws::ParseScenario(kDemoScenario, "demo.tws", steps, &error))
            return BadInput(error);
        return -1;
    }
    if (command != "play") {
        if (!tws::ParseCommandLine(words, steps, &error))
            return BadInput(error + " (see --help)");
        return -1;
    }
    if (words.size() != 2) {
        return BadInput(words.size() < 2
                            ? "play: expected a scenario file or a bundled name: " + BundledList()
                            : "'" + words[2] + "': play takes one scenario file");
    }
    std::string file = words[1];
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        std::optional<std::filesystem::path> bundled = BundledScenario(file);
        if (!bundled && file.find('/') == std::string::npos)
            return BadInput("'" + file +
                            "': no such file, nor a bundled scenario: " + BundledList());
        if (bundled)
            file = *bundled;
    }
    std::string text;
    if (std::filesystem::is_directory(file, ec))
        return BadInput("'" + file + "': expected a scenario file, not a directory");
    if (!support::ReadWholeFile(file, &text, &error))
        return BadInput(error);
    if (!tws::ParseScenario(text, file, steps, &error))
        return BadInput(error);
    if (steps->empty())
        return BadInput("'" + file + "': expected at least one step, found none");
    return -1;
}

// Says how the demo went.
int DemoVerdict(int rc, const tws::Runner& runner) {
    if (rc == tws::kAllHeld && !runner.restores().empty()) {
        const tws::Restore& r = runner.restores().back();
        std::printf(
            "\n%s\n",
            tws::FitToTerminal(
                "verdict: PASS. The battery pull reset the clock to " + tws::FormatDate(r.from) +
                    "; at the next boot Timeward set it forward to " + tws::FormatDate(r.to, true) +
                    ", its last snapshot, so the clock did not fall "
                    "back. (" +
                    std::to_string(runner.expectations()) + " expectations held.)",
                0)
                .c_str());
        return rc;
    }
    std::printf("\nverdict: FAIL. The clock was not kept; see the lines above.\n");
    return rc == tws::kAllHeld ? tws::kExpectationFailed : rc;
}

// Checks that the device may take the command, and makes a new one where it may; `own`: the
// command wants a new device of its own.
int PrepareDevice(const Args& a, bool own, tws::Device& device, tws::DeviceLock& lock,
                  std::optional<SYSTEMTIME> date) {
    std::string error;
    if (int rc = lock.Take(device.dir(), &error); rc != tws::kAllHeld) {
        tws::Out().Fail(error);
        return rc;
    }
    const std::string dir = device.dir().string();
    if (own && !a.fresh && device.Exists())
        return BadInput(a.words[0] + ": " + dir +
                        " holds a device already; name a new directory or add --fresh");
    if (!a.fresh && device.Exists() && date) {
        return BadInput("--date: " + dir +
                        " holds a device already, with a clock of its own; set it with the step "
                        "'clock DATE', or add --fresh to start anew");
    }
    if (int rc = a.fresh ? tws::kAllHeld : device.Check(&error); rc != tws::kAllHeld) {
        tws::Out().Fail(error);
        return rc;
    }
    // Everything is checked: from here on the device changes.
    const SYSTEMTIME start = date.value_or(tws::NowUtc());
    bool created = false;
    if ((a.fresh && !device.Wipe(&error)) || !device.Create(start, &created, &error)) {
        tws::Out().Fail(error);
        return tws::kDeviceFailed;
    }
    if (created) {
        std::printf("%s\n", tws::FitToTerminal("timeward-sim: new device " + dir + ", clock at " +
                                                   tws::FormatDate(start) +
                                                   ", hive from the driver's configuration",
                                               2)
                                .c_str());
    }
    return -1;
}

}  // namespace

int Play(const Args& a, tws::Device& device, bool own, bool made) {
    const std::string& command = a.words[0];
    std::optional<SYSTEMTIME> date;
    if (a.date) {
        SYSTEMTIME d;
        if (!tws::ParseDate(*a.date, &d))
            return BadInput("--date '" + *a.date + "': " + tws::DateProblem(*a.date));
        date = d;
    }
    std::vector<tws::Step> steps;
    if (int rc = ReadSteps(a.words, &steps); rc >= 0)
        return rc;
    tws::DeviceLock lock;
    if (int rc = PrepareDevice(a, own, device, lock, date); rc >= 0)
        return rc;
    tws::Runner runner(device, a.options);
    int rc = runner.Play(steps);
    if (command == "play" && rc == tws::kAllHeld) {
        std::printf("timeward-sim: %s played: %zu steps, %d expectations held\n",
                    a.words[1].c_str(), steps.size(), runner.expectations());
    }
    if (command == "demo")
        rc = DemoVerdict(rc, runner);
    if (made || (own && a.keep))
        FinishOwnDevice(device, lock, a.keep);
    return rc;
}

}  // namespace program
