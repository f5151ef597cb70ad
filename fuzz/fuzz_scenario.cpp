// Fuzzes the scenario parser: arbitrary bytes either parse or fail with a message that names
// the file and line and says what was expected, leaving the steps as they were.
#include <cstdlib>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<tws::Step> steps(1);
    steps[0].text = "untouched";
    std::string error;
    if (tws::ParseScenario(text, "fuzz.tws", &steps, &error))
        return 0;
    if (steps.size() != 1 || steps[0].text != "untouched")
        std::abort();  // a partial parse
    if (error.rfind("fuzz.tws:", 0) != 0 || error.find(": expected ") == std::string::npos) {
        std::abort();
    }
    return 0;
}
