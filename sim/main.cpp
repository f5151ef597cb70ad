// timeward-sim: a simulated Windows CE device that runs the Timeward driver.
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "at_rest.h"
#include "calendar.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "console.h"
#include "device.h"
#include "driver_key.h"
#include "runner.h"
#include "scenario.h"
#include "timeward_scenarios.h"
#include "support/files.h"
#include "verbs.h"

namespace {

// The usage up to the steps; every line within 80 columns.
const char kUsageHead[] = R"(usage: timeward-sim [OPTIONS] COMMAND [OPTIONS]

A simulated Windows CE device that runs the Timeward driver. The device is a
directory that keeps its registry hive (hive.reg), its battery-backed real-time
clock (rtc) and what its OS image leaves out (image) between runs.

Commands:
  demo                 play the bundled demonstration on a new device, with a
                       verdict
  play FILE|NAME       play a scenario file, or a bundled scenario by name (see
                       below)
  status [--json]      show the device at rest and what its next start will do,
                       in the words of timewardctl status; --json: one JSON
                       object. Changes nothing (--fresh and --date are refused)
  ctl status|save|clear|check [ARGS]
                       run timewardctl's own code on the device at rest; ctl's
                       words follow it, so --device comes before it. With the
                       driver running: boot ctl check shutdown
  STEP...              play steps given here, as in a scenario file
  help                 show this text (also -h, --help)

)";

// After the steps, which the table of verbs lists, and before the bundled scenarios.
const char kUsageTail[] = R"(
Scenario files:
  One step to a line, words separated by spaces; blank lines are skipped;
  '#' starts a comment that runs to the end of the line.
  "Quoted text" is one word, in which \" is a quote and \\ a backslash. A
  debug line in expect line and expect no-line is quoted, matched exactly and
  whole (not as a substring), without the driver's line end.
  "Since the boot" counts the lines the driver wrote from the last boot step to
  the expectation. The device is off before the first step; each step must fit
  the device's state (no run while it is off). A session that ends with the
  device on shuts it down in order. UTF-8, with or without a byte-order mark.
  On the command line, the shell's quotes stand for the file's: the word after
  expect line is the text.

Options (before or after the command, but before ctl's words; "--" ends them):
  --device DIR         the device directory (default: $TIMEWARD_DEVICE, else
                       $XDG_STATE_HOME/timeward-sim/device, else
                       ~/.local/state/timeward-sim/device)
  --fresh              start the device anew: a hive from the driver's
                       configuration
  --date DATE          the clock of a new device (default: now); refused on an
                       existing device
  --scale N            simulated seconds per real second (default 300)
  --realtime           the same as --scale 1
  --instant            no real waiting at all (not with --scale or --realtime)
  --modules DIR        where libTimeward.so is (default: the installed or built
                       one)
  --keep               demo: keep the demo's device (made under $TMPDIR,
                       default /tmp)
  --json               status: one JSON object (see the man page for its
                       fields)
  --version            show the version and where the driver module is loaded
                       from

Durations: 250ms, 90s, 5m, 2h, 1d, 1h30m (largest unit first, each once; at
most 36500d). Dates, all UTC: 2026-12-08, 2026-12-08T09:30:15,
"2026-12-08 09:30:15.250", optionally ending in Z or " UTC".
Exit status: 0 all went as expected, 1 an expectation failed, 2 bad input
(nothing changed), 3 the device failed.
)";

// The folders of the bundled scenarios: beside an installed program, else in the source tree.
std::vector<std::filesystem::path> ScenarioDirs() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return {exe.parent_path() / TIMEWARD_INSTALLED_SCENARIO_DIR,
            std::filesystem::path(TIMEWARD_SOURCE_SCENARIO_DIR)};
}

// The names play takes for the bundled scenarios, from the first folder that has any.
std::vector<std::string> BundledNames() {
    for (const std::filesystem::path& dir : ScenarioDirs()) {
        std::error_code ec;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".tws")
                names.push_back(entry.path().stem().string());
        }
        if (!names.empty()) {
            std::sort(names.begin(), names.end());
            return names;
        }
    }
    return {};
}

// "first-boot, switch-off and timewardctl", or a note that there are none.
std::string BundledList() {
    const std::vector<std::string> names = BundledNames();
    if (names.empty())
        return "none found beside the program or in the source tree";
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return out;
}

