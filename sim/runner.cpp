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
#include <string>

#include "at_rest.h"
#include "console.h"
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
    int fds[2];
    if (pipe(fds) != 0) {
        Out().Fail(std::string("cannot start the device: ") + std::strerror(errno));
        return kDeviceFailed;
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
        return kDeviceFailed;
    }
    if (pid == 0) {
        close(fds[0]);
        close(signals);
        PlaySession(device_, options_, steps, first, last, fds[1]);
    }
    close(fds[1]);
    int stop = 0;
    // Takes a stop signal that came, if one did; false when none is waiting.
    auto take_stop = [&] {
        signalfd_siginfo info;
        if (read(signals, &info, sizeof info) != sizeof info)
            return false;
        stop = static_cast<int>(info.ssi_signo);
        return true;
    };
    std::string report;
    pollfd watch[2] = {{fds[0], POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if ((watch[1].revents & POLLIN) && take_stop())
            kill(pid, stop);
        if (watch[0].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            report.append(buf, static_cast<size_t>(n));
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    while (take_stop()) {
    }
    close(signals);
    if (WIFEXITED(status) && WEXITSTATUS(status) > kInterruptedBase)
        EndBySignal(WEXITSTATUS(status) - kInterruptedBase);
    if (stop) {
        Out().Fail("stopped by signal " + std::to_string(stop) +
                   " as the session ended; the steps after it are not played");
        EndBySignal(stop);
    }
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    if (std::optional<Restore> restore = ReadRestoreReport(report))
        restores_.push_back(*restore);
    for (size_t k = first; k <= last; ++k)
        expectations_ += steps[k].verb->IsExpectation();
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) {
        // Whoever read the output went away (as head does): end as quietly as the device did.
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    if (!WIFEXITED(status)) {
        Out().Fail("the device session ended by signal " + std::to_string(WTERMSIG(status)));
        return kDeviceFailed;
    }
    return WEXITSTATUS(status);
}

int Runner::Status(bool json) {
    return ShowStatusAtRest(device_, json);
}

}  // namespace tws
