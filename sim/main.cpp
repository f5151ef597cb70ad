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
       timeward-sim COMMAND --help

A simulated Windows CE device that runs the Timeward driver. The device is a
directory that keeps its registry hive (hive.reg), its battery-backed real-time
clock (rtc) and what its OS image leaves out (image) between runs.

Commands:
  demo                 play the bundled demonstration on a new device of its
                       own, with a verdict
  play FILE|NAME       play a scenario file on the device, or a bundled scenario
                       by name on a new device of its own (see below)
  status [--json]      show the device at rest and what its next start will do,
                       in the words of timewardctl status; --json: one JSON
                       object. Changes nothing (--fresh and --date are refused)
  ctl status|save|clear|check [ARGS]
                       run timewardctl's own code on the device at rest; ctl's
                       words follow it, so --device comes before it. With the
                       driver running: boot ctl check shutdown
  STEP...              play steps given here, as in a scenario file
  help [COMMAND]       show this text, or a command's (also -h, --help, -? or
                       /?; after a command or a step: its own)

)";

// After the steps, which the table of verbs lists, and before the bundled scenarios.
const char kUsageTail[] = R"(
Scenario files:
  One step to a line, words separated by spaces; blank lines are skipped;
  '#' starts a comment that runs to the end of the line.
  "Quoted text" is one word, in which \" is a quote and \\ a backslash (no
  other backslash is taken). A debug line in expect line and expect no-line is
  quoted, matched exactly and whole (not as a substring), without the driver's
  line end.
  "Since the boot" counts the lines the driver wrote from the last boot step to
  the expectation. The device is off before the first step; each step must fit
  the device's state (no run while it is off). A session that ends with the
  device on shuts it down in order. A failed expectation stops the run there:
  while the device is on, with a power cut (the hive keeps what was last
  flushed, the real-time clock the time reached). UTF-8, with or without a
  byte-order mark. A bundled scenario sets its own clock with a clock step, so
  it plays the same on any day. On the command line, the shell's quotes stand
  for the file's: the word after expect line is the text.

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
  --keep               demo, a bundled scenario: keep its device (made under
                       $TMPDIR, default /tmp)
  --json               status: one JSON object (see the man page for its
                       fields)
  --version            show the version and where the driver module is loaded
                       from

Durations: 250ms, 90s, 5m, 2h, 1d, 1h30m (largest unit first, each once; at
most 36500d). Dates, all UTC: 2026-12-08, 2026-12-08T09:30:15,
"2026-12-08 09:30:15.250", optionally ending in Z or " UTC".
Piped, each line of output is one record, however long; on a terminal, lines
are broken to its width, and the time stamps leave out the milliseconds.
)";

// One meaning each; ctl's are timewardctl's, which mean the same.
const char kExitStatuses[] = R"(
Exit status:
  0  all went as expected (ctl: done)
  1  an expectation failed, and the run stopped there (ctl: not done, or a
     check failed)
  2  bad input, or a device that another run holds: nothing was changed
  3  ctl: the key HKEY_LOCAL_MACHINE\SOFTWARE\Orvex\Timeward is missing
  4  the device failed: a file of it cannot be read or written, or the driver
     module cannot be loaded; the message names which
Ctrl-C or SIGTERM while the device is on is a power cut at that moment, and
the program then ends by that signal.
)";

