// Plays a scenario on a simulated device: steps while it is off act on its files; each time it
// boots, a child process becomes the device until it goes off.
#include "runner.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "at_rest.h"
#include "console.h"
#include "expect.h"
#include "verbs.h"

namespace tws {
namespace {

// The last step of the time on that starts with the boot at steps[boot]: the step that ends
// the session, or the last step.
size_t LastStepOn(const std::vector<Step>& steps, size_t boot) {
    size_t last = boot;
    while (last + 1 < steps.size()) {
        if (steps[++last].verb->EndsSession())
            break;
    }
    return last;
}

// While a session runs, SIGINT and SIGTERM are blocked here and read from a signalfd, and
// passed on to the session (a terminal's Ctrl-C reaches it anyway), which says how it ended.
constexpr int kStopSignals[] = {SIGINT, SIGTERM};

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals)
        sigaddset(&set, sig);
    return set;
}

// Ends this process by `sig`, as a program interrupted by it does.
[[noreturn]] void EndBySignal(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    const sigset_t stops = StopSignals();
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    raise(sig);
    _exit(kInterruptedBase + sig);  // not reached
}

// How a session's process ended: its wait status, what it reported, and the stop signal that
// came while it ran (0: none).
struct SessionEnd {
    int status = 0;
    std::string report;
    int stop = 0;
};

// Passes the stop signals read from `signals` on to the session `pid` and reads its report
// from `report_fd` until it ends, then waits for it.
void Forward(pid_t pid, int report_fd, int signals, SessionEnd* end) {
    // Takes a stop signal that came, if one did; false when none is waiting.
    auto take_stop = [&] {
        signalfd_siginfo info;
        if (read(signals, &info, sizeof info) != sizeof info)
            return false;
        end->stop = static_cast<int>(info.ssi_signo);
        return true;
    };
    pollfd watch[2] = {{report_fd, POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if ((watch[1].revents & POLLIN) && take_stop())
            kill(pid, end->stop);
        if (watch[0].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            const ssize_t n = read(report_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            end->report.append(buf, static_cast<size_t>(n));
        }
    }
    while (waitpid(pid, &end->status, 0) < 0 && errno == EINTR) {
    }
    while (take_stop()) {
    }
}

// Runs `play` in a child process, which becomes the device and reports on the descriptor it is
// given, and passes SIGINT and SIGTERM on to it until it ends. Returns false, said on the
// console, when the child cannot be started; else the stop signals stay blocked here, for the
// caller to say how the run ends.
bool RunSession(const std::function<void(int report_fd)>& play, SessionEnd* end) {
    int fds[2];
    if (pipe(fds) != 0) {
        Out().Fail(std::string("cannot start the device: ") + std::strerror(errno));
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // The session installs its own handlers before it takes a stop signal.
    const sigset_t stops = StopSignals();
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    const pid_t pid = signals < 0 ? -1 : fork();
    if (pid < 0) {
        Out().Fail(std::string("cannot start the device: ") + std::strerror(errno));
        if (signals >= 0)
            close(signals);
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        close(signals);
        play(fds[1]);
        _exit(kDeviceFailed);  // not reached: the session ends its process
    }
    close(fds[1]);
    Forward(pid, fds[0], signals, end);
    close(fds[0]);
    close(signals);
    return true;
}

}  // namespace

int Runner::Play(const std::vector<Step>& steps) {
    size_t i = 0;
    while (i < steps.size()) {
        if (!steps[i].verb->StartsSession()) {
            expectations_ += steps[i].verb->IsExpectation();
            int rc = PlayAtRest(device_, steps[i++]);
            if (rc == kExpectationFailed)
                Out().Fail("the run stops here; the device stays off, as it is");
            if (rc != kAllHeld)
                return rc;
            continue;
        }
        const size_t last = LastStepOn(steps, i);
        int rc = PlayOn(steps, i, last);
        if (rc != kAllHeld)
            return rc;
        i = last + 1;
    }
    return kAllHeld;
}

// Plays steps[first] (the boot) to steps[last] in a child process, which becomes the device.
int Runner::PlayOn(const std::vector<Step>& steps, size_t first, size_t last) {
    SessionEnd end;
    if (!RunSession(
            [&](int report_fd) { PlaySession(device_, options_, steps, first, last, report_fd); },
            &end)) {
        return kDeviceFailed;
    }
    if (WIFEXITED(end.status) && WEXITSTATUS(end.status) > kInterruptedBase)
        EndBySignal(WEXITSTATUS(end.status) - kInterruptedBase);
    if (end.stop) {
        Out().Fail("stopped by signal " + std::to_string(end.stop) +
                   " as the session ended; the steps after it are not played");
        EndBySignal(end.stop);
    }
    const sigset_t stops = StopSignals();
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    if (std::optional<Restore> restore = ReadRestoreReport(end.report))
        restores_.push_back(*restore);
    // What the session's ctl steps ended with stayed in its process.
    NoteCtlExit(std::nullopt);
    const std::optional<size_t> cut = ReadCutReport(end.report);
    for (size_t k = first; k <= (cut ? *cut : last); ++k)
        expectations_ += steps[k].verb->IsExpectation();
    if (WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGPIPE) {
        // Whoever read the output went away (as head does): end as quietly as the device did.
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    if (!WIFEXITED(end.status)) {
        Out().Fail("the device session ended by signal " + std::to_string(WTERMSIG(end.status)));
        return kDeviceFailed;
    }
    if (!cut || WEXITSTATUS(end.status) != kAllHeld)
        return WEXITSTATUS(end.status);
    return PlayAfterCut(steps, *cut + 1, last);
}

// The steps of a session that an armed power cut ended early find the device off: those that
// may come then are played so, and the others are passed over, each said.
int Runner::PlayAfterCut(const std::vector<Step>& steps, size_t first, size_t last) {
    for (size_t k = first; k <= last; ++k) {
        if (!steps[k].verb->at_rest) {
            Rtc rtc;
            std::string error;
            if (!device_.ReadRtc(&rtc, &error)) {
                Out().Fail(error);
                return kDeviceFailed;
            }
            Out().Line(rtc.time, "off",
                       steps[k].where + " is not played: the device is off after the power cut");
            continue;
        }
        expectations_ += steps[k].verb->IsExpectation();
        const int rc = PlayAtRest(device_, steps[k]);
        if (rc == kExpectationFailed)
            Out().Fail("the run stops here; the device stays off, as it is");
        if (rc != kAllHeld)
            return rc;
    }
    return kAllHeld;
}

int Runner::Status(bool json) {
    return ShowStatusAtRest(device_, json);
}

}  // namespace tws
