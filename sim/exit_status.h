// How a run of the simulator ends, as its exit status.
#ifndef TIMEWARD_SIM_EXIT_STATUS_H
#define TIMEWARD_SIM_EXIT_STATUS_H

namespace tws {

enum ExitStatus : int {
    kAllHeld = 0,            // every expectation held
    kExpectationFailed = 1,  // said on standard error with what was expected and what was seen
    kBadInput = 2,           // nothing changed
    kDeviceFailed = 3,       // a device session failed
};

// A session interrupted by a signal ends with this plus the signal's number; the process
// that ran it then ends by that signal.
constexpr int kInterruptedBase = 128;

}  // namespace tws

#endif  // TIMEWARD_SIM_EXIT_STATUS_H