// The usage of each command but the steps, before the exit statuses.
const struct {
    const char* name;
    const char* text;
} kCommandUsage[] = {
    {"demo", R"(usage: timeward-sim [OPTIONS] demo [--keep]

Plays the bundled demonstration on a new device of its own at today's date,
made under $TMPDIR (default /tmp) and removed at the end unless --keep, or on a
new directory that --device names (--fresh: made anew), and gives a verdict.
)"},
    {"play", R"(usage: timeward-sim [OPTIONS] play FILE|NAME [--keep]

Plays a scenario file on the device (--device, else the default one). A NAME
without a slash that is no file is a bundled scenario: it plays on a new device
of its own, made under $TMPDIR (default /tmp) and removed at the end unless
--keep, or on a new directory that --device names (--fresh: made anew), and
sets its own clock. timeward-sim --help describes the steps and the format.
)"},
    {"status", R"(usage: timeward-sim [OPTIONS] status [--json]

Shows the device at rest and what its next start will do, in the words of
timewardctl status; --json: one JSON object (the man page gives its fields).
Changes nothing and takes no lock: a device that another run holds is read as
that run last stored it, and whether its driver runs is unknown.
)"},
    {"ctl", R"(usage: timeward-sim [OPTIONS] ctl status|save|clear|check [ARGS]

Runs timewardctl's own code on the device at rest, with timewardctl's words,
output and exit statuses (timeward-sim ctl --help: timewardctl's usage): its
hive, and its real-time clock as the system clock. No driver runs while the
device is off. status, save and check only read: they take no lock, and a
device that another run holds is read as it last stored it. clear writes the
hive. With the driver running: timeward-sim boot ctl check shutdown.
)"},
};

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

// The bundled scenarios, as lines of the usage within 80 columns.
std::string BundledLine() {
    std::string bundled = "Bundled scenarios (play NAME): " + BundledList() + ".";
    std::string out;
    while (bundled.size() > 80) {
        const size_t cut = bundled.rfind(' ', 80);
        out += bundled.substr(0, cut) + "\n";
        bundled = "  " + bundled.substr(cut + 1);
    }
    return out + bundled + "\n";
}

std::string Usage() {
    return kUsageHead + tws::StepsUsage() + kUsageTail + "\n" + BundledLine() + kExitStatuses;
}

// What `words` (a command and what follows it, or steps) ask help for: the command's usage, the
// usage of the steps they name, or, for anything else, the whole usage.
std::string UsageOf(const std::vector<std::string>& words) {
    if (words.empty() || (words[0] == "help" && words.size() == 1))
        return Usage();
    if (words[0] == "help")
        return UsageOf({words.begin() + 1, words.end()});
    for (const auto& c : kCommandUsage) {
        if (words[0] == c.name)
            return c.text + (words[0] == "play" ? BundledLine() : "") + kExitStatuses;
    }
    const std::string steps = tws::StepsUsage(words);
    if (steps.empty())
        return Usage();
    return std::string(
               "usage: timeward-sim [OPTIONS] STEP...\n\nPlays the steps in order, as a "
               "scenario file does (timeward-sim --help:\nevery step, and the format).\n\n") +
           steps + kExitStatuses;
}

// Simulated seconds per real second, as --scale allows.
constexpr double kLeastScale = 0.01;
constexpr double kGreatestScale = 1e7;

int BadInput(const std::string& message) {
    tws::Out().Fail(message);
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

bool IsHelpWord(std::string_view word) {
    return word == "-h" || word == "--help" || word == "-?" || word == "/?";
}

// Reads the command line into *a; returns -1 to go on, else the exit status.
int ReadCommandLine(int argc, char** argv, Args* a) {
    for (int i = 1; i < argc; ++i) {
        if (const std::string problem = tws::Utf8Problem(argv[i]); !problem.empty())
            return BadInput("argument " + std::to_string(i) + ": " + problem);
    }
    // A word that asks for help, wherever it stands, but among timewardctl's words (its own) and
    // as the text of an expected line; the rest is read as it would be without it.
    std::vector<char*> kept = {argv[0]};
    bool own = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        own &= word != "--" && word != "ctl";
        const bool line_text =
            i >= 3 && std::string_view(argv[i - 2]) == "expect" &&
            (std::string_view(argv[i - 1]) == "line" || std::string_view(argv[i - 1]) == "no-line");
        if (own && !line_text && IsHelpWord(word))
            a->help = true;
        else
            kept.push_back(argv[i]);
    }
    CLI::App app{"timeward-sim"};
    const auto last = CLI::MultiOptionPolicy::TakeLast;  // as a later word overrides
    app.set_help_flag();
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
        app.parse(static_cast<int>(kept.size()), kept.data());
    } catch (const CLI::ParseError& e) {
        if (a->help) {  // what the words mean beyond the help does not matter
            a->words.clear();
            return -1;
        }
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

// Whether the words play a bundled scenario by name: a name without a slash that is no file.
bool PlaysBundled(const std::vector<std::string>& words) {
    std::error_code ec;
    return words.size() == 2 && words[0] == "play" && !std::filesystem::exists(words[1], ec) &&
           BundledScenario(words[1]);
}

// What is left of a device of its own when a signal ends the run: said on standard error.
char g_left_behind[PATH_MAX + 128];

void SayWhatIsLeft(int sig) {
    const ssize_t n = write(STDERR_FILENO, g_left_behind, std::strlen(g_left_behind));
    static_cast<void>(n);
    signal(sig, SIG_DFL);
    raise(sig);
}

// A new directory under $TMPDIR (default /tmp) for the device of the demo or of a bundled
// scenario, named after it, and said on standard error if a signal ends the run before the
// run removes it.
std::optional<std::filesystem::path> MakeOwnDir(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/timeward-" + name + "-XXXXXX";
    if (!mkdtemp(dir.data()))
        return std::nullopt;
    std::snprintf(g_left_behind, sizeof g_left_behind,
                  "timeward-sim: interrupted; the device is left in %s\n", dir.c_str());
    for (int sig : {SIGINT, SIGTERM})
        signal(sig, SayWhatIsLeft);
    return dir;
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

// Keeps or removes a device the run made for itself.
void FinishOwnDevice(tws::Device& device, tws::DeviceLock& lock, bool keep) {
    const std::string dir = device.dir().string();
    if (keep) {
        std::printf("%s\n",
                    tws::FitToTerminal("The device is kept in " + dir +
                                           " (see: timeward-sim --device " + dir + " status)",
                                       0)
                        .c_str());
        return;
    }
    std::string error;
    std::error_code ec;
    lock.Remove();
    if (!device.Wipe(&error) || !std::filesystem::remove(dir, ec))
        tws::Out().Fail("cannot remove " + dir);
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

// timewardctl on the device at rest: its exit status, unless the device failed.
int CtlAtRest(const tws::Device& device, const std::vector<std::string>& args, bool in_use) {
    int ctl_status = 0;
    const int rc = tws::RunCtlAtRest(device, args, &ctl_status, in_use);
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
        tws::Out().Fail(error);
        return rc;
    }
    return -1;
}

// status and ctl's reads (status, save, check) take no lock, make no device and change nothing.
// A device that another run has on is read as that run last stored it, and said so.
int ReadAtRest(const Args& a, const tws::Device& device) {
    const std::optional<long> holder = tws::DeviceLock::Holder(device.dir());
    if (holder) {
        tws::Out().Fail(device.dir().string() + " is in use by another run" +
                        (*holder ? " (pid " + std::to_string(*holder) + ")" : "") +
                        ": what follows is its hive as last flushed and its clock as last stored");
    }
    if (!a.ctl)
        return tws::ShowStatusAtRest(device, a.json, holder.has_value());
    const int rc = CtlAtRest(device, *a.ctl, holder.has_value());
    if (a.ctl->front() == "check" && !holder) {
        tws::Out().Fail(
            "the device is off, so no driver runs; to check it on: timeward-sim "
            "--device " +
            device.dir().string() + " boot ctl check shutdown");
    }
    return rc;
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

int Run(const Args& a, const std::filesystem::path& dir, bool own, bool made) {
    tws::Device device(dir);
    const std::string command = a.ctl ? "ctl " + a.ctl->front() : a.words[0];
    // Only ctl clear writes; the rest of ctl only reads, as status does.
    const bool reads = command == "status" || (a.ctl && command != "ctl clear");
    if (command == "status" && a.words.size() > 1)
        return BadInput("'" + a.words[1] + "': status takes nothing after it but --json");
    if (a.ctl || reads) {
        if (int rc = ExistingDevice(a, device, command, reads); rc >= 0)
            return rc;
    }
    if (reads)
        return ReadAtRest(a, device);
    if (a.ctl) {
        std::string error;
        tws::DeviceLock lock;
        if (int rc = lock.Take(device.dir(), &error); rc != tws::kAllHeld) {
            tws::Out().Fail(error);
            return rc;
        }
        return CtlAtRest(device, *a.ctl, false);
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

}  // namespace

int main(int argc, char** argv) {
    Args a;
    a.options.module_dir = DefaultModuleDir();
    if (const char* dir = std::getenv("TIMEWARD_MODULE_DIR"); dir && *dir)
        a.options.module_dir = dir;
    if (int rc = ReadCommandLine(argc, argv, &a); rc >= 0)
        return rc;
    if (a.help || (!a.ctl && !a.words.empty() && a.words[0] == "help")) {
        std::vector<std::string> words = a.words;
        if (a.ctl)
            words = {"ctl"};
        std::fputs(tws::FitToTerminal(UsageOf(words)).c_str(), stdout);
        return 0;
    }
    if (a.version) {
        std::printf("timeward-sim %s\ndriver module: %s/libTimeward.so\n", TIMEWARD_VERSION,
                    a.options.module_dir.c_str());
        return 0;
    }
    if (!a.ctl && a.words.empty()) {
        std::fputs(tws::FitToTerminal(Usage(), std::string::npos, STDERR_FILENO).c_str(), stderr);
        return tws::kBadInput;
    }
    a.options.progress = !a.options.instant && isatty(STDOUT_FILENO);
    // The demo and a bundled scenario get a device of their own, unless one is named; a named
    // one must be new.
    const bool own = !a.ctl && (a.words[0] == "demo" || PlaysBundled(a.words));
    if (a.keep && !own)
        return BadInput(
            "--keep: only for demo and a bundled scenario, whose device is otherwise removed");
    if (a.json && (a.ctl || a.words[0] != "status"))
        return BadInput("--json: only for status (ctl status takes its own --json after it)");
    if (a.ctl) {
        if (int rc = ReadCtlWords(*a.ctl); rc >= 0)
            return rc;
    }

    std::optional<std::filesystem::path> dir;
    if (!a.device.empty())
        dir = a.device;
    else if (!own)
        dir = DefaultDevice();
    else if (!(dir = MakeOwnDir(a.words[0] == "demo" ? "demo" : a.words[1])))
        return BadInput(a.words[0] + ": cannot make a device directory under $TMPDIR or /tmp");
    if (!dir) {
        return BadInput(
            "no device directory: HOME is not set and the user has no home directory; name one "
            "with --device DIR or TIMEWARD_DEVICE");
    }
    std::error_code ec;
    if (std::filesystem::exists(*dir, ec) && !std::filesystem::is_directory(*dir, ec)) {
        return BadInput("'" + dir->string() +
                        "': a file, not a device directory; a device is a directory of its files");
    }
    return Run(a, *dir, own, own && a.device.empty());
}
