// Plays a scenario on a simulated device: steps while it is off act on its files; each time it
// boots, a child process becomes the device until it goes off.
#include "runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "at_rest.h"
#include "console.h"

namespace tws {
namespace {

// The last step of the time on that starts with the boot at steps[boot]: the step that takes
// the power away, or the last step.
size_t LastStepOn(const std::vector<Step>& steps, size_t boot) {
    size_t last = boot;
    while (last + 1 < steps.size()) {
        StepKind k = steps[++last].kind;
        if (k == StepKind::kShutdown || k == StepKind::kPowerCut || k == StepKind::kPullBattery)
            break;
    }
    return last;
}

std::string ReadAll(int fd) {
    char buf[256];
    std::string text;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// While a session runs, SIGINT and SIGTERM are passed on to it (a terminal's Ctrl-C reaches
// it anyway), and this process waits for it to say how it ended.
volatile sig_atomic_t g_session = 0;
volatile sig_atomic_t g_signal = 0;

void PassOn(int sig) {
    g_signal = sig;
    if (g_session > 0)
        kill(static_cast<pid_t>(g_session), sig);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

void Handle(void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals)
        sigaction(sig, &sa, nullptr);
}

void BlockStopSignals(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals)
        sigaddset(&set, sig);
    sigprocmask(how, &set, nullptr);
}

// Ends this process by `sig`, as a program interrupted by it does.
[[noreturn]] void EndBySignal(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    Handle(SIG_DFL);
    BlockStopSignals(SIG_UNBLOCK);
    raise(sig);
    _exit(kInterruptedBase + sig);  // not reached
}

}  // namespace

int Runner::Play(const std::vector<Step>& steps) {
    size_t i = 0;
    while (i < steps.size()) {
        if (steps[i].kind != StepKind::kBoot) {
            expectations_ += IsExpectation(steps[i].kind);
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
    if (pipe(fds) != 0)
        return kDeviceFailed;
    std::fflush(stdout);
    std::fflush(stderr);
    // The session installs its own handlers before it takes a stop signal.
    BlockStopSignals(SIG_BLOCK);
    pid_t pid = fork();
    if (pid < 0) {
        BlockStopSignals(SIG_UNBLOCK);
        return kDeviceFailed;
    }
    if (pid == 0) {
        close(fds[0]);
        PlaySession(device_, options_, steps, first, last, fds[1]);
    }
    g_session = pid;
    Handle(PassOn);
    BlockStopSignals(SIG_UNBLOCK);
    close(fds[1]);
    const std::string report = ReadAll(fds[0]);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    BlockStopSignals(SIG_BLOCK);
    g_session = 0;
    Handle(SIG_DFL);
    BlockStopSignals(SIG_UNBLOCK);
    if (WIFEXITED(status) && WEXITSTATUS(status) > kInterruptedBase)
        EndBySignal(WEXITSTATUS(status) - kInterruptedBase);
    if (g_signal) {
        Out().Fail("stopped by signal " + std::to_string(g_signal) +
                   " as the session ended; the steps after it are not played");
        EndBySignal(g_signal);
    }
    if (std::optional<Restore> restore = ReadRestoreReport(report))
        restores_.push_back(*restore);
    for (size_t k = first; k <= last; ++k)
        expectations_ += IsExpectation(steps[k].kind);
    if (!WIFEXITED(status)) {
        Out().Fail("the device session ended by signal " + std::to_string(WTERMSIG(status)));
        return kDeviceFailed;
    }
    return WEXITSTATUS(status);
}

int Runner::Status() {
    return ShowStatusAtRest(device_) ? kAllHeld : kDeviceFailed;
}

}  // namespace tws
