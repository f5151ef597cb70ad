// One time the simulated device is on: from the boot to the step that ends it.
#ifndef TIMEWARD_SIM_SESSION_H
#define TIMEWARD_SIM_SESSION_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "calendar.h"
#include "device.h"
#include "exit_status.h"
#include "scenario.h"

namespace tws {

struct Options {
    double scale = 300;     // simulated seconds per real second
    bool instant = false;   // no real waiting at all
    bool progress = false;  // draw a progress bar (on a terminal)
    std::filesystem::path module_dir;
};

// A boot at which the driver moved the clock.
struct Restore {
    SYSTEMTIME from;
    SYSTEMTIME to;
};

// Plays steps[first] (the boot) to steps[last] in this process, which becomes the device, and
// ends the process with the exit status. The device loads the hive into the simulated core
// library, starts the clock from the real-time clock, and runs the Device Manager over the
// drivers the hive lists, until it goes off. A power cut, a battery pull or a failed
// expectation ends the process on the spot, so all that survives is what the registry flushed
// to the hive file and the real-time clock, as on a device. A restore at the boot is reported
// on `report_fd`.
[[noreturn]] void PlaySession(const Device& device, const Options& options,
                              const std::vector<Step>& steps, size_t first, size_t last,
                              int report_fd);

// Reads a session's report: the restore at its boot, if the driver moved the clock.
std::optional<Restore> ReadRestoreReport(const std::string& report);

}  // namespace tws

#endif  // TIMEWARD_SIM_SESSION_H
