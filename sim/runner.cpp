// Plays a scenario on a simulated device: steps while it is off act on its files; each time it
// boots, a child process becomes the device until it goes off.
#include "runner.h"

#include <sys/wait.h>
#include <unistd.h>

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
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

}  // namespace

int Runner::Play(const std::vector<Step>& steps) {
    size_t i = 0;
    while (i < steps.size()) {
        if (steps[i].kind != StepKind::kBoot) {
            expectations_ += IsExpectation(steps[i].kind);
            int rc = PlayAtRest(device_, steps[i++]);
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
    pid_t pid = fork();
    if (pid < 0)
        return kDeviceFailed;
    if (pid == 0) {
        close(fds[0]);
        PlaySession(device_, options_, steps, first, last, fds[1]);
    }
    close(fds[1]);
    const std::string report = ReadAll(fds[0]);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (std::optional<Restore> restore = ReadRestoreReport(report))
        restores_.push_back(*restore);
    for (size_t k = first; k <= last; ++k)
        expectations_ += IsExpectation(steps[k].kind);
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
