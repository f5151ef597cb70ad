// timeward-sim: a simulated Windows CE device that runs the Timeward driver. This file reads the
// command line, finds the device and hands the command to what runs it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bundled.h"
#include "command_line.h"
#include "commands_at_rest.h"
#include "console.h"
#include "device.h"
#include "own_device.h"
#include "play.h"
#include "usage.h"

namespace program {
namespace {

// Runs the command on the device in `dir`: status and ctl on the device at rest, the rest played;
// `own`: the command wants a new device of its own, and `made`: the run made its directory.
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
    return Play(a, device, own, made);
}

}  // namespace
}  // namespace program

using namespace program;

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
        std::string said = "'";
        said += dir->string();
        said += "': a file, not a device directory; a device is a directory of its files";
        return BadInput(said);
    }
    return Run(a, *dir, own, own && a.device.empty());
}
