// timeward-sim's bundled scenarios: where they are, their names, and one found by its name.
#include "bundled.h"

#include <algorithm>

namespace program {
namespace {

// The folders of the bundled scenarios: beside an installed program, else in the source tree.
std::vector<std::filesystem::path> ScenarioDirs() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return {exe.parent_path() / TIMEWARD_INSTALLED_SCENARIO_DIR,
            std::filesystem::path(TIMEWARD_SOURCE_SCENARIO_DIR)};
}

// The names play takes for the bundled scenarios, from the first folder that has any.
std::vector<std::string> BundledNames() {
    for (const std::filesystem::path& dir : ScenarioDirs()) {
        std::error_code ec;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".tws")
                names.push_back(entry.path().stem().string());
        }
        if (!names.empty()) {
            std::sort(names.begin(), names.end());
            return names;
        }
    }
    return {};
}

}  // namespace

std::string BundledList() {
    const std::vector<std::string> names = BundledNames();
    if (names.empty())
        return "none found beside the program or in the source tree";
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return out;
}

std::optional<std::filesystem::path> BundledScenario(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return std::nullopt;
    std::error_code ec;
    for (const std::filesystem::path& dir : ScenarioDirs()) {
        for (const std::string& file : {name, name + ".tws"}) {
            if (std::filesystem::is_regular_file(dir / file, ec))
                return (dir / file).lexically_normal();
        }
    }
    return std::nullopt;
}

bool PlaysBundled(const std::vector<std::string>& words) {
    std::error_code ec;
    return words.size() == 2 && words[0] == "play" && !std::filesystem::exists(words[1], ec) &&
           BundledScenario(words[1]);
}

}  // namespace program
