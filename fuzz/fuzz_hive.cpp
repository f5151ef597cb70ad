// Fuzzes the .reg hive reader: arbitrary bytes either load whole or fail with a message that
// names the file and line, and change nothing. What loads exports and reads back the same.
// Hives are compared by fingerprint, so that a run costs what its input costs.
#include <algorithm>
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

// An export writes every key's whole path, so a key N levels deep costs N paths of up to N
// names: the square of the input. Deeper inputs are merged and checked for partial loads, but
// their round trip is left out. The driver's own key is three levels deep.
constexpr size_t kDeepestRoundTrip = 32;

// The most backslashes on one key line: no key the input makes is deeper.
size_t DeepestKeyLine(std::string_view text) {
    size_t deepest = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string_view::npos && line[first] == '[')
            deepest = std::max<size_t>(deepest, std::count(line.begin(), line.end(), '\\'));
        start = end + 1;
    }
    return deepest;
}

void ResetHive() {
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        ResetHive();
        KeepOneValue();
        return true;
    }();
    (void)once;
    const uint64_t before = coredll::reg::Fingerprint();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!coredll::reg::MergeRegText(text, "fuzz.reg", &error)) {
        if (error.rfind("fuzz.reg:", 0) != 0 || error.find(": expected ") == std::string::npos) {
            std::abort();
        }
        if (coredll::reg::Fingerprint() != before)
            std::abort();  // a partial load
        return 0;
    }
    if (DeepestKeyLine(text) <= kDeepestRoundTrip) {
        const std::string merged = coredll::reg::ExportText();
        const uint64_t loaded = coredll::reg::Fingerprint();
        ResetHive();
        if (!coredll::reg::MergeRegText(merged, "export.reg", &error) ||
            coredll::reg::Fingerprint() != loaded) {
            std::abort();  // the export does not read back as itself
        }
    }
    ResetHive();
    KeepOneValue();
    return 0;
}
