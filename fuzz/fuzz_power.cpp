// Fuzzes RTC_IOControl with arbitrary request codes, lengths, buffer contents and pointers
// (absent, valid, read-only, inaccessible). Results and error codes must be those of the
// request table, and nothing may be written outside the out buffer and the byte count.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coredll_sim.h"
#include "input.h"
#include "power.h"
#include "saver.h"
#include "timeward.h"

namespace {

constexpr DWORD kNoError = 0xBEEF;
constexpr size_t kGuard = 64;

enum class Where { kAbsent, kValid, kReadOnly, kInaccessible };

struct Pages {
    Pages() {
        size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base = static_cast<uint8_t*>(
            mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, 0x5A, size);
        mprotect(base, size, PROT_READ);
        mprotect(base + size, size, PROT_NONE);
    }
    uint8_t* base;
    size_t size;
};

Pages& P() {
    static Pages* pages = new Pages;
    return *pages;
}

uint8_t* Place(Where where, uint8_t* valid) {
    switch (where) {
        case Where::kAbsent:
            return nullptr;
        case Where::kValid:
            return valid;
        case Where::kReadOnly:
            return P().base;
        case Where::kInaccessible:
            return P().base + P().size;
    }
    return nullptr;
}

DWORD g_state = D0;  // what the driver should report: the state of the last set that succeeded

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        coredll::debug::EchoToStderr(false);
        InitSaverLock();
        ResetPowerState();
        return true;
    }();
    (void)once;
    FuzzInput in(data, size);
    const DWORD codes[] = {IOCTL_POWER_CAPABILITIES, IOCTL_POWER_SET, IOCTL_POWER_GET,
                           IOCTL_POWER_QUERY};
    uint8_t pick = in.Byte();
    DWORD code = pick < 200 ? codes[pick % 4] : in.Dword();
    DWORD len = in.Byte() % 72;
    Where out_where = static_cast<Where>(in.Byte() % 4);
    Where count_where = static_cast<Where>(in.Byte() % 4);
    Where in_where = static_cast<Where>(in.Byte() % 4);

    // The out buffer and the byte count sit between guards that must stay untouched.
    uint8_t out_area[kGuard + 72 + kGuard];
    uint8_t count_area[kGuard + 4 + kGuard];
    uint8_t in_area[16];
    for (uint8_t& b : out_area)
        b = in.Byte();
    std::memset(count_area, 0xC3, sizeof count_area);
    std::memset(in_area, 0x11, sizeof in_area);
    uint8_t out_before[sizeof out_area];
    std::memcpy(out_before, out_area, sizeof out_area);
    uint8_t* out = Place(out_where, out_area + kGuard);
    DWORD* count = reinterpret_cast<DWORD*>(Place(count_where, count_area + kGuard));
    uint8_t* inbuf = Place(in_where, in_area);

    SetLastError(kNoError);
    const BOOL result = RTC_IOControl(1, code, inbuf, in.Byte(), out, len, count);
    const DWORD error = GetLastError();

    // The table, as a model.
    bool out_ok = out_where == Where::kValid, count_ok = count_where == Where::kValid;
    bool out_readable = out_ok || out_where == Where::kReadOnly;
    BOOL want = FALSE;
    DWORD want_error = kNoError;
    uint8_t expected_out[72];
    std::memcpy(expected_out, out_before + kGuard, 72);
    bool count_written = false;
    DWORD want_count = 0;
    if (code == IOCTL_POWER_CAPABILITIES) {
        if (out && len >= 48 && out_ok) {
            std::memset(expected_out, 0, 48);
            expected_out[0] = 0x11;
            want = count_ok || !count;
            count_written = count_ok;
            want_count = 48;
        }
        if (!want)
            want_error = ERROR_INVALID_PARAMETER;
    } else if (code == IOCTL_POWER_SET) {
        if (out && len >= 4 && out_readable) {
            DWORD state;
            std::memcpy(&state, out_where == Where::kValid ? out_before + kGuard : P().base, 4);
            if (state <= D4) {
                const DWORD answer = state == D0 ? D0 : D4;
                if (out_ok) {
                    std::memcpy(expected_out, &answer, 4);
                    want = count_ok;
                    count_written = count_ok;
                    want_count = 4;
                }
                if (want)
                    g_state = answer;
            }
        }
    } else if (code == IOCTL_POWER_GET) {
        if (count && out && len >= 4 && out_ok) {
            std::memcpy(expected_out, &g_state, 4);
            want = count_ok;
            count_written = count_ok;
            want_count = 4;
        }
        if (!want)
            want_error = ERROR_INVALID_PARAMETER;
    }

    if (result != want || error != want_error) {
        std::fprintf(stderr,
                     "code %x len %u out %d count %d: result %d want %d, error %u want %u\n", code,
                     len, (int)out_where, (int)count_where, result, want, error, want_error);
        std::abort();
    }
    if (std::memcmp(out_area, out_before, kGuard) != 0 ||
        std::memcmp(out_area + kGuard + 72, out_before + kGuard + 72, kGuard) != 0) {
        std::abort();  // written outside the out buffer
    }
    if (out_ok && std::memcmp(out_area + kGuard, expected_out, 72) != 0)
        std::abort();
    for (size_t i = 0; i < sizeof count_area; ++i) {
        bool inside = i >= kGuard && i < kGuard + 4;
        if (!(inside && count_written) && count_area[i] != 0xC3)
            std::abort();
    }
    if (count_written && std::memcmp(count_area + kGuard, &want_count, 4) != 0)
        std::abort();
    for (size_t i = 0; i < P().size; ++i) {
        if (P().base[i] != 0x5A)
            std::abort();
    }
    return 0;
}
