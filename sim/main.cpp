// timeward-sim: a simulated Windows CE device that runs the Timeward driver.
#include <pwd.h>
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

const char kUsage[] = R"(usage: timeward-sim [OPTIONS] COMMAND [OPTIONS]

A simulated Windows CE device that runs the Timeward driver. The device is a directory that
keeps its registry hive (hive.reg), its battery-backed real-time clock (rtc) and what its OS
image leaves out (image) between runs.

Commands:
  demo                 play the bundled demonstration on a new device, with a verdict
  play FILE            play a scenario file
  status [--json]      show the device at rest: its clock, the stored snapshot, the switch, its
                       image and what the next boot will do; --json gives the same as one JSON
                       object
  STEP...              play steps given here, as in a scenario file
  help                 show this text (also -h, --help)

Steps:
  boot                 the Device Manager loads the drivers the hive lists
  run DURATION         time passes with the device on (asleep when suspended)
  suspend, resume      the Power Manager's D4 and D0
  event                another process sets "SaveRTCEvent"
  set-clock DATE       an application or a time client sets the clock while the device runs
  shutdown             orderly: the drivers are deactivated, the registry flushed
  power-cut            power is lost: what the hive did not flush is lost
  pull-battery [DATE]  power is lost and the real-time clock with it; it comes back at DATE
                       (default 2003-01-01)
  off DURATION         the device stays off; the real-time clock keeps time
  clock DATE           the real-time clock is set while the device is off, as at the factory
  switch on|off        "TimewardImplemented" in the image: 0 (on) or 1 (off)
  notifications on|off the image has the notification component (CeRunAppAtEvent), or leaves
                       it out: then a clock that is set is saved at the next snapshot, not at
                       once; it lasts until changed (a new device has it)
  status               show the device where the step comes
  expect clock DATE [within DURATION]
                       the clock (the real-time clock while off) is DATE, to the millisecond
                       unless a tolerance is given
  expect clock snapshot
                       the clock equals the stored snapshot
  expect line "TEXT" [COUNT]
                       the driver wrote the debug line TEXT since the boot: at least once, or
                       exactly COUNT times
  expect no-line "TEXT"
                       the driver did not write TEXT since the boot
  expect snapshot DATE|none
                       the snapshot stored in the hive (as flushed) is DATE, or there is none
  expect switch on|off the switch lets the driver run, or turns it off

Scenario files:
  One step to a line, words separated by spaces; blank lines are skipped; '#' starts a comment
  that runs to the end of the line. "Quoted text" is one word, in which \" is a quote and \\ a
  backslash. A debug line in expect line and expect no-line is quoted, matched exactly and
  whole (not as a substring), without the driver's line end. "Since the boot" counts the lines
  the driver wrote from the last boot step to the expectation. The device is off before the
  first step; each step must fit the device's state (no run while it is off). A session that
  ends with the device on shuts it down in order. A UTF-8 byte-order mark is allowed. On the
  command line, the shell's quotes stand for the file's: the word after expect line is the text.

Options (before or after the command; "--" ends them):
  --device DIR         the device directory (default: $TIMEWARD_DEVICE, else
                       $XDG_STATE_HOME/timeward-sim/device, else
                       ~/.local/state/timeward-sim/device)
  --fresh              start the device anew: a hive from the driver's configuration
  --date DATE          the clock of a new device (default: now); refused on an existing device
  --scale N            simulated seconds per real second (default 300)
  --realtime           the same as --scale 1
  --instant            no real waiting at all
  --modules DIR        where libTimeward.so is (default: the installed or built one)
  --keep               demo: keep the demo's device and say where it is
  --json               status: one JSON object
  --version            show the version and where the driver module is loaded from

Durations: 250ms, 90s, 5m, 2h, 1d, 1h30m (largest unit first, each once). Dates, all UTC:
2026-12-08, 2026-12-08T09:30:15, "2026-12-08 09:30:15.250", optionally ending in Z or " UTC".
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

// The device when none is named: $TIMEWARD_DEVICE, else under the XDG state directory, else
// under the home directory (from the password database when HOME is not set). Never the current
// directory: a device must not appear wherever the program happens to run.
std::optional<std::filesystem::path> DefaultDevice() {
    if (const char* dir = std::getenv("TIMEWARD_DEVICE"); dir && *dir)
        return dir;
    const std::filesystem::path tail = "timeward-sim/device";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::filesystem::path(state) / tail;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw && pw->pw_dir && *pw->pw_dir == '/' ? pw->pw_dir : nullptr;
    }
    if (!home)
        return std::nullopt;
    return std::filesystem::path(home) / ".local/state" / tail;
}

// Where the driver module is: next to an installed program, else where the build put it.
std::filesystem::path DefaultModuleDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path installed = exe.parent_path() / TIMEWARD_INSTALLED_MODULE_DIR;
        if (std::filesystem::exists(installed / "libTimeward.so", ec))
            return installed.lexically_normal();
    }
    return TIMEWARD_MODULE_DIR;
}

