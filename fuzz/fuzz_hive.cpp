// Fuzzes the .reg hive reader: arbitrary bytes either load whole or fail with a message that
// names the file and line, and change nothing. What loads exports and reads back the same.
#include <cstdlib>
#include <string>

#include "coredll_sim.h"
#include "store.h"

namespace {

// A value the hive holds before each input: under the driver's key, which inputs often name.
void KeepOneValue() {
    sim::reg::SetDword(sim::Utf8(TIMEWARD_KEY_PATH), "Keep", 7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        sim::debug::EchoToStderr(false);
        KeepOneValue();
        return true;
    }();
    (void)once;
    const std::string before = sim::reg::ExportText();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!sim::reg::MergeRegText(text, "fuzz.reg", &error)) {
        if (error.rfind("fuzz.reg:", 0) != 0 || error.find(": expected ") == std::string::npos) {
            std::abort();
        }
        if (sim::reg::ExportText() != before)
            std::abort();  // a partial load
        return 0;
    }
    const std::string merged = sim::reg::ExportText();
    if (!sim::reg::ParseRegText(merged, "export.reg", &error))
        std::abort();
    sim::Reset();
    sim::debug::EchoToStderr(false);
    if (!sim::reg::MergeRegText(merged, "export.reg", &error) || sim::reg::ExportText() != merged) {
        std::abort();  // the export does not read back as itself
    }
    sim::Reset();
    sim::debug::EchoToStderr(false);
    KeepOneValue();
    return 0;
}
