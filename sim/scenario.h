// Scenarios for the simulated device: the steps, and their parser for files and command lines.
#ifndef TIMEWARD_SIM_SCENARIO_H
#define TIMEWARD_SIM_SCENARIO_H

#include <timeward_backend.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tws {

enum class StepKind {
    kBoot,         // the Device Manager loads the drivers listed in the hive
    kRun,          // time passes
    kSuspend,      // the Power Manager's D4
    kResume,       // and D0
    kEvent,        // another process sets "SaveRTCEvent"
    kShutdown,     // orderly: deactivation, registry flush
    kPowerCut,     // what the hive did not flush is lost
    kPullBattery,  // a power cut, and the real-time clock loses its time
    kOff,          // time passes while the device is off
    kSetClock,     // the real-time clock is set, as at the factory
    kSetClockOn,   // the clock is set while the device runs, as an application does
    kSwitch,       // "TimewardImplemented" in the image: on (0) or off (1)
    // The image is built with the notification component, or without it.
    kNotifications,
    kStatus,
    kCtl,  // timewardctl runs with `words`: on the device while it is on, on its files while off
    kExpectClock,            // the clock (the real-time clock while off)
    kExpectClockAtSnapshot,  // the clock equals the stored snapshot
    kExpectLine,             // a debug line since the last boot, `count` times (or at least once)
    kExpectNoLine,
    kExpectSnapshot,  // the snapshot as stored: a date, or none
    kExpectSwitch,
};

inline bool IsExpectation(StepKind kind) {
    switch (kind) {
        case StepKind::kExpectClock:
        case StepKind::kExpectClockAtSnapshot:
        case StepKind::kExpectLine:
        case StepKind::kExpectNoLine:
        case StepKind::kExpectSnapshot:
        case StepKind::kExpectSwitch:
            return true;
        default:
            return false;
    }
}

struct Step {
    StepKind kind = StepKind::kStatus;
    std::string where;  // "file:line" or "argument N", for messages
    int64_t ms = 0;     // durations and tolerances
    std::optional<SYSTEMTIME> date;
    std::string text;
    int count = -1;                  // -1: at least once
    bool on = false;                 // for the switch and the notification component
    std::vector<std::string> words;  // timewardctl's arguments
};

// Parses steps and checks that each fits the device's state when it comes (no boot while
// the device is on, no run while it is off); the device is off before the first step.
// On error, returns false with a message that names where and what was expected.
bool ParseScenario(std::string_view text, std::string_view file_name, std::vector<Step>* steps,
                   std::string* error);
// Messages quote the word at fault.
bool ParseCommandLine(const std::vector<std::string>& args, std::vector<Step>* steps,
                      std::string* error);

}  // namespace tws

#endif  // TIMEWARD_SIM_SCENARIO_H
