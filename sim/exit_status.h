// How a run of the simulator ends, as its exit status.
#ifndef TIMEWARD_SIM_EXIT_STATUS_H
#define TIMEWARD_SIM_EXIT_STATUS_H

namespace tws {

// One meaning each; ctl passes timewardctl's own statuses on, which mean the same.
enum ExitStatus : int {
    kAllHeld = 0,            // every expectation held (ctl: the command was done)
    kExpectationFailed = 1,  // said on standard error with what was expected and what was seen
                             // (ctl: the command was not done, or a check failed)
    kBadInput = 2,           // bad input, or a device another run holds: nothing changed
    kKeyMissing = 3,         // ctl: the driver's key is not in the device's registry
    kDeviceFailed = 4,       // a file of the device cannot be read or written, or the driver
                             // module cannot be loaded
};

// A session interrupted by a signal ends with this plus the signal's number; the process
// that ran it then ends by that signal.
constexpr int kInterruptedBase = 128;

}  // namespace tws

#endif  // TIMEWARD_SIM_EXIT_STATUS_H
