// timeward-sim's usage: the whole of it, and what help a command or a step asks for.
#ifndef TIMEWARD_SIM_USAGE_H
#define TIMEWARD_SIM_USAGE_H

#include <string>
#include <vector>

namespace program {

// The whole usage: the commands, the steps, the scenario files, the options, the bundled
// scenarios and the exit statuses.
std::string Usage();

// What `words` (a command and what follows it, or steps) ask help for: the command's usage, the
// usage of the steps they name, or, for anything else, the whole usage.
std::string UsageOf(const std::vector<std::string>& words);

}  // namespace program

#endif  // TIMEWARD_SIM_USAGE_H
