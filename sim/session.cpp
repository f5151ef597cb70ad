// Runs the device while it is on: the boot, the steps in its life, and how it goes off.
#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "console.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "devmgr.h"
#include "driver_key.h"
#include "expect.h"
#include "saver.h"
#include "status.h"
#include "support/calendar.h"
#include "verbs.h"
#include "at_rest.h"

namespace tws {
namespace {

using std::chrono::milliseconds;

constexpr int64_t kTickMs = 20;       // real milliseconds between two moves of a paced clock
constexpr uint64_t kCtlStepMs = 100;  // simulated time passes in these while timewardctl runs
constexpr int kBarWidth = 30;
using support::kMsPerSecond;

// A session reports a restore at its boot to the runner as a line of two instants in
// milliseconds since 1970.
constexpr char kRestoreLine[] = "restore %" PRId64 " %" PRId64 "\n";
constexpr char kRestoreScan[] = "restore %" SCNd64 " %" SCNd64;
// And the step that an armed power cut ended it in, as a line of the step's index.
constexpr char kCutLine[] = "cut %zu\n";
constexpr char kCutScan[] = "cut %zu";

int64_t MsOf(const SYSTEMTIME& st) {
    return ToInstant(st).value_or(Instant{}).time_since_epoch().count();
}

std::string Trimmed(const std::u16string& text) {
    std::string s = support::Utf8(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// The stop signal this session took (SIGINT, SIGTERM), or 0.
volatile sig_atomic_t g_stop = 0;

void OnStop(int sig) {
    g_stop = sig;
}

// The first hive flush that failed to reach the device's file, with the system's reason;
// registry calls come from the driver's threads too.
struct FlushFailure {
    std::mutex mu;
    std::string reason;  // empty while every flush has reached the file
};

FlushFailure& Failure() {
    static FlushFailure* failure = new FlushFailure;
    return *failure;
}

[[noreturn]] void EndProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}

// "D0 D4": the power states a driver said it supports.
std::string PowerStates(const POWER_CAPABILITIES& caps) {
    return std::string(caps.DeviceDx & DX_MASK(D0) ? "D0 " : "") +
           std::string(caps.DeviceDx & DX_MASK(D4) ? "D4" : "");
}

}  // namespace

int Session::Play(const std::vector<Step>& steps, size_t first, size_t last) {
    if (!Boot())
        return kDeviceFailed;
    dm_.emplace();
    step_ = first;
    StartDrivers();
    CheckDevice();
    for (size_t i = first + 1; i <= last; ++i) {
        step_ = i;
        if (std::optional<int> status = (this->*steps[i].verb->on)(steps[i]))
            return *status;
        CheckDevice();
    }
    return PowerDown(coredll::clock::Now(), "end of the steps: orderly shutdown");
}

// --- The steps -------------------------------------------------------------------------------

// Time passes: paced, with the driver's threads running; or, while the device sleeps, at once.
std::optional<int> Session::Run(const Step& s) {
    const SYSTEMTIME now = coredll::clock::Now();
    if (suspended_)
        Sleep(now, s.ms);
    else
        RunAwake(now, s.ms);
    return std::nullopt;
}

std::optional<int> Session::Suspend(const Step&) {
    SendPower(coredll::clock::Now(), "suspend: the Power Manager sends D4", D4);
    return std::nullopt;
}

std::optional<int> Session::Resume(const Step&) {
    SendPower(coredll::clock::Now(), "resume: the Power Manager sends D0", D0);
    return std::nullopt;
}

// Another process sets the driver's event.
std::optional<int> Session::SetSaveEvent(const Step&) {
    Out().Line(coredll::clock::Now(), "event",
               "another process sets \"" + support::Utf8(SAVE_EVENT_NAME) + "\"");
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, SAVE_EVENT_NAME);
    SetEvent(h);
    CloseHandle(h);
    coredll::clock::Settle();
    return std::nullopt;
}

// An application or a network time client sets the clock, as SetSystemTime does.
std::optional<int> Session::SetSystemClock(const Step& s) {
    Out().Line(coredll::clock::Now(), "clock",
               "an application sets the clock to " + FormatDate(*s.date, true));
    SetSystemTime(&*s.date);
    coredll::clock::Settle();
    return std::nullopt;
}

std::optional<int> Session::Shutdown(const Step&) {
    return PowerDown(coredll::clock::Now(), "orderly: drivers deactivated, registry flushed");
}

std::optional<int> Session::PowerCut(const Step&) {
    Out().Line(coredll::clock::Now(), "cut", "power cut: what the hive did not flush is lost");
    PowerOff(true, std::nullopt);
    EndProcess(kAllHeld);
}

std::optional<int> Session::ArmPowerCut(const Step& s) {
    Out().Line(coredll::clock::Now(), "cut",
               "a power cut is armed: it comes right after the next " +
                   (s.count == 1 ? std::string("value write")
                                 : std::to_string(s.count) + " value writes"));
    cut_after_ = s.count;
    return std::nullopt;
}

std::optional<int> Session::PullBattery(const Step& s) {
    const SYSTEMTIME now = coredll::clock::Now();
    PowerOff(false, s.date);
    std::string error;
    if (!device_.LoseNotifications(&error)) {
        Out().Fail("the device failed: " + error);
        EndProcess(kDeviceFailed);
    }
    Out().Line(now, "battery",
               "battery pulled: power is lost, and the real-time clock with it; it will come "
               "back at " +
                   FormatDate(rtc_.reset_to));
    EndProcess(kAllHeld);
}

std::optional<int> Session::Status(const Step&) {
    Out().EndBar();
    const coredll::RegCounters counters = coredll::reg::Counters();
    const Wear wear{counters.sets, counters.flushes};
    PrintStatus({device_, suspended_ ? "suspended" : "on", nullptr, image_, &wear},
                coredll::clock::Now(), false);
    return std::nullopt;
}

// Another process runs timewardctl: on a thread of the device, whose waits take simulated
// time, which passes here until it ends.
std::optional<int> Session::Ctl(const Step& s) {
    Out().Line(coredll::clock::Now(), "ctl", "timewardctl " + Joined(s.words));
    struct Call {
        const std::vector<std::string>& args;
        std::atomic<int> status{-1};
    } call{s.words};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Call* c = static_cast<Call*>(p);
            c->status = CallCtl(c->args);
            return 0;
        },
        &call, 0, nullptr);
    coredll::clock::Settle();
    while (thread && call.status < 0)
        coredll::clock::Advance(kCtlStepMs);
    if (thread)
        CloseHandle(thread);
    coredll::clock::Settle();
    NoteCtlExit(thread ? std::optional<int>(call.status) : std::nullopt);
    Out().Line(coredll::clock::Now(), "ctl",
               thread ? "exit status " + std::to_string(call.status)
                      : std::string("cannot start timewardctl"));
    return std::nullopt;
}