// A word of the command line that is not an option, with its place (argv's index).
struct Word {
    std::string text;
    size_t index;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::filesystem::path> device_dir;
    bool fresh = false, keep = false, json = false;
    std::optional<SYSTEMTIME> date;
    tws::Options options;
    options.module_dir = DefaultModuleDir();
    if (const char* dir = std::getenv("TIMEWARD_MODULE_DIR"); dir && *dir)
        options.module_dir = dir;

    // Options come anywhere; the other words, with their places, make the command.
    std::vector<Word> words;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const std::string where = "argument " + std::to_string(i + 1);
        if (options_ended || a.rfind("-", 0) != 0 || a == "-") {
            words.push_back({a, i + 1});
            continue;
        }
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--") {
            options_ended = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("timeward-sim %s\ndriver module: %s/libTimeward.so\n", TIMEWARD_VERSION,
                        options.module_dir.c_str());
            return 0;
        } else if (a == "--device") {
            if (!value(&v) || v.empty())
                return BadInput("--device: expected a directory");
            device_dir = v;
        } else if (a == "--fresh") {
            fresh = true;
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--date") {
            SYSTEMTIME d;
            if (!value(&v) || !tws::ParseDate(v, &d)) {
                return BadInput("--date: expected a date like 2026-12-08 or 2026-12-08T09:30");
            }
            date = d;
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
            return BadInput(where + ": unknown option '" + a + "' (see --help)");
        }
    }
    if (words.empty()) {
        std::fputs(kUsage, stderr);
        return tws::kBadInput;
    }
    if (words[0].text == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    options.progress = !options.instant && isatty(STDOUT_FILENO);

    const std::string command = words[0].text;
    std::vector<tws::Step> steps;
    std::string error;
    const bool demo = command == "demo";
    if (keep && !demo)
        return BadInput("--keep: only for demo, whose device is otherwise removed");
    if (json && command != "status")
        return BadInput("--json: only for status");
    if (demo) {
        if (words.size() != 1)
            return BadInput("demo: expected nothing after it");
        if (!tws::ParseScenario(kDemoScenario, "demo.tws", &steps, &error))
            return BadInput(error);
    } else if (command == "play") {
        if (words.size() != 2)
            return BadInput("play: expected one scenario file");
        std::string text;
        std::error_code ec;
        if (std::filesystem::is_directory(words[1].text, ec))
            return BadInput(words[1].text + ": expected a scenario file, not a directory");
        if (!coredll::ReadWholeFile(words[1].text, &text, &error))
            return BadInput(error);
        if (!tws::ParseScenario(text, words[1].text, &steps, &error))
            return BadInput(error);
        if (steps.empty())
            return BadInput(words[1].text + ": expected at least one step, found none");
    } else if (command == "status") {
        if (words.size() != 1)
            return BadInput("status: expected nothing after it");
    } else {
        std::vector<std::string> rest;
        std::vector<size_t> places;
        for (const Word& w : words) {
            rest.push_back(w.text);
            places.push_back(w.index);
        }
        if (!tws::ParseCommandLine(rest, places, &steps, &error)) {
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
    if (!device_dir)
        device_dir = DefaultDevice();
    if (!device_dir) {
        return BadInput(
            "no device directory: HOME is not set and the user has no home directory; name one "
            "with --device DIR or TIMEWARD_DEVICE");
    }
    tws::Device device(*device_dir);
    // A command that only reads makes no device (the lock below would make its directory).
    if (command == "status" && !fresh && !device.Exists()) {
        return BadInput(device.dir().string() +
                        ": no device here; a device is made by its first run of steps, or by "
                        "--fresh");
    }
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
    if (!fresh && device.Exists() && date) {
        return BadInput("--date: " + device.dir().string() +
                        " holds a device already, with a clock of its own; set it with the step "
                        "'clock DATE', or add --fresh to start anew");
    }
    if (int rc = fresh ? tws::kAllHeld : device.Check(&error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }

    // Everything is checked: from here on the device changes.
    const SYSTEMTIME start = date.value_or(tws::NowUtc());
    if (fresh && !device.Wipe(&error)) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return tws::kDeviceFailed;
    }
    bool created = false;
    if (!device.Create(start, &created, &error)) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return tws::kDeviceFailed;
    }
    if (created && !json) {
        std::printf(
            "timeward-sim: new device %s, clock at %s, hive from the driver's configuration\n",
            device.dir().c_str(), tws::FormatDate(start).c_str());
    }

    tws::Runner runner(device, options);
    if (command == "status")
        return runner.Status(json);
    int rc = runner.Play(steps);
    if (command == "play" && rc == tws::kAllHeld) {
        std::printf("timeward-sim: %s played: %zu steps, %d expectations held\n",
                    words[1].text.c_str(), steps.size(), runner.expectations());
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
        if (keep) {
            std::printf("The demo's device is kept in %s (see: timeward-sim --device %s status)\n",
                        device.dir().c_str(), device.dir().c_str());
        } else if (!demo_dir.empty()) {
            std::error_code ec;
            lock.Remove();
            if (!device.Wipe(&error) || !std::filesystem::remove(demo_dir, ec))
                std::fprintf(stderr, "timeward-sim: cannot remove %s\n", demo_dir.c_str());
        }
    }
    return rc;
}