std::string Usage() {
    std::string bundled = "\nBundled scenarios (play NAME): " + BundledList() + ".";
    // Broken at spaces within 80 columns, as the rest.
    std::string out;
    while (bundled.size() > 80) {
        const size_t cut = bundled.rfind(' ', 80);
        out += bundled.substr(0, cut) + "\n";
        bundled = "  " + bundled.substr(cut + 1);
    }
    return kUsageHead + tws::StepsUsage() + kUsageTail + out + bundled + "\n";
}

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

// The command line, as read.
struct Args {
    std::string device;
    bool fresh = false, keep = false, json = false, help = false, version = false;
    std::optional<std::string> date, scale;
    tws::Options options;
    std::vector<std::string> words;               // the command, or the steps
    std::optional<std::vector<std::string>> ctl;  // timewardctl's words, after ctl
};

// CLI11's message, with the word it is about quoted and the reason said.
std::string Explain(const CLI::ParseError& e) {
    std::string what = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        std::string word = what.substr(what.find(": ") + 2);
        return "'" + word + "': unknown option (see --help)";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && what.find(" missing") != what.npos)
        return what.substr(0, what.find(':')) + ": expected a value after it (see --help)";
    return what + " (see --help)";
}

// Reads the command line into *a; returns -1 to go on, else the exit status.
int ReadCommandLine(int argc, char** argv, Args* a) {
    // No option starts with a digit: a word like -5m is a negative number, which CLI11 would
    // take for an option.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "ctl") == 0)
            break;  // timewardctl's own words follow
        if (argv[i][0] == '-' && argv[i][1] >= '0' && argv[i][1] <= '9') {
            const std::string why = tws::DurationProblem(argv[i]);
            return BadInput(
                "'" + std::string(argv[i]) +
                "': " + (why.rfind("expected", 0) == 0 ? "not an option, nor a step's word" : why));
        }
    }
    CLI::App app{"timeward-sim"};
    const auto last = CLI::MultiOptionPolicy::TakeLast;  // as a later word overrides
    app.set_help_flag();
    app.add_flag("-h,--help", a->help);
    app.add_flag("--version", a->version);
    app.add_option("--device", a->device)->multi_option_policy(last);
    app.add_flag("--fresh", a->fresh);
    app.add_flag("--keep", a->keep);
    app.add_flag("--json", a->json);
    app.add_option("--date", a->date)->multi_option_policy(last);
    app.add_option("--scale", a->scale)->multi_option_policy(last);
    app.add_flag_callback("--realtime", [a] { a->options.scale = 1; });
    app.add_flag("--instant", a->options.instant);
    app.add_option("--modules", a->options.module_dir)->multi_option_policy(last);
    CLI::App* ctl = app.add_subcommand("ctl")->prefix_command();
    app.add_option("words", a->words);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return BadInput(Explain(e));
    }
    // ctl after steps is a step; first, the command.
    if (ctl->parsed() && !a->words.empty()) {
        a->words.push_back("ctl");
        for (const std::string& w : ctl->remaining())
            a->words.push_back(w);
    } else if (ctl->parsed()) {
        a->ctl = ctl->remaining();
    }
    if (a->options.instant && (app.count("--realtime") || a->scale)) {
        return BadInput(std::string(app.count("--realtime") ? "--realtime" : "--scale") +
                        ": cannot go with --instant, which does not wait at all; choose one");
    }
    if (app.count("--realtime") && a->scale)
        return BadInput("--scale: cannot go with --realtime, which is --scale 1; choose one");
    if (app.count("--device") && a->device.empty())
        return BadInput("--device: expected a directory, not an empty word");
    if (a->scale) {
        char* end = nullptr;
        const double scale = std::strtod(a->scale->c_str(), &end);
        if (*end || !(scale >= kLeastScale && scale <= kGreatestScale)) {
            return BadInput("--scale '" + *a->scale +
                            "': expected a number of simulated seconds per second, 0.01 to "
                            "10000000");
        }
        a->options.scale = scale;
    }
    return -1;
}

// A bundled scenario by name, with or without its .tws.
std::optional<std::filesystem::path> BundledScenario(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return std::nullopt;
    std::error_code ec;
    for (const std::filesystem::path& dir : ScenarioDirs()) {
        for (const std::string& file : {name, name + ".tws"}) {
            if (std::filesystem::is_regular_file(dir / file, ec))
                return (dir / file).lexically_normal();
        }
    }
    return std::nullopt;
}

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

// What is left of the demo's device when a signal ends the run: said on standard error.
char g_left_behind[PATH_MAX + 128];

