// Fuzzes the start-up sequence over arbitrary contents of the driver's key and an arbitrary
// clock. The clock is only ever set to a valid record, and only when that record is more than
// 300 s later than the clock by the driver's own conversion.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "coredll_sim.h"
#include "input.h"
#include "floor.h"
#include "saver.h"
#include "seconds.h"
#include "startup.h"
#include "store.h"
#include "support/text.h"

namespace {

// The key and its values, by the driver's own layout.
const std::string kKey = support::Utf8(TIMEWARD_KEY_PATH);
const std::string kSignatureName = support::Utf8(SIGNATURE_VALUE_NAME);
// Each name with the size the driver reads it at.
const std::vector<std::pair<std::string, size_t>> kNames = [] {
    std::vector<std::pair<std::string, size_t>> names;
    for (const CLOCK_VALUE& value : CLOCK_VALUES)
        names.push_back({support::Utf8(value.pszValueName), 4});
    for (LPCWSTR name :
         {SIGNATURE_VALUE_NAME, SWITCH_VALUE_NAME, CHECK_VALUE_NAME, FLOOR_VALUE_NAME})
        names.push_back({support::Utf8(name), 4});
    names.push_back({support::Utf8(RECORD_VALUE_NAME), RECORD_BYTES});
    names.push_back({support::Utf8(PREVIOUS_VALUE_NAME), PREVIOUS_BYTES});
    return names;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool lock_ready = (InitSaverLock(), true);
    (void)lock_ready;
    while (StopSaver()) {
    }  // the instance the last input started
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    coredll::threads::FailEventCreation(true);  // no saver thread: only the start-up is fuzzed
    FuzzInput in(data, size);

    // The clock: any valid reading, from the bytes.
    SYSTEMTIME clock{};
    clock.wYear = static_cast<WORD>(1601 + in.Word() % 600);
    clock.wMonth = static_cast<WORD>(1 + in.Byte() % 12);
    clock.wDay = static_cast<WORD>(1 + in.Byte() % 28);
    clock.wHour = static_cast<WORD>(in.Byte() % 24);
    clock.wMinute = static_cast<WORD>(in.Byte() % 60);
    clock.wSecond = static_cast<WORD>(in.Byte() % 60);
    coredll::clock::SetWall(clock);

    // The key: absent, or each value absent or of any type and size.
    if (in.Byte() % 16 != 0) {
        coredll::reg::CreateKey(kKey);
        for (const auto& [name, size] : kNames) {
            uint8_t how = in.Byte();
            if (how % 4 == 0)
                continue;
            coredll::RegValue v;
            v.type = how % 4 == 1 ? (size == 4 ? REG_DWORD : REG_BINARY) : in.Byte();
            size_t len = how % 4 == 3 ? in.Byte() % (2 * size + 1) : size;
            for (size_t i = 0; i < len; ++i)
                v.data.push_back(in.Byte());
            if (name == kSignatureName && in.Byte() % 2) {
                const BYTE* real = reinterpret_cast<const BYTE*>(&SNAPSHOT_SIGNATURE);
                v = {REG_DWORD, {real, real + sizeof SNAPSHOT_SIGNATURE}};  // often the real one
            }
            coredll::reg::SetValue(kKey, name, v);
        }
    }

    const DWORD result = StartClockKeeping(nullptr);
    if (result != 0 && result != 1)
        std::abort();

    SYSTEMTIME before = clock;
    DWORD now_seconds;
    SecondsSince1961(&before, &now_seconds);
    for (const coredll::clock::SetCall& call : coredll::clock::SetSystemTimeCalls()) {
        if (!call.result || !coredll::clock::IsValidRecord(call.requested))
            std::abort();
        SYSTEMTIME saved = call.requested;
        DWORD saved_seconds;
        SecondsSince1961(&saved, &saved_seconds);
        // A restore, or else the floor: a day's start, later than the clock, and said.
        const std::vector<std::string> lines = coredll::debug::Texts();
        const bool floor = saved.wHour == 0 && saved.wMinute == 0 && saved.wSecond == 0 &&
                           saved.wMilliseconds == 0 && saved_seconds > now_seconds &&
                           std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
                               return line.rfind("The clock is earlier than the floor", 0) == 0;
                           });
        if (!(saved_seconds > now_seconds + 300) && !floor)
            std::abort();
    }
    if (coredll::clock::SetSystemTimeCalls().size() > 1 ||
        coredll::reg::Counters().open_handles != 0) {
        std::abort();
    }
    return 0;
}