// A failed expectation ends the run on the spot, as a power cut would.
std::optional<int> Session::Expect(const Step& s) {
    const SYSTEMTIME now = coredll::clock::Now();
    if (s.verb->check(s, now))
        return std::nullopt;
    Out().Fail(
        "the run stops here with a power cut: the hive keeps what was last flushed, the "
        "real-time clock keeps " +
        FormatDate(now, true));
    PowerOff(true, std::nullopt);
    EndProcess(kExpectationFailed);
}

// --- The device beneath them ---------------------------------------------------------------

// Ends the session as a power cut at this moment when a stop signal came or a hive flush
// failed to reach the device's file.
void Session::CheckDevice() {
    if (const int sig = g_stop) {
        Out().EndBar();
        const SYSTEMTIME now = coredll::clock::Now();
        Out().Line(now, "cut",
                   std::string("interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                       ": a power cut now; the hive keeps what was last flushed, the "
                       "real-time clock keeps running from " +
                       FormatDate(now, true));
        PowerOff(true, std::nullopt);
        EndProcess(kInterruptedBase + sig);
    }
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(Failure().mu);
        reason = Failure().reason;
    }
    if (!reason.empty()) {
        Out().EndBar();
        Out().Fail("the device failed: " + device_.hive().string() + ": cannot write: " + reason +
                   "; the run stops here with a power cut");
        PowerOff(true, std::nullopt);
        EndProcess(kDeviceFailed);
    }
}

// The registry flushes the hive, as at an orderly shutdown; a failure ends the session.
void Session::FlushHive() {
    RegFlushKey(HKEY_LOCAL_MACHINE);
    CheckDevice();
}

