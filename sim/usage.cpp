// timeward-sim's usage: the whole of it, and what help a command or a step asks for.
#include "usage.h"

#include "bundled.h"
#include "verbs.h"

namespace program {
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

}  // namespace

std::string Usage() {
    return kUsageHead + tws::StepsUsage() + kUsageTail + "\n" + BundledLine() + kExitStatuses;
}

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

}  // namespace program