void SayWhatIsLeft(int sig) {
    const ssize_t n = write(STDERR_FILENO, g_left_behind, std::strlen(g_left_behind));
    static_cast<void>(n);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A new directory for the demo's device under $TMPDIR (default /tmp), said on standard error
// if a signal ends the run before the demo removes it.
std::optional<std::filesystem::path> MakeDemoDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/timeward-demo-XXXXXX";
    if (!mkdtemp(dir.data()))
        return std::nullopt;
    std::snprintf(g_left_behind, sizeof g_left_behind,
                  "timeward-sim: interrupted; the demo's device is left in %s\n", dir.c_str());
    for (int sig : {SIGINT, SIGTERM})
        signal(sig, SayWhatIsLeft);
    return dir;
}

// Says how the demo went, and keeps or removes its device.
int FinishDemo(int rc, const tws::Runner& runner, tws::Device& device, tws::DeviceLock& lock,
               bool keep, bool made) {
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
    } else {
        std::printf("\nverdict: FAIL. The clock was not kept; see the lines above.\n");
        if (rc == tws::kAllHeld)
            rc = tws::kExpectationFailed;
    }
    const std::string dir = device.dir().string();
    if (keep) {
        std::printf("%s\n",
                    tws::FitToTerminal("The demo's device is kept in " + dir +
                                           " (see: timeward-sim --device " + dir + " status)",
                                       0)
                        .c_str());
    } else if (made) {
        std::string error;
        std::error_code ec;
        lock.Remove();
        if (!device.Wipe(&error) || !std::filesystem::remove(dir, ec))
            std::fprintf(stderr, "timeward-sim: cannot remove %s\n", dir.c_str());
    }
    return rc;
}