void Session::OnRegistryCall(coredll::RegCall call, std::u16string_view name, LONG result) {
    // Only a hive that could not be written is the device's failure; any other failed flush is
    // the caller's, and says so through its result. Writing through, a value write or removal
    // writes it.
    const bool value_write =
        call == coredll::RegCall::kSet || call == coredll::RegCall::kDeleteValue;
    const bool writes_hive =
        call == coredll::RegCall::kFlush || (value_write && image_.write_through);
    if (writes_hive && result == ERROR_WRITE_FAULT) {
        const int why = errno;  // as the failed write left it
        std::lock_guard<std::mutex> lock(Failure().mu);
        if (Failure().reason.empty())
            Failure().reason = why ? std::strerror(why) : "the write failed";
    }
    if (!value_write || result != ERROR_SUCCESS || cut_after_ <= 0 || --cut_after_ != 0)
        return;
    // The power goes right after this write, on whichever thread made it: nothing after it
    // runs, and the rest of the session's steps find the device off.
    coredll::reg::DetachHiveFile();
    Out().EndBar();
    Out().Line(coredll::clock::Now(), "cut",
               std::string("power cut right after the ") +
                   (call == coredll::RegCall::kSet ? "write" : "removal") + " of \"" +
                   support::Utf8(name) + "\": what the hive did not keep is lost");
    char line[32];
    const int n = std::snprintf(line, sizeof line, kCutLine, step_.load());
    (void)!write(report_fd_, line, static_cast<size_t>(n));
    PowerOff(true, std::nullopt);
    EndProcess(kAllHeld);
}

// Loads the device's files into the simulated core library and starts its clock.
bool Session::Boot() {
    std::string error;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    coredll::modules::SetSearchPath(options_.module_dir);
    if (!device_.ReadRtc(&rtc_, &error) || !device_.ReadImage(&image_, &error) ||
        !coredll::reg::LoadHiveFile(device_.hive(), &error) ||
        !coredll::notify::AttachStore(device_.notifications_file(), &error)) {
        Out().Fail(error);
        return false;
    }
    // The core library is built as the image was, before any driver looks into it.
    coredll::notify::LeaveOut(!image_.notifications);
    coredll::reg::WriteThrough(image_.write_through);
    coredll::reg::SetCallHook([this](coredll::RegCall call, std::u16string_view name, LONG result) {
        OnRegistryCall(call, name, result);
    });
    coredll::reg::ResetCounters();  // what the boot costs, from here
    start_ = rtc_.battery_ok ? rtc_.time : rtc_.reset_to;
    coredll::clock::SetWall(start_);
    Out().Line(start_, "boot",
               "the clock starts at " + FormatDate(start_) +
                   (rtc_.battery_ok ? " from the real-time clock"
                                    : ": the real-time clock had lost its time"));
    coredll::debug::SetListener([](const coredll::debug::Line& line) {
        Out().Line(line.wall, "driver", Trimmed(line.text));
    });
    return true;
}

// The Device Manager loads the drivers; a restore they made is reported.
void Session::StartDrivers() {
    std::vector<std::string> errors;
    dm_->LoadBuiltIn(&errors);
    coredll::clock::Settle();
    bool loaded = true;
    for (const std::string& e : errors) {
        Out().Line(coredll::clock::Now(), "devmgr", e);
        loaded &= e.find(": cannot load ") == std::string::npos;
    }
    if (!loaded) {
        // A driver that is refused (its Init fails) is the driver's own doing; a module
        // that is not there is the simulator's.
        Out().Fail("the device failed: a driver module cannot be loaded from " +
                   options_.module_dir.string() +
                   " (--modules); the run stops, the device is left as it was");
        EndProcess(kDeviceFailed);
    }
    for (const auto& d : dm_->Active()) {
        Out().Line(coredll::clock::Now(), "devmgr",
                   d->device + " is active (" + d->dll + ")" +
                       (d->caps_known ? ", power states " + PowerStates(d->caps) : ""));
    }
    const SYSTEMTIME after = coredll::clock::Now();
    if (MsOf(after) != MsOf(start_)) {
        char line[64];
        const int n = std::snprintf(line, sizeof line, kRestoreLine, MsOf(start_), MsOf(after));
        (void)!write(report_fd_, line, static_cast<size_t>(n));
        // Back, where the driver's seconds since 1961 wrapped between the two (after 2097).
        Out().Line(after, "boot",
                   std::string("the clock was set ") +
                       (MsOf(after) > MsOf(start_) ? "forward" : "back") + " from " +
                       FormatDate(start_) + " to " + FormatDate(after, true));
    }
}

