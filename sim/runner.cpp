// Plays a scenario on a simulated device.
//
// While the device is off, steps act on its files. Each time it boots, a child process
// becomes the device: it loads the hive into the simulated core library, starts the clock
// from the real-time clock, and runs the Device Manager over the drivers the hive lists, until
// the device goes off. A power cut ends that process on the spot, so all that survives is
// what the registry flushed to the hive file and the real-time clock, as on a device.
#include "runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <thread>

#include "coredll_sim.h"
#include "devmgr.h"
#include "seconds.h"

namespace tws {
namespace {

constexpr const char* kKey = "SOFTWARE\\Orvex\\Timeward";

// Standard output, shared by the steps and the driver's debug lines, with an optional
// progress bar on the last line.
class Console {
  public:
    void Line(const SYSTEMTIME& at, const char* tag, const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        ClearBar();
        std::printf("[%s] %-8s %s\n", FormatDate(at, true).c_str(), tag, text.c_str());
        DrawBar();
        std::fflush(stdout);
    }
    void Bar(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        ClearBar();
        bar_ = text;
        DrawBar();
        std::fflush(stdout);
    }
    void EndBar() {
        std::lock_guard<std::mutex> lock(mu_);
        ClearBar();
        bar_.clear();
        std::fflush(stdout);
    }
    void Fail(const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        ClearBar();
        std::fflush(stdout);
        std::fprintf(stderr, "timeward-sim: %s\n", text.c_str());
        DrawBar();
    }

