// timeward-sim's bundled scenarios: where they are, their names, and one found by its name.
#ifndef TIMEWARD_SIM_BUNDLED_H
#define TIMEWARD_SIM_BUNDLED_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace program {

// "first-boot, switch-off and timewardctl", or a note that there are none.
std::string BundledList();

// A bundled scenario by name, with or without its .tws.
std::optional<std::filesystem::path> BundledScenario(const std::string& name);

// Whether the words play a bundled scenario by name: a name without a slash that is no file.
bool PlaysBundled(const std::vector<std::string>& words);

}  // namespace program

#endif  // TIMEWARD_SIM_BUNDLED_H
