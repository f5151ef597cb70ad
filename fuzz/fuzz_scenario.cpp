// Fuzzes the scenario parser: arbitrary bytes either parse or fail with a message that names
// the file and line and says what was expected or which word is refused and why, leaving the
// steps as they were.
#include <cstdlib>
#include <string>

#include "scenario.h"

namespace {

// "fuzz.tws:LINE: expected WHAT" or "fuzz.tws:LINE: 'WORD': WHY".
bool NamesTheLineAndWhat(std::string_view error) {
    constexpr std::string_view kFile = "fuzz.tws:";
    if (error.substr(0, kFile.size()) != kFile)
        return false;
    error.remove_prefix(kFile.size());
    const size_t digits = error.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos)
        return false;
    error.remove_prefix(digits);
    if (error.substr(0, 11) == ": expected ")
        return error.size() > 11;
    const size_t quoted = error.find("': ", 3);
    return error.substr(0, 3) == ": '" && quoted != std::string_view::npos &&
           quoted + 3 < error.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<tws::Step> steps(1);
    steps[0].text = "untouched";
    std::string error;
    if (tws::ParseScenario(text, "fuzz.tws", &steps, &error))
        return 0;
    if (steps.size() != 1 || steps[0].text != "untouched")
        std::abort();  // a partial parse
    if (!NamesTheLineAndWhat(error))
        std::abort();
    return 0;
}
