// The table of scenario steps: each step's name and words, what it makes of them, what it does,
// the device's state it needs and leaves, and what plays it.
#include "verbs.h"

#include "at_rest.h"
#include "expect.h"
#include "session.h"
#include "step_words.h"

namespace tws {
namespace {

constexpr unsigned kPowerAny = kPowerOff | kPowerOn | kPowerSuspended;
constexpr unsigned kPowerUp = kPowerOn | kPowerSuspended;  // on, or asleep

// --- What the steps make of their words ------------------------------------------------------

bool ReadDuration(StepWords& w, Step* s) {
    return w.Duration(&s->ms, w.Form());
}

bool ReadDate(StepWords& w, Step* s) {
    return w.Date(&s->date, "a date like 2026-12-08 09:00 " + w.After());
}

// The date a real-time clock that lost its time comes back at, when given.
bool ReadResetDate(StepWords& w, Step* s) {
    return w.AtEnd() || w.Date(&s->date, "a date like 2003-01-01 or 2003-01-01 08:00 " + w.After());
}

bool ReadOnOff(StepWords& w, Step* s) {
    return w.OnOff(&s->on);
}

// timewardctl's own words, read as it reads them, so that a scenario it would refuse is
// refused before anything runs.
bool ReadCtlWords(StepWords& w, Step* s) {
    if (w.AtEnd())
        return w.Fail("status, save, clear or check " + w.After());
    while (!w.AtEnd())
        s->words.push_back(w.Take());
    // timewardctl quotes the word it refuses: "'stauts': unknown command: ...".
    std::string problem = CtlWordsProblem(s->words);
    const size_t quoted = problem.find("': ", 1);
    if (quoted != std::string::npos)
        problem.insert(quoted + 3, "timewardctl: ");
    return problem.empty() || w.Say(problem);
}

// timewardctl's exit statuses: 0 to 3.
bool ReadCtlExit(StepWords& w, Step* s) {
    return w.Count(&s->count, "an exit status from 0 to 3 " + w.After(), "an exit status", 0, 3);
}

bool ReadClock(StepWords& w, Step* s) {
    if (!w.Date(&s->date, "a date or 'snapshot' " + w.After()))
        return false;
    return !w.Take("within") || w.Duration(&s->ms, "expect clock DATE within DURATION");
}

bool ReadLineAndCount(StepWords& w, Step* s) {
    return w.Line(&s->text) && (w.AtEnd() || w.Count(&s->count, "a count after the line, like 3"));
}

bool ReadLine(StepWords& w, Step* s) {
    return w.Line(&s->text);
}

bool ReadFlushing(StepWords& w, Step* s) {
    s->on = w.Take("write-through");
    return s->on || w.Take("on-flush") || w.Fail("write-through or on-flush " + w.After());
}

// Seconds, or "default" (count -1): the value is removed.
bool ReadInterval(StepWords& w, Step* s) {
    return w.Take("default") ||
           w.Count(&s->count, "seconds or 'default' " + w.After(), "an interval");
}

bool ReadWriteCount(StepWords& w, Step* s) {
    return w.Count(&s->count, "a count of value writes from 1, like 5, " + w.After(),
                   "a count of value writes", 1);
}

bool ReadSnapshot(StepWords& w, Step* s) {
    return w.Take("none") || w.Date(&s->date, "a date or 'none' " + w.After());
}

// --- The steps ---------------------------------------------------------------------------------

// In the order the usage lists them.
constexpr Verb kVerbs[] = {
    {.name = "boot",
     .help = "the Device Manager loads the drivers the hive lists",
     .allowed = kPowerOff,
     .after = kPowerOn},
    {.name = "run",
     .words = "DURATION",
     .help = "time passes with the device on (asleep when suspended)",
     .allowed = kPowerUp,
     .parse = ReadDuration,
     .on = &Session::Run},
    {.name = "suspend", .allowed = kPowerOn, .after = kPowerSuspended, .on = &Session::Suspend},
    {.name = "resume",
     .help = "the Power Manager's D4 and D0",
     .allowed = kPowerSuspended,
     .after = kPowerOn,
     .on = &Session::Resume},
    {.name = "event",
     .help = "another process sets \"SaveRTCEvent\"",
     .allowed = kPowerOn,
     .on = &Session::SetSaveEvent},
    {.name = "set-clock",
     .words = "DATE",
     .help = "an application or a time client sets the clock while the device runs",
     .allowed = kPowerOn,
     .parse = ReadDate,
     .on = &Session::SetSystemClock},
    {.name = "shutdown",
     .help = "orderly: the drivers are deactivated, the registry flushed",
     .allowed = kPowerUp,
     .after = kPowerOff,
     .on = &Session::Shutdown},
    {.name = "power-cut",
     .help = "power is lost: what the hive did not flush is lost",
     .allowed = kPowerUp,
     .after = kPowerOff,
     .on = &Session::PowerCut},
    {.name = "power-cut after-write",
     .words = "N",
     .help = "arms a power cut right after the Nth registry value write (or removal) from here "
             "on, in whichever later step makes it: that step ends there, and the steps up to the "
             "next boot find the device off (those that can come while it is off are played so)",
     .allowed = kPowerUp,
     .parse = ReadWriteCount,
     .on = &Session::ArmPowerCut},
    {.name = "pull-battery",
     .words = "[DATE]",
     .help = "power is lost and the real-time clock with it; it comes back at DATE (default "
             "2003-01-01)",
     .allowed = kPowerAny,
     .after = kPowerOff,
     .parse = ReadResetDate,
     .on = &Session::PullBattery,
     .at_rest = &AtRest::PullBattery},
    {.name = "off",
     .words = "DURATION",
     .help = "the device stays off; the real-time clock keeps time",
     .allowed = kPowerOff,
     .parse = ReadDuration,
     .at_rest = &AtRest::Off},
    {.name = "clock",
     .words = "DATE",
     .help = "the real-time clock is set while the device is off, as at the factory",
     .allowed = kPowerOff,
     .parse = ReadDate,
     .at_rest = &AtRest::SetRealTimeClock},
    {.name = "older-driver",
     .words = "DATE",
     .help = "a driver that keeps no check ran in between (a downgrade) and stored the snapshot "
             "DATE as it stores one: the eight clock values and the signature, the rest of the "
             "key as it was",
     .allowed = kPowerOff,
     .parse = ReadDate,
     .at_rest = &AtRest::StoreAsAnOlderDriver},
    {.name = "switch",
     .words = "on|off",
     .help = "\"TimewardImplemented\" in the image: 0 (on) or 1 (off)",
     .allowed = kPowerOff,
     .parse = ReadOnOff,
     .at_rest = &AtRest::SetSwitch},
    {.name = "notifications",
     .words = "on|off",
     .help = "the image has the notification component (CeRunAppAtEvent), or leaves it out: then "
             "a clock that is set is saved at the next snapshot, not at once; it lasts until "
             "changed (a new device has it)",
     .allowed = kPowerOff,
     .parse = ReadOnOff,
     .at_rest = &AtRest::SetNotifications},
    {.name = "flushing",
     .words = "write-through|on-flush",
     .help = "the image's registry writes each value through to storage as it is written, or "
             "only when the hive is flushed (a new device's); it lasts until changed",
     .allowed = kPowerOff,
     .parse = ReadFlushing,
     .at_rest = &AtRest::SetFlushing},
    {.name = "interval",
     .words = "SECONDS|default",
     .help = "\"TimewardInterval\" in the image: seconds between periodic snapshots (the driver "
             "takes 60 to 86400), or no value: 300",
     .allowed = kPowerOff,
     .parse = ReadInterval,
     .at_rest = &AtRest::SetInterval},
    {.name = "status",
     .help = "show the device where the step comes (on, with the value writes and flushes "
             "since the boot)",
     .allowed = kPowerAny,
     .on = &Session::Status,
     .at_rest = &AtRest::Status},
    {.name = "ctl",
     .words = "WORDS...",
     .help = "another process runs timewardctl WORDS (status, save, clear, check): on the device "
             "while "
             "it is on, its waits taking simulated time; on its files while it is off",
     .allowed = kPowerOff | kPowerOn,
     .parse = ReadCtlWords,
     .on = &Session::Ctl,
     .at_rest = &AtRest::Ctl},
    {.name = "expect clock",
     .words = "DATE [within DURATION]",
     .help = "the clock (the real-time clock while off) is DATE, to the millisecond unless a "
             "tolerance is given",
     .allowed = kPowerAny,
     .parse = ReadClock,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectClock},
    {.name = "expect clock snapshot",
     .help = "the clock equals the stored snapshot",
     .allowed = kPowerAny,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectClockAtSnapshot},
    {.name = "expect line",
     .words = "\"TEXT\" [COUNT]",
     .help = "the driver wrote the debug line TEXT since the boot: at least once, or exactly "
             "COUNT times",
     .allowed = kPowerUp,
     .parse = ReadLineAndCount,
     .on = &Session::Expect,
     .check = ExpectLine},
    {.name = "expect no-line",
     .words = "\"TEXT\"",
     .help = "the driver did not write TEXT since the boot",
     .allowed = kPowerUp,
     .parse = ReadLine,
     .on = &Session::Expect,
     .check = ExpectNoLine},
    {.name = "expect snapshot",
     .words = "DATE|none",
     .help = "the snapshot a start would restore from, as the hive holds it (as flushed), is "
             "DATE (the one before a torn one, where that is kept), or there is none",
     .allowed = kPowerAny,
     .parse = ReadSnapshot,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectSnapshot},
    {.name = "expect switch",
     .words = "on|off",
     .help = "the switch lets the driver run, or turns it off",
     .allowed = kPowerAny,
     .parse = ReadOnOff,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectSwitch},
    {.name = "expect ctl-exit",
     .words = "N",
     .help = "the ctl step right before it ended with timewardctl's exit status N (0 done, 1 "
             "not done, 2 bad arguments, 3 no key)",
     .allowed = kPowerOff | kPowerOn,
     .parse = ReadCtlExit,
     .on = &Session::Expect,
     .at_rest = &AtRest::Expect,
     .check = ExpectCtlExit,
     .follows = "ctl"},
};

}  // namespace

std::span<const Verb> Verbs() {
    return kVerbs;
}

}  // namespace tws