// Lets `ms` of simulated time pass, paced at the options' scale, with a progress bar.
void Session::RunAwake(const SYSTEMTIME& now, int64_t ms) {
    Out().Line(now, "run", FormatDuration(ms));
    if (options_.instant) {
        coredll::clock::Advance(static_cast<uint64_t>(ms));
        return;
    }
    const auto real_start = std::chrono::steady_clock::now();
    const int64_t tick = std::max<int64_t>(1, static_cast<int64_t>(kTickMs * options_.scale));
    for (int64_t done = 0; done < ms;) {
        const int64_t step = std::min(tick, ms - done);
        coredll::clock::Advance(static_cast<uint64_t>(step));
        done += step;
        std::this_thread::sleep_until(real_start + std::chrono::duration<double, std::milli>(
                                                       static_cast<double>(done) / options_.scale));
        CheckDevice();
        if (options_.progress) {
            const std::string counts = "] " + FormatDuration(done / kMsPerSecond * kMsPerSecond) +
                                       " of " + FormatDuration(ms);
            // The bar shrinks to leave the counts room on a narrow terminal.
            const int width =
                std::clamp(Columns() - 4 - static_cast<int>(counts.size()), 0, kBarWidth);
            const int filled = static_cast<int>(width * done / ms);
            Out().Bar("  [" + std::string(filled, '=') + std::string(width - filled, ' ') + counts);
        }
    }
    Out().EndBar();
}

// Nothing runs while the device sleeps; only the clock moves on.
void Session::Sleep(const SYSTEMTIME& now, int64_t ms) {
    coredll::clock::SetWall(ToRecord(ToInstant(now).value_or(Instant{}) + milliseconds{ms}));
    Out().Line(coredll::clock::Now(), "run",
               FormatDuration(ms) + " asleep: the clock moved on, no thread ran");
}

// The Power Manager asks the drivers for a power state: D4 as the device goes to sleep, D0
// as it wakes.
void Session::SendPower(const SYSTEMTIME& now, const char* text, CEDEVICE_POWER_STATE state) {
    Out().Line(now, "power", text);
    dm_->SetDevicePower(state);
    coredll::clock::Settle();
    suspended_ = state == D4;
}

// An orderly shutdown: the drivers are deactivated, the hive is flushed, and power goes
// with the real-time clock keeping the time.
int Session::PowerDown(const SYSTEMTIME& now, const std::string& what) {
    Out().Line(now, "shutdown", what);
    dm_->DeactivateAll();
    dm_.reset();
    FlushHive();
    PowerOff(true, std::nullopt);
    return kAllHeld;
}

// Power goes: the real-time clock keeps the time, or loses it and will come back at
// `reset_to` (the default date when none is given).
void Session::PowerOff(bool battery_ok, const std::optional<SYSTEMTIME>& reset_to) {
    rtc_.time = coredll::clock::Now();
    rtc_.battery_ok = battery_ok;
    rtc_.reset_to = reset_to.value_or(DefaultResetDate());
    std::string err;
    const coredll::RegCounters counters = coredll::reg::Counters();
    if (!device_.WriteRtc(rtc_, &err) ||
        !device_.WriteWear(Wear{counters.sets, counters.flushes}, &err)) {
        Out().Fail("the device failed: " + err);
        EndProcess(kDeviceFailed);
    }
}

void PlaySession(const Device& device, const Options& options, const std::vector<Step>& steps,
                 size_t first, size_t last, int report_fd) {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    int status;
    {
        Session session(device, options, report_fd);
        status = session.Play(steps, first, last);
    }
    EndProcess(status);
}

std::optional<size_t> ReadCutReport(const std::string& report) {
    const size_t at = report.rfind("cut ");
    size_t step;
    if (at == std::string::npos || std::sscanf(report.c_str() + at, kCutScan, &step) != 1)
        return std::nullopt;
    return step;
}

std::optional<Restore> ReadRestoreReport(const std::string& report) {
    int64_t from, to;
    if (std::sscanf(report.c_str(), kRestoreScan, &from, &to) != 2)
        return std::nullopt;
    return Restore{ToRecord(Instant{milliseconds{from}}), ToRecord(Instant{milliseconds{to}})};
}

}  // namespace tws