  private:
    void ClearBar() {
        if (!bar_.empty())
            std::printf("\r\033[K");
    }
    void DrawBar() {
        if (!bar_.empty())
            std::printf("%s", bar_.c_str());
    }
    std::mutex mu_;
    std::string bar_;
};

Console& Out() {
    static Console* console = new Console;
    return *console;
}

std::string Trimmed(const std::u16string& text) {
    std::string s = coredll::Utf8(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

int64_t Ms(const SYSTEMTIME& st) {
    int64_t ms = 0;
    coredll::clock::ToMs(st, &ms);
    return ms;
}

// The snapshot as the registry holds it, decoded as the driver reads it.
struct Stored {
    bool signed_ = false;
    bool valid = false;
    SYSTEMTIME time{};
    std::string Describe() const {
        if (!signed_)
            return "none";
        if (!valid)
            return "invalid (the signature is there, a clock field is missing or out of range)";
        return FormatDate(time, true) + ", valid";
    }
};

Stored ReadStored(bool persisted) {
    Stored s;
    s.signed_ = coredll::reg::GetDword(kKey, "TimewardSignature", persisted) == 0x54575244u;
    if (!s.signed_)
        return s;
    static const char* const kFields[] = {"RTCYear",   "RTCMonth",       "RTCDayOfWeek",
                                          "RTCDay",    "RTCHour",        "RTCMinute",
                                          "RTCSecond", "RTCMilliseconds"};
    WORD SYSTEMTIME::*const members[] = {&SYSTEMTIME::wYear,      &SYSTEMTIME::wMonth,
                                         &SYSTEMTIME::wDayOfWeek, &SYSTEMTIME::wDay,
                                         &SYSTEMTIME::wHour,      &SYSTEMTIME::wMinute,
                                         &SYSTEMTIME::wSecond,    &SYSTEMTIME::wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        std::optional<coredll::RegValue> v = coredll::reg::GetValue(kKey, kFields[i], persisted);
        if (!v || v->data.size() > 4)
            return s;
        DWORD d = 0;
        for (size_t b = 0; b < v->data.size(); ++b)
            d |= static_cast<DWORD>(v->data[b]) << (8 * b);
        s.time.*members[i] = static_cast<WORD>(d & 0xFFFF);
    }
    s.valid = IsValidCalendarRecord(&s.time) != FALSE;
    return s;
}

std::string SwitchText(bool persisted) {
    std::optional<DWORD> v = coredll::reg::GetDword(kKey, "TimewardImplemented", persisted);
    if (!v)
        return "TimewardImplemented absent: the driver runs";
    return "TimewardImplemented = " + std::to_string(*v) +
           (*v == 1 ? ": the driver is turned off" : ": the driver runs");
}

bool SwitchOn(bool persisted) {
    return coredll::reg::GetDword(kKey, "TimewardImplemented", persisted) != 1u;
}

// Checks one expectation about the clock, the stored snapshot or the switch. `clock` is the
// system clock while the device is on, the real-time clock while it is off.
bool Expect(const Step& s, const SYSTEMTIME& clock, bool persisted) {
    std::string expected, seen;
    bool ok = true;
    switch (s.kind) {
        case StepKind::kExpectClock: {
            int64_t diff = Ms(clock) - Ms(*s.date);
            ok = (diff < 0 ? -diff : diff) <= s.ms;
            expected = "the clock at " + FormatDate(*s.date, true) +
                       (s.ms ? " within " + FormatDuration(s.ms) : "");
            seen = FormatDate(clock, true);
            break;
        }
        case StepKind::kExpectClockAtSnapshot: {
            Stored st = ReadStored(persisted);
            ok = st.valid && Ms(st.time) == Ms(clock);
            expected = "the clock at the stored snapshot (" + st.Describe() + ")";
            seen = FormatDate(clock, true);
            break;
        }
        case StepKind::kExpectSnapshot: {
            Stored st = ReadStored(persisted);
            if (s.date) {
                ok = st.valid && Ms(st.time) == Ms(*s.date);
                expected = "the snapshot " + FormatDate(*s.date, true);
            } else {
                ok = !st.signed_;
                expected = "no snapshot";
            }
            seen = st.Describe();
            break;
        }
        case StepKind::kExpectSwitch:
            ok = SwitchOn(persisted) == s.on;
            expected = std::string("the switch ") + (s.on ? "on" : "off");
            seen = SwitchText(persisted);
            break;
        default:
            return true;
    }
    if (!ok)
        Out().Fail(s.where + ": expected " + expected + ", saw " + seen);
    return ok;
}

bool ExpectLines(const Step& s, size_t since) {
    std::vector<coredll::debug::Line> lines = coredll::debug::Lines();
    int n = 0;
    for (size_t i = since; i < lines.size(); ++i)
        n += lines[i].text == coredll::Utf16(s.text);
    std::string text = s.text.substr(0, s.text.size() - 2);
    bool ok = s.kind == StepKind::kExpectNoLine ? n == 0 : s.count < 0 ? n > 0 : n == s.count;
    if (!ok) {
        std::string expected = s.kind == StepKind::kExpectNoLine ? "no line"
                               : s.count < 0                     ? "the line"
                                             : std::to_string(s.count) + " lines";
        Out().Fail(s.where + ": expected " + expected + " \"" + text + "\" since the boot, saw " +
                   std::to_string(n));
    }
    return ok;
}

// Lets `ms` of simulated time pass, paced at the options' scale, with a progress bar.
void RunFor(int64_t ms, const Options& options) {
    if (options.instant) {
        coredll::clock::Advance(static_cast<uint64_t>(ms));
        return;
    }
    const auto real_start = std::chrono::steady_clock::now();
    const int64_t tick = std::max<int64_t>(1, static_cast<int64_t>(20 * options.scale));
    for (int64_t done = 0; done < ms;) {
        const int64_t step = std::min(tick, ms - done);
        coredll::clock::Advance(static_cast<uint64_t>(step));
        done += step;
        std::this_thread::sleep_until(real_start + std::chrono::duration<double, std::milli>(
                                                       static_cast<double>(done) / options.scale));
        if (options.progress) {
            const int width = 30;
            const int filled = static_cast<int>(width * done / ms);
            Out().Bar("  [" + std::string(filled, '=') + std::string(width - filled, ' ') + "] " +
                      FormatDuration(done / 1000 * 1000) + " of " + FormatDuration(ms));
        }
    }
    Out().EndBar();
}

[[noreturn]] void EndProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}

}  // namespace

int Runner::Play(const std::vector<Step>& steps) {
    size_t i = 0;
    while (i < steps.size()) {
        if (steps[i].kind != StepKind::kBoot) {
            int rc = AtRest(steps[i++]);
            if (rc != 0)
                return rc;
            continue;
        }
        size_t last = i;
        while (last + 1 < steps.size()) {
            StepKind k = steps[++last].kind;
            if (k == StepKind::kShutdown || k == StepKind::kPowerCut ||
                k == StepKind::kPullBattery) {
                break;
            }
        }
        int fds[2];
        if (pipe(fds) != 0)
            return 3;
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t pid = fork();
        if (pid < 0)
            return 3;
        if (pid == 0) {
            close(fds[0]);
            EndProcess(Session(steps, i, last, fds[1]));
        }
        close(fds[1]);
        char buf[256];
        std::string report;
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            report.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        int64_t from, to;
        if (std::sscanf(report.c_str(), "restore %" SCNd64 " %" SCNd64, &from, &to) == 2) {
            restores_.push_back({coredll::clock::FromMs(from), coredll::clock::FromMs(to)});
        }
        for (size_t k = i; k <= last; ++k)
            expectations_ += IsExpectation(steps[k].kind);
        if (!WIFEXITED(status)) {
            Out().Fail("the device session ended by signal " + std::to_string(WTERMSIG(status)));
            return 3;
        }
        if (WEXITSTATUS(status) != 0)
            return WEXITSTATUS(status);
        i = last + 1;
    }
    return 0;
}

int Runner::Session(const std::vector<Step>& steps, size_t first, size_t last, int report_fd) {
    std::string error;
    Rtc rtc;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    coredll::modules::SetSearchPath(options_.module_dir);
    if (!device_.ReadRtc(&rtc, &error) || !coredll::reg::LoadHiveFile(device_.hive(), &error)) {
        Out().Fail(error);
        return 3;
    }
    const SYSTEMTIME start = rtc.battery_ok ? rtc.time : rtc.reset_to;
    coredll::clock::SetWall(start);
    Out().Line(start, "boot",
               "the clock starts at " + FormatDate(start) +
                   (rtc.battery_ok ? " from the real-time clock"
                                   : ": the real-time clock had lost its time"));
    coredll::debug::SetListener([](const coredll::debug::Line& line) {
        Out().Line(line.wall, "driver", Trimmed(line.text));
    });

    bool suspended = false;
    auto power_off = [&](bool battery_ok, const std::optional<SYSTEMTIME>& reset_to) {
        rtc.time = coredll::clock::Now();
        rtc.battery_ok = battery_ok;
        rtc.reset_to = reset_to.value_or(DefaultResetDate());
        std::string err;
        if (!device_.WriteRtc(rtc, &err))
            Out().Fail(err);
    };

    {
        coredll::DeviceManager dm;
        std::vector<std::string> errors;
        dm.LoadBuiltIn(&errors);
        coredll::clock::Settle();
        for (const std::string& e : errors)
            Out().Line(coredll::clock::Now(), "devmgr", e);
        for (const auto& d : dm.Active()) {
            Out().Line(coredll::clock::Now(), "devmgr",
                       d->device + " is active (" + d->dll + ")" +
                           (d->caps_known ? ", power states " +
                                                std::string(d->caps.DeviceDx & 1 ? "D0 " : "") +
                                                std::string(d->caps.DeviceDx & 16 ? "D4" : "")
                                          : ""));
        }
        const SYSTEMTIME after = coredll::clock::Now();
        if (Ms(after) != Ms(start)) {
            std::string line =
                "restore " + std::to_string(Ms(start)) + " " + std::to_string(Ms(after)) + "\n";
            (void)!write(report_fd, line.data(), line.size());
            Out().Line(after, "boot",
                       "the clock was set forward from " + FormatDate(start) + " to " +
                           FormatDate(after, true));
        }

        for (size_t i = first + 1; i <= last; ++i) {
            const Step& s = steps[i];
            const SYSTEMTIME now = coredll::clock::Now();
            switch (s.kind) {
                case StepKind::kRun:
                    if (suspended) {
                        // Nothing runs while the device sleeps; only the clock moves on.
                        int64_t ms;
                        coredll::clock::ToMs(now, &ms);
                        coredll::clock::SetWall(coredll::clock::FromMs(ms + s.ms));
                        Out().Line(
                            coredll::clock::Now(), "run",
                            FormatDuration(s.ms) + " asleep: the clock moved on, no thread ran");
                        break;
                    }
                    Out().Line(now, "run", FormatDuration(s.ms));
                    RunFor(s.ms, options_);
                    break;
                case StepKind::kSuspend:
                    Out().Line(now, "power", "suspend: the Power Manager sends D4");
                    dm.SetDevicePower(D4);
                    coredll::clock::Settle();
                    suspended = true;
                    break;
                case StepKind::kResume:
                    Out().Line(now, "power", "resume: the Power Manager sends D0");
                    dm.SetDevicePower(D0);
                    coredll::clock::Settle();
                    suspended = false;
                    break;
                case StepKind::kEvent: {
                    Out().Line(now, "event", "another process sets \"SaveRTCEvent\"");
                    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
                    SetEvent(h);
                    CloseHandle(h);
                    coredll::clock::Settle();
                    break;
                }
                case StepKind::kShutdown:
                    Out().Line(now, "shutdown", "orderly: drivers deactivated, registry flushed");
                    dm.DeactivateAll();
                    coredll::reg::Flush();
                    power_off(true, std::nullopt);
                    return 0;
                case StepKind::kPowerCut:
                    Out().Line(now, "cut", "power cut: what the hive did not flush is lost");
                    power_off(true, std::nullopt);
                    EndProcess(0);
                case StepKind::kPullBattery:
                    power_off(false, s.date);
                    Out().Line(now, "battery",
                               "battery pulled: power is lost, and the real-time clock with it; it "
                               "will come back at " +
                                   FormatDate(rtc.reset_to));
                    EndProcess(0);
                case StepKind::kStatus:
                    std::printf("  device    %s (%s)\n", device_.dir().c_str(),
                                suspended ? "suspended" : "on");
                    std::printf("  clock     %s (system clock)\n", FormatDate(now, true).c_str());
                    std::printf("  snapshot  %s (as flushed to the hive)\n",
                                ReadStored(true).Describe().c_str());
                    std::printf("  switch    %s\n", SwitchText(true).c_str());
                    break;
                default:
                    // A failed expectation ends the run on the spot, as a power cut would.
                    if (s.kind == StepKind::kExpectLine || s.kind == StepKind::kExpectNoLine
                            ? !ExpectLines(s, 0)
                            : !Expect(s, now, true)) {
                        power_off(true, std::nullopt);
                        EndProcess(1);
                    }
                    break;
            }
        }
        Out().Line(coredll::clock::Now(), "shutdown", "end of the steps: orderly shutdown");
        dm.DeactivateAll();
    }
    coredll::reg::Flush();
    power_off(true, std::nullopt);
    return 0;
}

int Runner::AtRest(const Step& s) {
    std::string error;
    Rtc rtc;
    if (!device_.ReadRtc(&rtc, &error)) {
        Out().Fail(error);
        return 3;
    }
    const SYSTEMTIME clock = rtc.battery_ok ? rtc.time : rtc.reset_to;
    auto load_hive = [&] {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        if (!coredll::reg::LoadHiveFile(device_.hive(), &error)) {
            Out().Fail(error);
            return false;
        }
        return true;
    };
    switch (s.kind) {
        case StepKind::kOff:
            if (rtc.battery_ok) {
                int64_t ms = Ms(rtc.time) + s.ms;
                rtc.time = coredll::clock::FromMs(ms);
            }
            Out().Line(rtc.time, "off",
                       FormatDuration(s.ms) + " off" +
                           (rtc.battery_ok ? ": the real-time clock keeps time"
                                           : ": the real-time clock has no time to keep"));
            break;
        case StepKind::kSetClock:
            rtc.battery_ok = true;
            rtc.time = *s.date;
            Out().Line(rtc.time, "clock", "the real-time clock is set to " + FormatDate(rtc.time));
            break;
        case StepKind::kPullBattery:
            rtc.battery_ok = false;
            rtc.reset_to = s.date.value_or(DefaultResetDate());
            Out().Line(rtc.time, "battery",
                       "battery pulled: the real-time clock will come back at " +
                           FormatDate(rtc.reset_to));
            break;
        case StepKind::kSwitch:
            if (!load_hive())
                return 3;
            coredll::reg::SetDword(kKey, "TimewardImplemented", s.on ? 0 : 1);
            coredll::reg::Flush();
            Out().Line(clock, "switch",
                       std::string("TimewardImplemented = ") +
                           (s.on ? "0: the driver runs" : "1: the driver is turned off"));
            return 0;
        case StepKind::kStatus:
            Status();
            return 0;
        default:
            ++expectations_;
            if (!load_hive())
                return 3;
            return Expect(s, clock, true) ? 0 : 1;
    }
    if (!device_.WriteRtc(rtc, &error)) {
        Out().Fail(error);
        return 3;
    }
    return 0;
}

void Runner::Status() {
    std::string error;
    Rtc rtc;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!device_.ReadRtc(&rtc, &error) || !coredll::reg::LoadHiveFile(device_.hive(), &error)) {
        Out().Fail(error);
        return;
    }
    std::printf("device    %s (off)\n", device_.dir().c_str());
    if (rtc.battery_ok) {
        std::printf("clock     %s (real-time clock, battery ok)\n",
                    FormatDate(rtc.time, true).c_str());
    } else {
        std::printf("clock     lost: the real-time clock comes back at %s at the next boot\n",
                    FormatDate(rtc.reset_to).c_str());
    }
    std::printf("snapshot  %s\n", ReadStored(true).Describe().c_str());
    std::printf("switch    %s\n", SwitchText(true).c_str());
}

}  // namespace tws
