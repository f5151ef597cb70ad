// timeward-sim: a simulated Windows CE device that runs the Timeward driver.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "calendar.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "device.h"
#include "runner.h"
#include "scenario.h"
#include "timeward_scenarios.h"

namespace {

const char kUsage[] = R"(usage: timeward-sim [OPTIONS] COMMAND

Commands:
  demo                 play the bundled demonstration on a new device, with a verdict
  play FILE            play a scenario file
  status               show the device: clock, stored snapshot, switch
  STEP...              play steps given here, as in a scenario file:
                         boot, run DURATION, suspend, resume, event, shutdown,
                         power-cut, pull-battery [DATE], off DURATION, clock DATE,
                         switch on|off, status, expect ...

Options:
  --device DIR         the device directory (default: $TIMEWARD_DEVICE, else
                       ~/.local/state/timeward-sim/device)
  --fresh              start the device anew: a hive from the driver's configuration
  --date DATE          the clock of a new device (default: now, UTC)
  --scale N            simulated seconds per real second (default 300)
  --realtime           the same as --scale 1
  --instant            no real waiting at all
  --modules DIR        where libTimeward.so is (default: the build's)

Durations: 250ms, 90s, 5m, 2h, 1d, 1h30m. Dates: 2026-12-08, 2026-12-08T09:30:15.
Exit status: 0 all went as expected, 1 an expectation failed, 2 bad input (nothing changed),
3 the device failed.
)";

// Simulated seconds per real second, as --scale allows.
constexpr double kLeastScale = 0.01;
constexpr double kGreatestScale = 1e7;

int BadInput(const std::string& message) {
    std::fprintf(stderr, "timeward-sim: %s\n", message.c_str());
    return tws::kBadInput;
}

std::filesystem::path DefaultDevice() {
    if (const char* dir = std::getenv("TIMEWARD_DEVICE"); dir && *dir)
        return dir;
    if (const char* home = std::getenv("HOME"); home && *home) {
        return std::filesystem::path(home) / ".local/state/timeward-sim/device";
    }
    return "timeward-device";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::filesystem::path> device_dir;
    bool fresh = false;
    SYSTEMTIME start = tws::NowUtc();
    tws::Options options;
    options.module_dir = TIMEWARD_MODULE_DIR;
    if (const char* dir = std::getenv("TIMEWARD_MODULE_DIR"); dir && *dir)
        options.module_dir = dir;

    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--device") {
            if (!value(&v) || v.empty())
                return BadInput("--device: expected a directory");
            device_dir = v;
        } else if (a == "--fresh") {
            fresh = true;
        } else if (a == "--date") {
            if (!value(&v) || !tws::ParseDate(v, &start)) {
                return BadInput("--date: expected a date like 2026-12-08 or 2026-12-08T09:30");
            }
        } else if (a == "--scale") {
            char* end = nullptr;
            double scale = value(&v) ? std::strtod(v.c_str(), &end) : 0;
            if (!end || *end || !(scale >= kLeastScale && scale <= kGreatestScale)) {
                return BadInput(
                    "--scale: expected a number of simulated seconds per second, 0.01 to 10000000");
            }
            options.scale = scale;
        } else if (a == "--realtime") {
            options.scale = 1;
        } else if (a == "--instant") {
            options.instant = true;
        } else if (a == "--modules") {
            if (!value(&v))
                return BadInput("--modules: expected a directory");
            options.module_dir = v;
        } else {
            return BadInput("argument " + std::to_string(i + 1) + ": unknown option '" + a +
                            "' (see --help)");
        }
    }
    if (i >= args.size()) {
        std::fputs(kUsage, stderr);
        return tws::kBadInput;
    }
    options.progress = !options.instant && isatty(STDOUT_FILENO);

    const std::string command = args[i];
    std::vector<tws::Step> steps;
    std::string error;
    bool demo = command == "demo";
    if (demo) {
        if (i + 1 != args.size())
            return BadInput("demo: expected nothing after it");
        if (!tws::ParseScenario(kDemoScenario, "demo.tws", &steps, &error))
            return BadInput(error);
    } else if (command == "play") {
        if (i + 2 != args.size())
            return BadInput("play: expected one scenario file");
        std::string text;
        std::error_code ec;
        if (std::filesystem::is_directory(args[i + 1], ec))
            return BadInput(args[i + 1] + ": expected a scenario file, not a directory");
        if (!sim::ReadWholeFile(args[i + 1], &text, &error))
            return BadInput(error);
        if (!tws::ParseScenario(text, args[i + 1], &steps, &error))
            return BadInput(error);
        if (steps.empty())
            return BadInput(args[i + 1] + ": expected at least one step, found none");
    } else if (command == "status") {
        if (i + 1 != args.size())
            return BadInput("status: expected nothing after it");
    } else {
        std::vector<std::string> rest(args.begin() + static_cast<long>(i), args.end());
        if (!tws::ParseCommandLine(rest, i, &steps, &error)) {
            return BadInput(error + " (see --help)");
        }
    }

    // The demo gets a device of its own, unless one is named; a named one must be new.
    std::filesystem::path demo_dir;
    if (demo && !device_dir) {
        char tmpl[] = "/tmp/timeward-demo-XXXXXX";
        if (!mkdtemp(tmpl))
            return BadInput("demo: cannot make a device directory in /tmp");
        demo_dir = tmpl;
        device_dir = demo_dir;
    }
    tws::Device device(device_dir.value_or(DefaultDevice()));
    tws::DeviceLock lock;
    if (int rc = lock.Take(device.dir(), &error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }
    if (demo && !fresh && device.Exists()) {
        return BadInput("demo: " + device.dir().string() +
                        " holds a device already; name a new "
                        "directory or add --fresh");
    }
    if (int rc = fresh ? tws::kAllHeld : device.Check(&error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }

    // Everything is checked: from here on the device changes.
    if (fresh && !device.Wipe(&error)) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return tws::kDeviceFailed;
    }
    bool created = false;
    if (!device.Create(start, &created, &error)) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return tws::kDeviceFailed;
    }
    if (created) {
        std::printf(
            "timeward-sim: new device %s, clock at %s, hive from the driver's configuration\n",
            device.dir().c_str(), tws::FormatDate(start).c_str());
    }

    tws::Runner runner(device, options);
    if (command == "status")
        return runner.Status();
    int rc = runner.Play(steps);
    if (command == "play" && rc == tws::kAllHeld) {
        std::printf("timeward-sim: %s played: %zu steps, %d expectations held\n",
                    args[i + 1].c_str(), steps.size(), runner.expectations());
    }
    if (demo) {
        if (rc == tws::kAllHeld && !runner.restores().empty()) {
            const tws::Restore& r = runner.restores().back();
            std::printf(
                "\nverdict: PASS. The battery pull reset the clock to %s; at the next boot "
                "Timeward set it forward to %s, its last snapshot, so the clock did not fall "
                "back. (%d expectations held.)\n",
                tws::FormatDate(r.from).c_str(), tws::FormatDate(r.to, true).c_str(),
                runner.expectations());
        } else {
            std::printf("\nverdict: FAIL. The clock was not kept; see the lines above.\n");
            if (rc == tws::kAllHeld)
                rc = tws::kExpectationFailed;
        }
        if (!demo_dir.empty()) {
            std::error_code ec;
            lock.Remove();
            if (!device.Wipe(&error) || !std::filesystem::remove(demo_dir, ec))
                std::fprintf(stderr, "timeward-sim: cannot remove %s\n", demo_dir.c_str());
        }
    }
    return rc;
}