// Checks that the device may take the command, and makes a new one where it may.
int PrepareDevice(const Args& a, const std::string& command, tws::Device& device,
                  tws::DeviceLock& lock, std::optional<SYSTEMTIME> date) {
    std::string error;
    if (int rc = lock.Take(device.dir(), &error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }
    const std::string dir = device.dir().string();
    if (command == "demo" && !a.fresh && device.Exists())
        return BadInput("demo: " + dir +
                        " holds a device already; name a new directory or add "
                        "--fresh");
    if (!a.fresh && device.Exists() && date) {
        return BadInput("--date: " + dir +
                        " holds a device already, with a clock of its own; set it with the step "
                        "'clock DATE', or add --fresh to start anew");
    }
    if (int rc = a.fresh ? tws::kAllHeld : device.Check(&error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }
    // Everything is checked: from here on the device changes.
    const SYSTEMTIME start = date.value_or(tws::NowUtc());
    bool created = false;
    if ((a.fresh && !device.Wipe(&error)) || !device.Create(start, &created, &error)) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
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

// timewardctl on the device at rest: its exit status, unless the device failed.
int CtlAtRest(const tws::Device& device, const std::vector<std::string>& args) {
    int ctl_status = 0;
    const int rc = tws::RunCtlAtRest(device, args, &ctl_status);
    return rc == tws::kAllHeld ? ctl_status : rc;
}

// Checks that the device is there for status or ctl, which make no device: `what` names the
// command, and `reads` says it changes nothing at all.
int ExistingDevice(const Args& a, const tws::Device& device, const std::string& what, bool reads) {
    if (a.fresh || a.date)
        return BadInput(std::string(a.fresh ? "--fresh" : "--date") + ": " + what +
                        (reads ? " changes no device" : " works on the device as it is") +
                        "; leave it out");
    if (!device.Exists()) {
        return BadInput(device.dir().string() +
                        ": no device here; a device is made by its first run of steps");
    }
    std::string error;
    if (int rc = device.Check(&error); rc != tws::kAllHeld) {
        std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
        return rc;
    }
    return -1;
}

// status and ctl status only read: no lock, no device made, nothing changed. A device that
// another run has on is read as that run last stored it, and said so.
int ShowAtRest(const Args& a, const tws::Device& device) {
    const std::optional<long> holder = tws::DeviceLock::Holder(device.dir());
    if (holder) {
        std::fprintf(stderr,
                     "timeward-sim: %s is in use by another run%s: what follows is its hive as "
                     "last flushed and its clock as last stored\n",
                     device.dir().c_str(),
                     *holder ? (" (pid " + std::to_string(*holder) + ")").c_str() : "");
    }
    return a.ctl ? CtlAtRest(device, *a.ctl)
                 : tws::ShowStatusAtRest(device, a.json, holder.has_value());
}

// timewardctl's words after ctl: an option of timeward-sim among them is refused with where it
// belongs, and words that end in timewardctl's help, version or usage end here, before any
// device is looked at. Returns -1 to go on, else the exit status.
int ReadCtlWords(const std::vector<std::string>& words) {
    static const char* const kOwnOptions[] = {"--device",   "--fresh",   "--date",    "--scale",
                                              "--realtime", "--instant", "--modules", "--keep"};
    for (const std::string& w : words) {
        const std::string name = w.substr(0, w.find('='));
        for (const char* own : kOwnOptions) {
            if (name == own)
                return BadInput("'" + w + "': an option of timeward-sim, not of timewardctl; put " +
                                "it before ctl: timeward-sim " + name + " ... ctl ...");
        }
    }
    std::fflush(stdout);
    return tws::CtlWordsEnd(words).value_or(-1);
}

int Run(const Args& a, const std::filesystem::path& dir, bool made) {
    tws::Device device(dir);
    const std::string command = a.ctl ? "ctl " + a.ctl->front() : a.words[0];
    const bool reads = command == "status" || command == "ctl status";
    if (command == "status" && a.words.size() > 1)
        return BadInput("'" + a.words[1] + "': status takes nothing after it but --json");
    if (a.ctl || reads) {
        if (int rc = ExistingDevice(a, device, command, reads); rc >= 0)
            return rc;
    }
    if (reads)
        return ShowAtRest(a, device);
    if (a.ctl) {
        // save, clear and check act on the device: one run at a time.
        std::string error;
        tws::DeviceLock lock;
        if (int rc = lock.Take(device.dir(), &error); rc != tws::kAllHeld) {
            std::fprintf(stderr, "timeward-sim: %s\n", error.c_str());
            return rc;
        }
        const int rc = CtlAtRest(device, *a.ctl);
        if (command == "ctl check")
            std::fprintf(stderr,
                         "timeward-sim: the device is off, so no driver runs; to check it on: "
                         "timeward-sim --device %s boot ctl check shutdown\n",
                         device.dir().c_str());
        return rc;
    }
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
    if (int rc = PrepareDevice(a, command, device, lock, date); rc >= 0)
        return rc;
    tws::Runner runner(device, a.options);
    int rc = runner.Play(steps);
    if (command == "play" && rc == tws::kAllHeld) {
        std::printf("timeward-sim: %s played: %zu steps, %d expectations held\n",
                    a.words[1].c_str(), steps.size(), runner.expectations());
    }
    return command == "demo" ? FinishDemo(rc, runner, device, lock, a.keep, made) : rc;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    a.options.module_dir = DefaultModuleDir();
    if (const char* dir = std::getenv("TIMEWARD_MODULE_DIR"); dir && *dir)
        a.options.module_dir = dir;
    if (int rc = ReadCommandLine(argc, argv, &a); rc >= 0)
        return rc;
    if (a.help || (!a.ctl && !a.words.empty() && a.words[0] == "help")) {
        tws::WrapWhenPiped(true);
        std::fputs(tws::FitToTerminal(Usage()).c_str(), stdout);
        return 0;
    }
    if (a.version) {
        std::printf("timeward-sim %s\ndriver module: %s/libTimeward.so\n", TIMEWARD_VERSION,
                    a.options.module_dir.c_str());
        return 0;
    }
    if (!a.ctl && a.words.empty()) {
        std::fputs(Usage().c_str(), stderr);
        return tws::kBadInput;
    }
    a.options.progress = !a.options.instant && isatty(STDOUT_FILENO);
    const bool demo = !a.ctl && a.words[0] == "demo";
    tws::WrapWhenPiped(demo);
    if (a.keep && !demo)
        return BadInput("--keep: only for demo, whose device is otherwise removed");
    if (a.json && (a.ctl || a.words[0] != "status"))
        return BadInput("--json: only for status (ctl status takes its own --json after it)");
    if (a.ctl) {
        if (int rc = ReadCtlWords(*a.ctl); rc >= 0)
            return rc;
    }

    // The demo gets a device of its own, unless one is named; a named one must be new.
    std::optional<std::filesystem::path> dir;
    if (!a.device.empty())
        dir = a.device;
    else if (!demo)
        dir = DefaultDevice();
    else if (!(dir = MakeDemoDir()))
        return BadInput("demo: cannot make a device directory under $TMPDIR or /tmp");
    if (!dir) {
        return BadInput(
            "no device directory: HOME is not set and the user has no home directory; name one "
            "with --device DIR or TIMEWARD_DEVICE");
    }
    return Run(a, *dir, demo && a.device.empty());
}
