// Fuzzes the .reg hive reader: arbitrary bytes either load whole or fail with a message that
// names the file and line, and change nothing. What loads exports and reads back the same.
#include <cstdlib>
#include <string>

#include "coredll_sim.h"
#include "store.h"
#include "support/text.h"

namespace {

// A value the hive holds before each input: under the driver's key, which inputs often name.
void KeepOneValue() {
    coredll::reg::SetDword(support::Utf8(TIMEWARD_KEY_PATH), "Keep", 7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        coredll::debug::EchoToStderr(false);
        KeepOneValue();
        return true;
    }();
    (void)once;
    const std::string before = coredll::reg::ExportText();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!coredll::reg::MergeRegText(text, "fuzz.reg", &error)) {
        if (error.rfind("fuzz.reg:", 0) != 0 || error.find(": expected ") == std::string::npos) {
            std::abort();
        }
        if (coredll::reg::ExportText() != before)
            std::abort();  // a partial load
        return 0;
    }
    const std::string merged = coredll::reg::ExportText();
    if (!coredll::reg::ParseRegText(merged, "export.reg", &error))
        std::abort();
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!coredll::reg::MergeRegText(merged, "export.reg", &error) ||
        coredll::reg::ExportText() != merged) {
        std::abort();  // the export does not read back as itself
    }
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    KeepOneValue();
    return 0;
}
