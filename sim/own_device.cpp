// The device of its own that the demo and a bundled scenario play on: made under $TMPDIR, said
// if a signal ends the run, and kept or removed at the end.
#include "own_device.h"

#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace program {
namespace {

// What is left of a device of its own when a signal ends the run: said on standard error.
char g_left_behind[PATH_MAX + 128];

void SayWhatIsLeft(int sig) {
    const ssize_t n = write(STDERR_FILENO, g_left_behind, std::strlen(g_left_behind));
    static_cast<void>(n);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

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

}  // namespace program
