// Scenarios for the simulated device: a step as parsed, and the parser for files and command
// lines.
#ifndef TIMEWARD_SIM_SCENARIO_H
#define TIMEWARD_SIM_SCENARIO_H

#include <timeward_backend.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tws {

struct Verb;  // verbs.h: what the step is, what it takes, and what plays it

struct Step {
    const Verb* verb = nullptr;
    std::string where;  // "file:line" or the step's words quoted, for messages
    int64_t ms = 0;     // durations and tolerances
    std::optional<SYSTEMTIME> date;
    std::string text;
    int count = -1;   // lines expected (-1: at least once), the interval's seconds (-1: none),
                      // or the value writes before an armed power cut
    bool on = false;  // for the switch, the notification component and write-through flushing
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

// Why `text` is not UTF-8, naming the first byte that is not and its column; "" when it is.
std::string Utf8Problem(std::string_view text);

}  // namespace tws

#endif  // TIMEWARD_SIM_SCENARIO_H
